#include "analysis/multipath_stats.hpp"

#include <algorithm>
#include <cmath>

namespace skarvo::analysis {

double elevation_weight(double el_deg) noexcept {
    if (el_deg >= 30.0) return 1.0;
    if (!(el_deg > 0.0)) return 0.0;
    // The inverse of the variance model sigma0^2 / (4 sin^2 e): low
    // satellites count less, and the curve meets 1 at 30 degrees.
    const double s = std::sin(el_deg * 0.017453292519943295);
    return 4.0 * s * s;
}

std::optional<double> weighted_rms(std::span<const MpEstimate> estimates) noexcept {
    double sum_sq = 0.0, sum_w = 0.0;
    for (const MpEstimate& e : estimates) {
        const double w = elevation_weight(e.elevation_deg);
        sum_sq += e.mp_value_m * w * e.mp_value_m;
        sum_w += w;
    }
    if (!(sum_w > 0.0)) return std::nullopt;
    return std::sqrt(sum_sq / sum_w);
}

SignalStats signal_statistics(std::string label, std::span<const MpEstimate> estimates) {
    SignalStats st;
    st.label = std::move(label);
    st.count = estimates.size();
    if (estimates.empty()) return st;
    st.system = estimates.front().sat.system;
    st.code = estimates.front().code;
    const double n = static_cast<double>(estimates.size());
    double sum = 0.0, sum_sq = 0.0;
    st.min = st.max = estimates.front().mp_value_m;
    for (const MpEstimate& e : estimates) {
        const double x = e.mp_value_m;
        sum += x;
        sum_sq += x * x;
        st.min = std::min(st.min, x);
        st.max = std::max(st.max, x);
    }
    st.mean = sum / n;
    double dev = 0.0;
    for (const MpEstimate& e : estimates) dev += (e.mp_value_m - st.mean) * (e.mp_value_m - st.mean);
    st.std_dev = std::sqrt(dev / n);
    st.rms = std::sqrt(sum_sq / n);
    st.weighted_rms = weighted_rms(estimates).value_or(st.rms);
    return st;
}

}  // namespace skarvo::analysis
