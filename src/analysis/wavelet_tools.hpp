// Companions of the wavelet transform: band power of a whole series,
// red-noise significance levels, the default period bands of a sampling
// interval, and the scalogram of the longest arc of a series.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "analysis/morlet.hpp"
#include "utils/error.hpp"

namespace skarvo::analysis {

/// Band power of a series: bands rows of n values, row-major.
struct SeriesBandPower {
    std::size_t n = 0;
    std::vector<double> power;
};

/// band_power of y in each band, from a transform (default s0) computing
/// only the scales the bands need. The scales are checked even without
/// bands; fails as morlet_scales and morlet_transform.
util::Result<SeriesBandPower> series_band_power(std::span<const double> y, double dt,
                                                std::span<const PeriodBand> bands, double dj);

/// Significance level of wavelet power per period for a lag-1
/// autoregressive background fitted to y (Torrence & Compo eq. 16-18):
/// sigma^2 * P(period) * chi2/2 with chi2 = 4.605 below 95 % confidence,
/// else 5.991. Fewer than 3 samples or a constant series give +infinity.
std::vector<double> red_noise_significance(std::span<const double> y, double dt, std::span<const double> periods,
                                           double confidence);

/// Four period bands (seconds) suited to the sampling interval dt.
std::array<PeriodBand, 4> period_bands(double dt);

struct Scalogram {
    std::vector<double> t;             // kept sample times, as given
    std::vector<double> periods;       // all periods of the transform, seconds
    std::vector<double> power;         // per period the kept columns of |W|^2: periods x t, row-major
    std::vector<double> significance;  // per period
    std::vector<double> coi;           // kept columns
    double interval = 0.0;             // the sampling step used, seconds
};

/// Wavelet power of the longest arc of (t, values) (arcs cut at steps above
/// 5*interval; the earlier arc on ties), thinned to about max_columns
/// columns. Fails when the lengths differ or the longest arc has fewer than
/// 40 samples (kind Other, texts for ValueError).
util::Result<Scalogram> scalogram(std::span<const double> t, std::span<const double> values, double interval,
                                  std::size_t max_columns);

}  // namespace skarvo::analysis
