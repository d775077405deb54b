// Companions of the wavelet transform: red-noise significance levels, the
// default period bands of a sampling interval, and the scalogram of the
// longest arc of a series.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "analysis/morlet.hpp"
#include "utils/error.hpp"

namespace skarvo::analysis {

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
    std::vector<std::vector<double>> power;  // per scale, the kept columns of |W|^2
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
