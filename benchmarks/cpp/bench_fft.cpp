// Single-core timing of the Morlet transform of 20,000 samples (N = 32,768,
// 107 scales) against the same transform written plainly: a textbook
// radix-2 FFT (bit reversal first, twiddles computed per call) and the
// wavelet factor evaluated for every bin, run in the same process. Prints
// medians over repeated runs and their ratio.
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <vector>

#include "analysis/fft.hpp"
#include "analysis/morlet.hpp"
#include "utils/pool.hpp"

namespace {

using cd = std::complex<double>;

void textbook_fft(std::vector<cd>& a, bool inverse) {
    const std::size_t n = a.size();
    if (n < 2) return;
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    const double sign = inverse ? 1.0 : -1.0;
    std::vector<cd> w(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k) {
        const double th = sign * 2.0 * M_PI * static_cast<double>(k) / static_cast<double>(n);
        w[k] = {std::cos(th), std::sin(th)};
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::size_t half = len / 2, stride = n / len;
        for (std::size_t b = 0; b < n; b += len)
            for (std::size_t j = 0; j < half; ++j) {
                const cd u = a[b + j], x = a[b + j + half], t = w[j * stride];
                // Written out: std::complex's operator* checks for infinities.
                const cd v(x.real() * t.real() - x.imag() * t.imag(), x.real() * t.imag() + x.imag() * t.real());
                a[b + j] = u + v;
                a[b + j + half] = u - v;
            }
    }
    if (inverse)
        for (auto& x : a) x /= static_cast<double>(n);
}

std::vector<double> textbook_morlet(const std::vector<double>& y, double dt, const std::vector<double>& scales) {
    const std::size_t n = y.size();
    std::size_t N = 1;
    while (N < n) N <<= 1;
    double m = 0;
    for (double v : y) m += v;
    m /= static_cast<double>(n);
    std::vector<cd> x(N);
    for (std::size_t k = 0; k < n; ++k) x[k] = y[k] - m;
    textbook_fft(x, false);
    std::vector<double> power(scales.size() * n);
    std::vector<cd> W(N);
    const std::size_t h = N - N / 2;
    for (std::size_t j = 0; j < scales.size(); ++j) {
        const double s = scales[j];
        const double norm = 0.7511255444649425 * std::sqrt(2 * M_PI * s / dt);
        for (std::size_t k = 0; k < N; ++k) {
            const double kk = k < h ? double(k) : double(k) - double(N);
            const double w = 2 * M_PI * kk / (double(N) * dt);
            W[k] = w > 0 ? x[k] * norm * std::exp(-0.5 * (s * w - 6) * (s * w - 6)) : cd(0);
        }
        textbook_fft(W, true);
        for (std::size_t i = 0; i < n; ++i) power[j * n + i] = std::norm(W[i]);
    }
    return power;
}

template <class F>
double median_ms(F&& f, int runs) {
    std::vector<double> t;
    for (int r = 0; r < runs; ++r) {
        const auto a = std::chrono::steady_clock::now();
        f();
        const auto b = std::chrono::steady_clock::now();
        t.push_back(std::chrono::duration<double, std::milli>(b - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main() {
    // One core: pin the process before the pool is created.
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);
    std::printf("workers: %zu\n", skarvo::util::pool_worker_count());

    const std::size_t n = 20000;
    const double dt = 1.0;
    std::mt19937_64 rng(7);
    std::normal_distribution<double> g;
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = std::sin(2 * M_PI * double(i) / 300.0) + 0.3 * g(rng);

    auto ours = skarvo::analysis::morlet_transform(y, dt, 0.125, std::nullopt);
    const auto& tr = ours.value();
    std::printf("scales: %zu, N: %zu\n", tr.scales.size(), skarvo::analysis::next_power_of_two(n));
    const auto ref = textbook_morlet(y, dt, tr.scales);
    double err = 0, top = 0;
    for (std::size_t i = 0; i < ref.size(); ++i) {
        err = std::max(err, std::abs(ref[i] - tr.power[i]));
        top = std::max(top, std::abs(ref[i]));
    }
    std::printf("max |difference| / max power vs textbook: %.3g\n", err / top);

    const int runs = 15;
    const double t_ours = median_ms([&] { (void)skarvo::analysis::morlet_transform(y, dt, 0.125, std::nullopt); }, runs);
    const double t_text = median_ms([&] { (void)textbook_morlet(y, dt, tr.scales); }, 5);
    std::vector<cd> buf(32768);
    for (auto& v : buf) v = {g(rng), g(rng)};
    const double t_fft = median_ms([&] { skarvo::analysis::fft(buf, false); }, 201);
    const double t_tfft = median_ms([&] { textbook_fft(buf, false); }, 201);
    std::printf("morlet_transform 20000 samples, 107 scales, 1 core: %.2f ms (textbook radix-2: %.2f ms, ratio %.2f)\n",
                t_ours, t_text, t_text / t_ours);
    std::printf("complex FFT N=32768: %.3f ms (textbook radix-2: %.3f ms, ratio %.2f)\n", t_fft, t_tfft, t_tfft / t_fft);
    return 0;
}
