#include "analysis/morlet.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "analysis/fft.hpp"
#include "utils/pool.hpp"

namespace skarvo::analysis {
namespace {

constexpr double two_pi = 6.283185307179586;
constexpr double morlet_norm = 0.7511255444649425;  // pi^(-1/4)
constexpr double sqrt2 = 1.4142135623730951;
constexpr double reconstruction_factor = 0.776;     // C_delta of the Morlet wavelet
// exp(-x) is exactly zero in double precision for x > 745.14; the wavelet
// factor exp(-u^2/2) therefore vanishes for |u| > sqrt(2*745.14) = 38.604.
// Bins are searched with a wider bound so that rounding cannot drop one.
constexpr double gaussian_support = 38.7;

/// Shortest round-trip text of a number, as Python prints floats ("0.125",
/// "1e-06", "inf", "nan").
std::string number_text(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, r.ptr);
    // Integral values read as floats, as Python prints them.
    if (s.find_first_of(".en") == std::string::npos) s += ".0";
    return s;
}

util::GnssError value_error(std::string text) { return {util::ErrorKind::Other, std::move(text)}; }

std::string scale_count_text(double q) {
    if (q < 1e18) return std::to_string(static_cast<std::uint64_t>(q) + 1);
    return "about " + number_text(q);
}

bool in_any_band(double period, std::span<const PeriodBand> bands) noexcept {
    for (const PeriodBand& b : bands)
        if (b.lo_s <= period && period < b.hi_s) return true;
    return false;
}

}  // namespace

util::Result<std::vector<double>> morlet_scales(std::size_t n, double dt, double dj, std::optional<double> s0) {
    if (!(dj > 0.0) || !std::isfinite(dj)) return value_error("dj must be positive and finite, got " + number_text(dj));
    const double first = s0 ? *s0 : 2.0 * dt;
    const double q = std::log2(static_cast<double>(n) * dt / first) / dj;
    std::size_t J = 1;
    // A quotient below 1, minus infinity or not a number (non-positive dt or
    // s0) gives the minimum of two scales.
    if (q >= 1.0) {
        if (std::isinf(q))
            return value_error("dj=" + number_text(dj) + " would need an unbounded number of scales (s0=" +
                               number_text(first) + ", dt=" + number_text(dt) + ")");
        if (q >= static_cast<double>(max_morlet_scales))
            return value_error("dj=" + number_text(dj) + " would need " + scale_count_text(q) + " scales; at most " +
                               std::to_string(max_morlet_scales) + " are supported");
        J = static_cast<std::size_t>(q);
    }
    std::vector<double> scales(J + 1);
    for (std::size_t j = 0; j <= J; ++j) scales[j] = first * std::pow(2.0, static_cast<double>(j) * dj);
    return scales;
}

