#include "analysis/multipath_arcs.hpp"

#include <algorithm>
#include <cmath>

namespace skarvo::analysis {

namespace {

// Bias-corrected values of the arc [a, b). The arc's first value is taken
// out before summing, so that the prefix sums stay small even when the raw
// values carry a large constant (phase ambiguities): the corrected values
// are then as accurate as a direct per-window average.
void remove_bias(const MpSeries& s, std::size_t a, std::size_t b, const ArcSettings& settings,
                 std::vector<double>& corrected) {
    const std::vector<std::int64_t>& t = s.times_ms;
    const std::vector<double>& v = s.values_m;
    const std::size_t m = b - a;
    const double origin = v[a];
    const double duration_s = static_cast<double>(t[b - 1] - t[a]) / 1000.0;
    corrected.resize(m);

    const bool moving = settings.bias_window_s && *settings.bias_window_s > 0.0 && *settings.bias_window_s < duration_s;
    if (!moving) {
        double sum = 0.0;
        for (std::size_t i = a; i < b; ++i) sum += v[i] - origin;
        const double mean = sum / static_cast<double>(m);
        for (std::size_t i = a; i < b; ++i) corrected[i - a] = (v[i] - origin) - mean;
        return;
    }

    // Half window in milliseconds; the window is centred and inclusive.
    const auto half_ms = static_cast<std::int64_t>(*settings.bias_window_s * 500.0);
    std::vector<double> prefix(m + 1, 0.0);
    for (std::size_t i = 0; i < m; ++i) prefix[i + 1] = prefix[i] + (v[a + i] - origin);
    std::size_t lo = 0, hi = 1;
    for (std::size_t i = 0; i < m; ++i) {
        const std::int64_t ti = t[a + i];
        while (lo < i && t[a + lo] < ti - half_ms) ++lo;
        if (hi < i + 1) hi = i + 1;
        while (hi < m && t[a + hi] <= ti + half_ms) ++hi;
        const double mean = (prefix[hi] - prefix[lo]) / static_cast<double>(hi - lo);
        corrected[i] = (v[a + i] - origin) - mean;
    }
}

}  // namespace

void build_arcs_and_estimates(const MpSeries& series, const SignalPair& pair, const ArcSettings& settings,
                              double interval_s, std::span<const std::int64_t> slip_times_ms,
                              std::vector<MpEstimate>& out) {
    const std::size_t n = series.times_ms.size();
    if (n == 0) return;
    // Every estimate carries the placeholder elevation, so the mask keeps all
    // of them or none.
    if (!(settings.elevation_cutoff_deg <= placeholder_elevation_deg)) return;

    double max_gap_s = settings.arc_gap_factor * interval_s;
    if (!(max_gap_s > interval_s + 0.001)) max_gap_s = interval_s + 0.001;

    const std::vector<std::int64_t>& t = series.times_ms;
    const std::vector<double>& v = series.values_m;
    std::vector<double> corrected;
    const auto emit_arc = [&](std::size_t a, std::size_t b) {
        if (b - a < 10) return;
        if (static_cast<double>(t[b - 1] - t[a]) / 1000.0 < settings.min_arc_s) return;
        remove_bias(series, a, b, settings, corrected);
        for (std::size_t i = a; i < b; ++i) {
            MpEstimate e;
            e.sat = pair.sat;
            e.code = pair.code;
            e.has_snr = series.has_snr[i] != 0;
            e.epoch_ms = t[i];
            e.mp_value_m = corrected[i - a];
            e.elevation_deg = placeholder_elevation_deg;
            e.azimuth_deg = 0.0;
            e.snr = series.snr[i];
            out.push_back(e);
        }
    };

    std::size_t start = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const bool continues = static_cast<double>(t[i] - t[i - 1]) / 1000.0 <= max_gap_s &&
                               std::abs(v[i] - v[i - 1]) <= settings.jump_threshold_m &&
                               !std::binary_search(slip_times_ms.begin(), slip_times_ms.end(), t[i]);
        if (!continues) {
            emit_arc(start, i);
            start = i;
        }
    }
    emit_arc(start, n);
}

}  // namespace skarvo::analysis
