#include "analysis/lomb_scargle.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace skarvo::analysis {

namespace {

/// Amplitude from the sums at one angular frequency: sum y cos, sum y sin,
/// sum cos(2wx), sum sin(2wx), over n samples.
double amplitude_from_sums(double yc, double ys, double c2, double s2, double n) noexcept {
    // tan(2 w tau) = s2 / c2; the rotated sums follow from the half angle.
    const double r = std::hypot(c2, s2);
    double cos2 = 1.0, sin2 = 0.0;
    if (r > 0.0) {
        cos2 = c2 / r;
        sin2 = s2 / r;
    }
    const double ct = std::sqrt(std::max(0.0, 0.5 * (1.0 + cos2)));
    const double st = std::copysign(std::sqrt(std::max(0.0, 0.5 * (1.0 - cos2))), sin2);
    const double yct = yc * ct + ys * st;
    const double yst = ys * ct - yc * st;
    // sum cos^2(w(x - tau)) = (n + r) / 2, sum sin^2 = (n - r) / 2.
    const double cc = 0.5 * (n + r);
    const double ss = 0.5 * (n - r);
    double p = 0.0;
    const double tiny = 1e-12 * n;
    if (cc > tiny) p += yct * yct / cc;
    if (ss > tiny) p += yst * yst / ss;
    p *= 0.5;
    return std::sqrt(std::max(0.0, 4.0 * p / n));
}

bool uniform_grid(std::span<const double> f) noexcept {
    if (f.size() < 3) return false;
    const double step = (f.back() - f.front()) / static_cast<double>(f.size() - 1);
    if (!(step > 0.0) || !std::isfinite(step)) return false;
    for (std::size_t k = 0; k < f.size(); ++k) {
        const double expect = f.front() + step * static_cast<double>(k);
        if (std::abs(f[k] - expect) > 1e-9 * std::max(1.0, std::abs(expect))) return false;
    }
    return true;
}

}  // namespace

void lomb_scargle_amplitude(std::span<const double> x, std::span<const double> y, std::span<const double> frequencies,
                            std::span<double> out, std::vector<double>& scratch) {
    std::fill(out.begin(), out.end(), 0.0);
    const std::size_t n = x.size();
    if (n < 3 || y.size() != n || out.size() != frequencies.size()) return;
    const double nd = static_cast<double>(n);
    constexpr double two_pi = 2.0 * std::numbers::pi;

    if (!uniform_grid(frequencies)) {
        for (std::size_t k = 0; k < frequencies.size(); ++k) {
            const double w = two_pi * frequencies[k];
            double yc = 0.0, ys = 0.0, c2 = 0.0, s2 = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double c = std::cos(w * x[i]), s = std::sin(w * x[i]);
                yc += y[i] * c;
                ys += y[i] * s;
                c2 += c * c - s * s;
                s2 += 2.0 * c * s;
            }
            out[k] = amplitude_from_sums(yc, ys, c2, s2, nd);
        }
        return;
    }

    // Phases are rotated from one frequency to the next; x is shifted to its
    // mid-range first, which keeps the angles (and the rounding of the
    // rotations) small without changing the amplitude.
    const double step = (frequencies.back() - frequencies.front()) / static_cast<double>(frequencies.size() - 1);
    const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
    const double mid = 0.5 * (*lo + *hi);
    scratch.resize(4 * n);
    double* c = scratch.data();
    double* s = c + n;
    double* dc = s + n;
    double* ds = dc + n;
    const double w0 = two_pi * frequencies.front(), dw = two_pi * step;
    for (std::size_t i = 0; i < n; ++i) {
        const double xi = x[i] - mid;
        c[i] = std::cos(w0 * xi);
        s[i] = std::sin(w0 * xi);
        dc[i] = std::cos(dw * xi);
        ds[i] = std::sin(dw * xi);
    }
    for (std::size_t k = 0; k < frequencies.size(); ++k) {
        // Re-seeding every 256 steps bounds the drift of the recurrence.
        if (k > 0 && k % 256 == 0) {
            const double w = two_pi * (frequencies.front() + step * static_cast<double>(k));
            for (std::size_t i = 0; i < n; ++i) {
                c[i] = std::cos(w * (x[i] - mid));
                s[i] = std::sin(w * (x[i] - mid));
            }
        }
        double yc = 0.0, ys = 0.0, c2 = 0.0, s2 = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double ci = c[i], si = s[i];
            yc += y[i] * ci;
            ys += y[i] * si;
            c2 += ci * ci - si * si;
            s2 += ci * si;
            c[i] = ci * dc[i] - si * ds[i];
            s[i] = si * dc[i] + ci * ds[i];
        }
        out[k] = amplitude_from_sums(yc, ys, c2, 2.0 * s2, nd);
    }
}

std::vector<double> lomb_scargle_amplitude(std::span<const double> x, std::span<const double> y,
                                           std::span<const double> frequencies) {
    std::vector<double> out(frequencies.size(), 0.0);
    std::vector<double> scratch;
    lomb_scargle_amplitude(x, y, frequencies, out, scratch);
    return out;
}

}  // namespace skarvo::analysis