util::Result<MorletTransform> morlet_transform(std::span<const double> y, double dt, double dj,
                                               std::optional<double> s0,
                                               std::optional<std::span<const PeriodBand>> only_bands) {
    const std::size_t n = y.size();
    auto sc = morlet_scales(n, dt, dj, s0);
    if (!sc) return std::move(sc).error();
    if (n > (std::size_t{1} << 31)) return value_error("series too long for the wavelet transform (more than 2^31 samples)");

    MorletTransform t;
    t.n = n;
    t.dt = dt;
    t.dj = dj;
    t.scales = std::move(sc.value());
    const std::size_t nscales = t.scales.size();
    t.periods.resize(nscales);
    for (std::size_t j = 0; j < nscales; ++j) t.periods[j] = t.scales[j] * morlet_fourier_factor;
    t.coi.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double m = static_cast<double>(std::min(i, n - 1 - i));
        t.coi[i] = dt * m * morlet_fourier_factor / sqrt2;
    }
    t.power.assign(nscales * n, 0.0);

    std::vector<std::size_t> rows;
    rows.reserve(nscales);
    for (std::size_t j = 0; j < nscales; ++j)
        if (!only_bands || in_any_band(t.periods[j], *only_bands)) rows.push_back(j);
    if (rows.empty() || n == 0) return t;

    // Spectrum of the mean-removed, zero-padded series, in natural order.
    const std::size_t N = next_power_of_two(n);
    const FftPlan& plan = fft_plan(N);
    const std::uint32_t* rev = plan.bit_reverse();
    double sum = 0.0;
    for (double v : y) sum += v;
    const double mean = sum / static_cast<double>(n);
    std::vector<double> xr(N, 0.0), xi(N, 0.0);
    for (std::size_t k = 0; k < n; ++k) xr[k] = y[k] - mean;
    plan.forward_dif(xr.data(), xi.data(), 0, N);
    std::vector<double> spectrum_re(N), spectrum_im(N), omega(N);
    for (std::size_t k = 0; k < N; ++k) {
        spectrum_re[k] = xr[rev[k]];
        spectrum_im[k] = xi[rev[k]];
    }
    xr = {};
    xi = {};
    // Angular frequencies; for even N the Nyquist bin counts as negative.
    const std::size_t h = N - N / 2;
    const double Nd = static_cast<double>(N);
    for (std::size_t k = 0; k < N; ++k) {
        const double kk = k < h ? static_cast<double>(k) : static_cast<double>(k) - Nd;
        omega[k] = two_pi * kk / (Nd * dt);
    }
    // 1/N^2 is a power of two: scaling the power is exact, and equal to
    // scaling the inverse transform by 1/N before squaring.
    const double inv_n2 = 1.0 / (Nd * Nd);

    util::parallel_for(rows.size(), [&](std::size_t item) {
        const std::size_t j = rows[item];
        const double s = t.scales[j];
        const double norm = morlet_norm * std::sqrt(two_pi * s / dt);
        // Bins where the wavelet factor can be non-zero: omega > 0 and
        // |s*omega - 6| <= gaussian_support. For dt, s > 0 these are
        // 1 <= k < min(h, (6 + support)/a) with a = s*2*pi/(N*dt).
        std::size_t lo = 0, hi = N;
        const double a = s * two_pi / (Nd * dt);
        if (dt > 0.0 && s > 0.0 && a > 0.0 && std::isfinite(a) && std::isfinite(norm)) {
            lo = std::min<std::size_t>(1, h);
            hi = h;
            const double kmax = (6.0 + gaussian_support) / a + 2.0;
            if (kmax < static_cast<double>(hi)) hi = std::max(lo, static_cast<std::size_t>(kmax));
        }
        FftScratch scratch(N);
        double* re = scratch.re();
        double* im = scratch.im();
        std::fill(re, re + lo, 0.0);
        std::fill(im, im + lo, 0.0);
        std::fill(re + hi, re + N, 0.0);
        std::fill(im + hi, im + N, 0.0);
        for (std::size_t k = lo; k < hi; ++k) {
            const double w = omega[k];
            if (w > 0.0) {
                const double u = s * w - 6.0;
                const double f = norm * std::exp(-0.5 * u * u);
                re[k] = spectrum_re[k] * f;
                im[k] = spectrum_im[k] * f;
            } else {
                re[k] = 0.0;
                im[k] = 0.0;
            }
        }
        plan.inverse_dif(re, im, lo, hi);
        // Squares in place first (a sequential pass), then one gather
        // from bit-reversed positions instead of two.
        for (std::size_t k = 0; k < N; ++k) re[k] = re[k] * re[k] + im[k] * im[k];
        double* out = t.power.data() + j * n;
        for (std::size_t i = 0; i < n; ++i) out[i] = re[rev[i]] * inv_n2;
    });
    return t;
}

namespace {

/// One band's row of scale-averaged power into `row` (n values, zeroed here).
void band_row(const MorletTransform& t, const PeriodBand& b, double* row) {
    const double factor = t.dj * t.dt / reconstruction_factor;
    const std::size_t nscales = std::min(t.scales.size(), t.periods.size());
    std::fill(row, row + t.n, 0.0);
    for (std::size_t j = 0; j < nscales; ++j) {
        const double p = t.periods[j];
        if (!(b.lo_s <= p && p < b.hi_s)) continue;
        const double s = t.scales[j];
        const std::span<const double> pw = t.row(j);
        for (std::size_t i = 0; i < t.n; ++i) row[i] += pw[i] / s;
    }
    for (std::size_t i = 0; i < t.n; ++i) row[i] *= factor;
}

}  // namespace

std::vector<std::vector<double>> band_power(const MorletTransform& t, std::span<const PeriodBand> bands) {
    std::vector<std::vector<double>> out;
    out.reserve(bands.size());
    for (const PeriodBand& b : bands) {
        std::vector<double> row(t.n);
        band_row(t, b, row.data());
        out.push_back(std::move(row));
    }
    return out;
}

std::vector<double> band_power_block(const MorletTransform& t, std::span<const PeriodBand> bands) {
    std::vector<double> out(bands.size() * t.n);
    for (std::size_t k = 0; k < bands.size(); ++k) band_row(t, bands[k], out.data() + k * t.n);
    return out;
}

}  // namespace skarvo::analysis
