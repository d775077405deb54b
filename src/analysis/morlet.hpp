// Continuous wavelet transform with the Morlet mother wavelet (omega0 = 6)
// after Torrence & Compo (1998), computed through the FFT, and the
// scale-averaged power in period bands.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "utils/error.hpp"

namespace skarvo::analysis {

/// Equivalent Fourier period of a Morlet scale: 4*pi/(6 + sqrt(2 + 36)).
inline constexpr double morlet_fourier_factor = 1.0330436477492537;
/// Largest number of scales a transform may have.
inline constexpr std::size_t max_morlet_scales = 100000;

/// A period band [lo_s, hi_s) in seconds.
struct PeriodBand {
    double lo_s = 0.0;
    double hi_s = 0.0;
};

/// Wavelet power of a series: one row of n values |W|^2 per scale.
struct MorletTransform {
    std::size_t n = 0;
    double dt = 0.0;
    double dj = 0.0;
    std::vector<double> scales;   // s_j = s0 * 2^(j*dj), seconds
    std::vector<double> periods;  // scales * morlet_fourier_factor, seconds
    std::vector<double> coi;      // cone of influence per sample, seconds
    std::vector<double> power;    // scales.size() rows of n values, row-major

    std::span<const double> row(std::size_t j) const noexcept { return {power.data() + j * n, n}; }
};

/// Scales of a transform of n samples: s0 (2*dt when absent) times
/// 2^(j*dj) for j = 0..J, J = trunc(log2(n*dt/s0)/dj) raised to at least 1.
/// Fails (kind Other, a text for ValueError) when dj is not positive and
/// finite or when the series would need more than max_morlet_scales scales.
util::Result<std::vector<double>> morlet_scales(std::size_t n, double dt, double dj, std::optional<double> s0);

/// The transform of y (mean removed, zero-padded to the next power of two).
/// The scales run in parallel on the worker pool; the result does not
/// depend on the number of workers. When `only_bands` is given, rows are
/// computed only for scales whose period lies in one of the bands (others
/// stay zero), which is all that band power needs. Fails as morlet_scales,
/// or for more than 2^31 samples.
util::Result<MorletTransform> morlet_transform(std::span<const double> y, double dt, double dj,
                                               std::optional<double> s0,
                                               std::optional<std::span<const PeriodBand>> only_bands = {});

/// Scale-averaged power (Torrence & Compo eq. 24): for each band, the sum of
/// |W_j|^2 / s_j over the scales with lo <= period_j < hi, times
/// dj*dt/0.776. One row of n values per band, in band order.
std::vector<std::vector<double>> band_power(const MorletTransform& t, std::span<const PeriodBand> bands);

/// The same rows stored one after another (bands.size() x n, row-major),
/// ready to be handed out as one block.
std::vector<double> band_power_block(const MorletTransform& t, std::span<const PeriodBand> bands);

}  // namespace skarvo::analysis
