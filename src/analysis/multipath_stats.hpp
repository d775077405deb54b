// Per-signal statistics of multipath estimates.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "analysis/multipath_arcs.hpp"

namespace skarvo::analysis {

/// Statistics of one signal label over its estimates
/// [begin, end) of the run's estimate list.
struct SignalStats {
    std::string label;                       ///< e.g. GPSM1C
    std::size_t begin = 0, end = 0;
    std::optional<util::GnssSystem> system; ///< of the first estimate; absent when count is 0
    util::ObsCode code;                     ///< of the first estimate; meaningful when count > 0
    std::uint64_t count = 0;
    double rms = 0.0, mean = 0.0, std_dev = 0.0, min = 0.0, max = 0.0, weighted_rms = 0.0;  ///< metres
    std::uint64_t cycle_slips = 0;
};

/// Weight of an estimate at elevation `el_deg`, the inverse of its variance
/// relative to the zenith: 1 at 30 degrees and above, 4 sin^2 el between 0
/// and 30 (0.268 at 15 degrees), 0 at or below the horizon and for NaN (an
/// elevation the orbit could not give).
double elevation_weight(double el_deg) noexcept;

/// Count, mean, population standard deviation, RMS, extremes and
/// elevation-weighted RMS of `estimates` (all zero for none).
SignalStats signal_statistics(std::string label, std::span<const MpEstimate> estimates);

/// Elevation-weighted RMS, or absent when the weights sum to zero.
/// Terms are summed in list order as value * weight * value.
std::optional<double> weighted_rms(std::span<const MpEstimate> estimates) noexcept;

}  // namespace skarvo::analysis
