// Checks of the FFT against a direct DFT in extended precision (both
// directions), against a plain radix-2 transform at the largest lengths, and
// the refusal of lengths that are not a power of two. The transform is also
// checked end to end against numpy.fft by the Morlet tests.
#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <vector>

#include "analysis/fft.hpp"
#include "check.hpp"

using skarvo::analysis::fft;
using cd = std::complex<double>;

namespace {

std::vector<std::complex<long double>> dft(const std::vector<cd>& x, bool inverse) {
    const std::size_t n = x.size();
    const long double two_pi = 6.283185307179586476925286766559L;
    std::vector<std::complex<long double>> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<long double> acc = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const long double a = (inverse ? 1 : -1) * two_pi * static_cast<long double>((j * k) % n) / n;
            acc += std::complex<long double>(x[j].real(), x[j].imag()) * std::complex<long double>(std::cos(a), std::sin(a));
        }
        out[k] = inverse ? acc / static_cast<long double>(n) : acc;
    }
    return out;
}

/// Plain radix-2 FFT (bit reversal, then butterflies with twiddles from
/// cos/sin of the angle in working precision), in double or long double.
template <class T>
void radix2(std::vector<std::complex<T>>& a, bool inverse) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    const T pi = static_cast<T>(3.141592653589793238462643383279502884L);
    for (std::size_t len = 2; len <= n; len <<= 1) {
        for (std::size_t j = 0; j < len / 2; ++j) {
            const T th = (inverse ? 2 : -2) * pi * static_cast<T>(j) / static_cast<T>(len);
            const std::complex<T> w(std::cos(th), std::sin(th));
            for (std::size_t b = 0; b < n; b += len) {
                const std::complex<T> u = a[b + j], v = a[b + j + len / 2] * w;
                a[b + j] = u + v;
                a[b + j + len / 2] = u - v;
            }
        }
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(20240301);
    std::normal_distribution<double> g;
    for (std::size_t n = 1; n <= 2048; n *= 2) {
        std::vector<cd> x(n);
        for (auto& v : x) v = {g(rng), g(rng)};
        for (bool inverse : {false, true}) {
            std::vector<cd> y = x;
            fft(y, inverse);
            const auto ref = dft(x, inverse);
            long double err = 0, norm = 0;
            for (std::size_t k = 0; k < n; ++k) {
                err = std::max(err, std::abs(std::complex<long double>(y[k].real(), y[k].imag()) - ref[k]));
                norm = std::max(norm, std::abs(ref[k]));
            }
            const double rel = static_cast<double>(err / norm);
            // A radix-2 FFT's error grows like eps * log2 N.
            const double bound = 4e-16 * (1 + std::log2(static_cast<double>(n)));
            CHECK_MSG(rel <= bound, "n=" + std::to_string(n) + (inverse ? " inverse" : "") + ": relative error " +
                                        std::to_string(rel) + " above " + std::to_string(bound));
        }
    }
    // At least as accurate as the plain radix-2 algorithm, against the same
    // algorithm in extended precision.
    for (std::size_t n : {std::size_t{1} << 12, std::size_t{1} << 15, std::size_t{1} << 16}) {
        std::vector<cd> x(n);
        for (auto& v : x) v = {g(rng), g(rng)};
        std::vector<std::complex<long double>> ref(x.begin(), x.end());
        radix2(ref, false);
        std::vector<cd> plain = x, ours = x;
        radix2(plain, false);
        fft(ours, false);
        long double e_plain = 0, e_ours = 0;
        for (std::size_t k = 0; k < n; ++k) {
            e_plain += std::norm(std::complex<long double>(plain[k].real(), plain[k].imag()) - ref[k]);
            e_ours += std::norm(std::complex<long double>(ours[k].real(), ours[k].imag()) - ref[k]);
        }
        std::printf("n=%zu rms error %.3Lg, plain radix-2 %.3Lg\n", n, std::sqrt(e_ours / n), std::sqrt(e_plain / n));
        CHECK_MSG(e_ours <= e_plain, "n=" + std::to_string(n) + ": less accurate than plain radix-2");
    }
    // Lengths that are not a power of two are refused and left unchanged.
    std::vector<cd> odd = {{1, 2}, {3, 4}, {5, 6}};
    CHECK(!fft(odd, false) && odd[1] == cd(3, 4));
    return checks::finish("test_fft");
}
