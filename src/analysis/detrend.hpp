// Arcs of a sampled series, its median time step, and removal of the
// polynomial trend of one arc (the delta-SNR of reflectometry).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "utils/error.hpp"

namespace skarvo::analysis {

/// Half-open index range [start, stop) of one arc.
struct ArcRange {
    std::size_t start = 0;
    std::size_t stop = 0;
    std::size_t size() const noexcept { return stop - start; }
};

/// Cuts times into arcs wherever a step exceeds gap_factor*dt (strictly).
/// Steps that are negative, zero or not a number never cut. Empty input
/// gives no arcs.
std::vector<ArcRange> split_arcs(std::span<const double> times, double dt, double gap_factor);

/// Median of the steps t[i+1] - t[i]; absent for fewer than two times.
/// Steps that are not a number sort after all others.
std::optional<double> median_step(std::span<const double> times);

struct DetrendResult {
    std::vector<double> residual;
    unsigned order = 0;  // 0: only the mean was removed
};

/// Residual of the best least-squares polynomial of order 2..max_order in
/// the time scaled to [0, 1], fitted by SVD with singular values up to
/// sigma_max*n*eps treated as zero; orders k are tried while n > 3k and the
/// lowest plain RMS wins (the lower order on ties). Fewer than 12 points or
/// max_order < 2: the mean is removed, order 0. Fails only when the lengths
/// of t and v differ.
util::Result<DetrendResult> detrend_arc(std::span<const double> t, std::span<const double> v, std::size_t max_order);

}  // namespace skarvo::analysis
