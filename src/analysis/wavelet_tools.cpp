#include "analysis/wavelet_tools.hpp"

#include <cmath>
#include <limits>

#include "analysis/detrend.hpp"

namespace skarvo::analysis {

std::vector<double> red_noise_significance(std::span<const double> y, double dt, std::span<const double> periods,
                                           double confidence) {
    const std::size_t n = y.size();
    double variance = 0.0;
    if (n > 0) {
        double sum = 0.0;
        for (double v : y) sum += v;
        const double mean = sum / static_cast<double>(n);
        double ss = 0.0;
        for (double v : y) ss += (v - mean) * (v - mean);
        variance = ss / static_cast<double>(n);
    }
    if (n < 3 || variance <= 0.0)
        return std::vector<double>(periods.size(), std::numeric_limits<double>::infinity());

    // Lag-1 autocorrelation of y[0..n-2] against y[1..n-1].
    const std::size_t m = n - 1;
    double sx = 0.0, sz = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        sx += y[i];
        sz += y[i + 1];
    }
    const double mx = sx / static_cast<double>(m), mz = sz / static_cast<double>(m);
    double sxz = 0.0, sxx = 0.0, szz = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double a = y[i] - mx, b = y[i + 1] - mz;
        sxz += a * b;
        sxx += a * a;
        szz += b * b;
    }
    double alpha = sxz / std::sqrt(sxx * szz);
    if (std::isnan(alpha) || alpha < 0.0) alpha = 0.0;
    if (alpha > 0.99) alpha = 0.99;
    const double chi2 = confidence < 0.95 ? 4.605 : 5.991;

    constexpr double two_pi = 6.283185307179586;
    std::vector<double> out;
    out.reserve(periods.size());
    for (double p : periods) {
        const double P = (1.0 - alpha * alpha) / (1.0 + alpha * alpha - 2.0 * alpha * std::cos(two_pi * dt / p));
        out.push_back(variance * P * chi2 / 2.0);
    }
    return out;
}

util::Result<SeriesBandPower> series_band_power(std::span<const double> y, double dt,
                                                std::span<const PeriodBand> bands, double dj) {
    auto checked = morlet_scales(y.size(), dt, dj, std::nullopt);
    if (!checked) return std::move(checked).error();
    SeriesBandPower out;
    out.n = y.size();
    if (bands.empty()) return out;
    auto t = morlet_transform(y, dt, dj, std::nullopt, bands);
    if (!t) return std::move(t).error();
    out.power = band_power_block(t.value(), bands);
    return out;
}

std::array<PeriodBand, 4> period_bands(double dt) {
    if (dt <= 2.0) return {{{2, 20}, {20, 40}, {40, 80}, {80, 120}}};
    if (dt <= 15.0) return {{{30, 60}, {60, 120}, {120, 300}, {300, 600}}};
    return {{{60, 120}, {120, 300}, {300, 900}, {900, 1800}}};
}

util::Result<Scalogram> scalogram(std::span<const double> t, std::span<const double> values, double interval,
                                  std::size_t max_columns) {
    using util::ErrorKind;
    if (t.size() != values.size()) return util::GnssError(ErrorKind::Other, "t and values must have the same length");
    const std::vector<ArcRange> arcs = split_arcs(t, interval, 5.0);
    ArcRange longest;
    for (const ArcRange& a : arcs)
        if (a.size() > longest.size()) longest = a;
    if (longest.size() < 40)
        return util::GnssError(ErrorKind::Other, "series too short for a scalogram (< 40 samples)");

    const std::span<const double> at = t.subspan(longest.start, longest.size());
    const std::span<const double> av = values.subspan(longest.start, longest.size());
    const double dt = median_step(at).value_or(interval);
    auto tr = morlet_transform(av, dt, 0.125, std::nullopt);
    if (!tr) return std::move(tr).error();
    const MorletTransform& w = tr.value();

    Scalogram out;
    out.interval = dt;
    out.periods = w.periods;
    out.significance = red_noise_significance(av, dt, w.periods, 0.95);
    const std::size_t len = at.size();
    const std::size_t m = max_columns > 0 ? max_columns : 1;
    const std::size_t step = std::max<std::size_t>(len / m, 1);
    std::vector<std::size_t> cols;
    for (std::size_t i = 0; i < len; i += step) cols.push_back(i);
    out.t.reserve(cols.size());
    out.coi.reserve(cols.size());
    for (std::size_t i : cols) {
        out.t.push_back(at[i]);
        out.coi.push_back(w.coi[i]);
    }
    out.power.reserve(w.scales.size() * cols.size());
    for (std::size_t j = 0; j < w.scales.size(); ++j) {
        const std::span<const double> row = w.row(j);
        for (std::size_t i : cols) out.power.push_back(row[i]);
    }
    return out;
}

}  // namespace skarvo::analysis
