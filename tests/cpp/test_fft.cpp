// Checks of the FFT against a direct DFT in extended precision, and a filter
// used by tests/test_fft.py: with the argument "pipe" it reads
// "<n> <inverse>" and then 2n raw doubles (interleaved complex) from standard
// input and writes the transform as 2n raw doubles.
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/fft.hpp"

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

int pipe_mode() {
    unsigned long n = 0;
    int inverse = 0;
    if (std::scanf("%lu %d", &n, &inverse) != 2) return 2;
    std::getchar();  // the newline ending the header
    std::vector<cd> data(n);
    if (n && std::fread(data.data(), sizeof(cd), n, stdin) != n) return 2;
    if (!fft(data, inverse != 0)) return 3;
    if (n) std::fwrite(data.data(), sizeof(cd), n, stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "pipe") == 0) return pipe_mode();
    std::mt19937_64 rng(20240301);
    std::normal_distribution<double> g;
    int failures = 0;
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
            if (!(rel <= bound)) {
                std::printf("FAIL n=%zu inverse=%d relative error %.3g > %.3g\n", n, inverse, rel, bound);
                ++failures;
            }
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
        if (std::getenv("SKARVO_FFT_VERBOSE"))
            std::printf("n=%zu rms error %.3Lg, plain radix-2 %.3Lg\n", n, std::sqrt(e_ours / n), std::sqrt(e_plain / n));
        if (!(e_ours <= e_plain)) {
            std::printf("FAIL n=%zu rms error %.3Lg above plain radix-2 %.3Lg\n", n, std::sqrt(e_ours / n),
                        std::sqrt(e_plain / n));
            ++failures;
        }
    }
    // Lengths that are not a power of two are refused and left unchanged.
    std::vector<cd> odd = {{1, 2}, {3, 4}, {5, 6}};
    if (fft(odd, false) || odd[1] != cd(3, 4)) {
        std::printf("FAIL length 3 accepted\n");
        ++failures;
    }
    std::printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures ? 1 : 0;
}
