// Complex FFT of power-of-two lengths: radix-4 decimation-in-frequency
// stages (one radix-2 stage when log2 N is odd) on split real/imaginary
// arrays, with twiddle and bit-reversal tables built once per length and
// kept for the life of the process. The inverse of a spectrum that is zero
// outside a band of bins skips the butterflies that only combine zeros.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace skarvo::analysis {

/// One pass of a plan: blocks of length `block`, radix 4 or 2, with its
/// twiddle tables at offset `twiddle`.
struct FftStage {
    std::size_t block;
    std::size_t twiddle;
    bool radix4;
};

/// Tables for one transform length N = 2^p (p <= 31).
class FftPlan {
public:
    explicit FftPlan(std::size_t n);

    std::size_t size() const noexcept { return n_; }

    /// In-place decimation-in-frequency pass over split arrays of length N.
    /// The result lands in bit-reversed order (element k of the transform
    /// is at index bit_reverse()[k]); no scaling. Only bins [lo, hi) of the
    /// input may be non-zero (0 <= lo <= hi <= N); butterflies whose four
    /// inputs are all outside that band are skipped, so every other input
    /// element must hold zero.
    void forward_dif(double* re, double* im, std::size_t lo, std::size_t hi) const noexcept;
    void inverse_dif(double* re, double* im, std::size_t lo, std::size_t hi) const noexcept;

    /// Index of element k of the transform after a DIF pass.
    const std::uint32_t* bit_reverse() const noexcept { return rev_.data(); }

private:
    std::size_t n_;
    std::vector<FftStage> stages_;
    std::vector<double> tw_;  // per radix-4 stage: c1 s1 c2 s2 c3 s3 (Q each); radix-2: c s (L/2 each)
    std::vector<std::uint32_t> rev_;
};

/// The cached plan of a power-of-two length (1 to 2^31). Thread-safe, never
/// blocks; plans are kept until the process ends.
const FftPlan& fft_plan(std::size_t n);

/// True for 1, 2, 4, 8, ...
constexpr bool is_power_of_two(std::size_t n) noexcept { return n != 0 && (n & (n - 1)) == 0; }

/// Smallest power of two >= n (1 for n <= 1).
std::size_t next_power_of_two(std::size_t n) noexcept;

/// In-place FFT of interleaved complex data of power-of-two length: the
/// forward transform (sign -1) is unscaled, the inverse (sign +1) divides by
/// N. Returns false and leaves the data unchanged for any other length.
/// Allocates scratch space of 2N doubles (reused per thread for N <= 2^18).
bool fft(std::span<std::complex<double>> data, bool inverse);

/// Per-thread scratch arrays of at least `n` doubles each, for the split
/// real and imaginary parts; contents are unspecified. Reused between calls
/// up to 2^18 elements, released after the calling operation beyond that.
class FftScratch {
public:
    explicit FftScratch(std::size_t n);
    ~FftScratch();
    FftScratch(const FftScratch&) = delete;
    FftScratch& operator=(const FftScratch&) = delete;
    double* re() noexcept { return re_; }
    double* im() noexcept { return im_; }

private:
    std::vector<double>* owned_ = nullptr;
    double* re_ = nullptr;
    double* im_ = nullptr;
};

}  // namespace skarvo::analysis
