#include "analysis/fft.hpp"

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <memory>

namespace skarvo::analysis {
namespace {

/// cos and sin of 2*pi*k/n for k in [0, n), from the first octant computed
/// in extended precision and mirrored, so that the table is exactly
/// symmetric and the quarter points are exact.
void unit_roots(std::size_t n, std::vector<double>& c, std::vector<double>& s) {
    c.assign(n, 0.0);
    s.assign(n, 0.0);
    if (n < 8) {
        constexpr double h = 0.70710678118654752440;
        const std::array<std::array<double, 2>, 8> eighth = {
            {{1, 0}, {h, h}, {0, 1}, {-h, h}, {-1, 0}, {-h, -h}, {0, -1}, {h, -h}}};
        for (std::size_t k = 0; k < n; ++k) {
            c[k] = eighth[k * 8 / n][0];
            s[k] = eighth[k * 8 / n][1];
        }
        return;
    }
    const std::size_t q = n / 4, e = n / 8;
    const long double two_pi = 6.283185307179586476925286766559L;
    for (std::size_t k = 0; k <= e; ++k) {
        const long double a = two_pi * static_cast<long double>(k) / static_cast<long double>(n);
        c[k] = static_cast<double>(std::cos(a));
        s[k] = static_cast<double>(std::sin(a));
        c[q - k] = s[k];
        s[q - k] = c[k];
    }
    for (std::size_t k = q; k < 2 * q; ++k) {  // pi/2 + phi
        c[k] = -s[k - q];
        s[k] = c[k - q];
    }
    for (std::size_t k = 2 * q; k < n; ++k) {  // pi + phi
        c[k] = -c[k - 2 * q];
        s[k] = -s[k - 2 * q];
    }
}

/// Active butterfly indices j of a stage with sub-block length `q`, given
/// that only bins [lo, hi) of the original input are non-zero: the bins
/// feeding index j are those congruent to j modulo q, so the active set is
/// the cyclic interval starting at lo mod q. Gives up to two ranges.
struct Ranges {
    std::size_t a0, a1, b0, b1;
};
Ranges active(std::size_t q, std::size_t lo, std::size_t hi) noexcept {
    const std::size_t width = hi - lo;
    if (width >= q) return {0, q, 0, 0};
    const std::size_t start = lo & (q - 1);
    if (start + width <= q) return {start, start + width, 0, 0};
    return {start, q, 0, start + width - q};
}

}  // namespace

std::size_t next_power_of_two(std::size_t n) noexcept { return n <= 1 ? 1 : std::bit_ceil(n); }

FftPlan::FftPlan(std::size_t n) : n_(n) {
    const int p = std::countr_zero(n);
    std::vector<double> c, s;
    unit_roots(n, c, s);
    // Forward twiddles exp(-2*pi*i*j*m/L) = root index j*m*(N/L), negated sine.
    auto push = [&](std::size_t L, std::size_t count, std::size_t m) {
        const std::size_t step = n / L;
        for (std::size_t j = 0; j < count; ++j) tw_.push_back(c[(j * m * step) % n]);
        for (std::size_t j = 0; j < count; ++j) tw_.push_back(-s[(j * m * step) % n]);
    };
    std::size_t L = n;
    if (p % 2 == 1) {
        stages_.push_back({L, tw_.size(), false});
        push(L, L / 2, 1);
        L /= 2;
    }
    for (; L >= 4; L /= 4) {
        stages_.push_back({L, tw_.size(), true});
        for (std::size_t m = 1; m <= 3; ++m) push(L, L / 4, m);
    }
    rev_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t r = 0, v = static_cast<std::uint32_t>(i);
        for (int b = 0; b < p; ++b) {
            r = (r << 1) | (v & 1u);
            v >>= 1;
        }
        rev_[i] = r;
    }
}

namespace {

// The butterfly loops are inlined into the two stage drivers so that each
// is vectorised with its direction fixed at compile time.
#define SKARVO_FFT_INLINE [[gnu::always_inline]] inline

template <bool Inverse>
SKARVO_FFT_INLINE void radix2_range(double* __restrict r0, double* __restrict i0, double* __restrict r1,
                                    double* __restrict i1, const double* __restrict wc,
                                    const double* __restrict ws, std::size_t j0, std::size_t j1) noexcept {
    for (std::size_t j = j0; j < j1; ++j) {
        const double ar = r0[j] - r1[j], ai = i0[j] - i1[j];
        r0[j] += r1[j];
        i0[j] += i1[j];
        const double c = wc[j], s = Inverse ? -ws[j] : ws[j];
        r1[j] = ar * c - ai * s;
        i1[j] = ar * s + ai * c;
    }
}

template <bool Inverse>
SKARVO_FFT_INLINE void radix4_range(double* __restrict r0, double* __restrict i0, std::size_t Q,
                                    const double* __restrict tw, std::size_t j0, std::size_t j1) noexcept {
    double* __restrict r1 = r0 + Q;
    double* __restrict i1 = i0 + Q;
    double* __restrict r2 = r1 + Q;
    double* __restrict i2 = i1 + Q;
    double* __restrict r3 = r2 + Q;
    double* __restrict i3 = i2 + Q;
    const double* __restrict c1 = tw;
    const double* __restrict s1 = tw + Q;
    const double* __restrict c2 = tw + 2 * Q;
    const double* __restrict s2 = tw + 3 * Q;
    const double* __restrict c3 = tw + 4 * Q;
    const double* __restrict s3 = tw + 5 * Q;
    for (std::size_t j = j0; j < j1; ++j) {
        const double t0r = r0[j] + r2[j], t0i = i0[j] + i2[j];
        const double t1r = r0[j] - r2[j], t1i = i0[j] - i2[j];
        const double t2r = r1[j] + r3[j], t2i = i1[j] + i3[j];
        const double dr = r1[j] - r3[j], di = i1[j] - i3[j];
        // e = sigma*i*d with sigma = -1 forward, +1 inverse.
        const double er = Inverse ? -di : di, ei = Inverse ? dr : -dr;
        r0[j] = t0r + t2r;
        i0[j] = t0i + t2i;
        const double ar = t0r - t2r, ai = t0i - t2i;
        const double w2c = c2[j], w2s = Inverse ? -s2[j] : s2[j];
        r1[j] = ar * w2c - ai * w2s;
        i1[j] = ar * w2s + ai * w2c;
        const double br = t1r + er, bi = t1i + ei;
        const double w1c = c1[j], w1s = Inverse ? -s1[j] : s1[j];
        r2[j] = br * w1c - bi * w1s;
        i2[j] = br * w1s + bi * w1c;
        const double gr = t1r - er, gi = t1i - ei;
        const double w3c = c3[j], w3s = Inverse ? -s3[j] : s3[j];
        r3[j] = gr * w3c - gi * w3s;
        i3[j] = gr * w3s + gi * w3c;
    }
}

template <bool Inverse>
SKARVO_FFT_INLINE void last_radix4(double* __restrict re, double* __restrict im, std::size_t n) noexcept {
    // Blocks of four with all twiddles equal to 1.
    for (std::size_t b = 0; b < n; b += 4) {
        double* __restrict x = re + b;
        double* __restrict y = im + b;
        const double t0r = x[0] + x[2], t0i = y[0] + y[2];
        const double t1r = x[0] - x[2], t1i = y[0] - y[2];
        const double t2r = x[1] + x[3], t2i = y[1] + y[3];
        const double dr = x[1] - x[3], di = y[1] - y[3];
        const double er = Inverse ? -di : di, ei = Inverse ? dr : -dr;
        x[0] = t0r + t2r;
        y[0] = t0i + t2i;
        x[1] = t0r - t2r;
        y[1] = t0i - t2i;
        x[2] = t1r + er;
        y[2] = t1i + ei;
        x[3] = t1r - er;
        y[3] = t1i - ei;
    }
}

template <bool Inverse>
SKARVO_FFT_INLINE void dif_stages(const FftStage* stages, std::size_t count, const double* tw_all, std::size_t n,
                                  double* re, double* im, std::size_t lo, std::size_t hi) noexcept {
    if (hi <= lo) return;
    for (std::size_t k = 0; k < count; ++k) {
        const FftStage& st = stages[k];
        const std::size_t L = st.block;
        const double* tw = tw_all + st.twiddle;
        if (!st.radix4) {
            const std::size_t H = L / 2;
            const Ranges r = active(H, lo, hi);
            for (std::size_t b = 0; b < n; b += L) {
                radix2_range<Inverse>(re + b, im + b, re + b + H, im + b + H, tw, tw + H, r.a0, r.a1);
                radix2_range<Inverse>(re + b, im + b, re + b + H, im + b + H, tw, tw + H, r.b0, r.b1);
            }
            continue;
        }
        const std::size_t Q = L / 4;
        if (Q == 1) {
            last_radix4<Inverse>(re, im, n);
            continue;
        }
        const Ranges r = active(Q, lo, hi);
        for (std::size_t b = 0; b < n; b += L) {
            radix4_range<Inverse>(re + b, im + b, Q, tw, r.a0, r.a1);
            radix4_range<Inverse>(re + b, im + b, Q, tw, r.b0, r.b1);
        }
    }
}

// Blocks up to this many points (32 KiB of split arrays) stay in the L1
// cache while all their remaining stages run.
constexpr std::size_t cache_block = 2048;

/// Stages in depth-first order: a large block does its first stage, then
/// each of its sub-blocks is finished before the next one starts, so that
/// the later stages work on data already in cache. A DIF stage of block
/// length L only mixes points within one block, which makes this legal.
template <bool Inverse>
void dif_depth_first(const FftStage* stages, std::size_t count, const double* tw, std::size_t n, double* re,
                     double* im, std::size_t lo, std::size_t hi) noexcept {
    if (count == 0) return;
    if (n <= cache_block) {
        dif_stages<Inverse>(stages, count, tw, n, re, im, lo, hi);
        return;
    }
    dif_stages<Inverse>(stages, 1, tw, n, re, im, lo, hi);
    const std::size_t sub = stages[0].radix4 ? n / 4 : n / 2;
    for (std::size_t b = 0; b < n; b += sub) dif_depth_first<Inverse>(stages + 1, count - 1, tw, sub, re + b, im + b, lo, hi);
}

void dif_forward(const FftStage* stages, std::size_t count, const double* tw, std::size_t n, double* re, double* im,
                 std::size_t lo, std::size_t hi) noexcept {
    dif_depth_first<false>(stages, count, tw, n, re, im, lo, hi);
}

void dif_inverse(const FftStage* stages, std::size_t count, const double* tw, std::size_t n, double* re, double* im,
                 std::size_t lo, std::size_t hi) noexcept {
    dif_depth_first<true>(stages, count, tw, n, re, im, lo, hi);
}

}  // namespace

void FftPlan::forward_dif(double* re, double* im, std::size_t lo, std::size_t hi) const noexcept {
    dif_forward(stages_.data(), stages_.size(), tw_.data(), n_, re, im, lo, hi);
}
void FftPlan::inverse_dif(double* re, double* im, std::size_t lo, std::size_t hi) const noexcept {
    dif_inverse(stages_.data(), stages_.size(), tw_.data(), n_, re, im, lo, hi);
}

const FftPlan& fft_plan(std::size_t n) {
    // One slot per power of two; a plan is built outside any lock and the
    // first one published wins, which keeps this path free of mutexes (and
    // so safe in a forked child).
    static std::array<std::atomic<const FftPlan*>, 32> plans{};
    const int p = std::countr_zero(n);
    std::atomic<const FftPlan*>& slot = plans[static_cast<std::size_t>(p)];
    const FftPlan* plan = slot.load(std::memory_order_acquire);
    if (plan) return *plan;
    auto fresh = std::make_unique<const FftPlan>(n);
    if (slot.compare_exchange_strong(plan, fresh.get(), std::memory_order_acq_rel)) return *fresh.release();
    return *plan;
}

namespace {
constexpr std::size_t reuse_limit = std::size_t{1} << 18;
// The imaginary array starts a few cache lines past a power-of-two distance
// from the real one, so that re[j] and im[j] do not compete for one cache set.
constexpr std::size_t scratch_skew = 40;
thread_local std::vector<double> thread_scratch;
thread_local bool thread_scratch_busy = false;
}  // namespace

FftScratch::FftScratch(std::size_t n) {
    std::vector<double>* buf = nullptr;
    if (n <= reuse_limit && !thread_scratch_busy) {
        thread_scratch_busy = true;
        buf = &thread_scratch;
    } else {
        owned_ = new std::vector<double>();
        buf = owned_;
    }
    try {
        if (buf->size() < 2 * n + scratch_skew) buf->resize(2 * n + scratch_skew);
    } catch (...) {
        if (owned_) delete owned_;
        else thread_scratch_busy = false;
        throw;
    }
    re_ = buf->data();
    im_ = re_ + n + scratch_skew;
}

FftScratch::~FftScratch() {
    if (owned_)
        delete owned_;
    else
        thread_scratch_busy = false;
}

bool fft(std::span<std::complex<double>> data, bool inverse) {
    const std::size_t n = data.size();
    if (!is_power_of_two(n) || n > (std::size_t{1} << 31)) return false;
    if (n == 1) return true;
    const FftPlan& plan = fft_plan(n);
    FftScratch scratch(n);
    double* re = scratch.re();
    double* im = scratch.im();
    for (std::size_t i = 0; i < n; ++i) {
        re[i] = data[i].real();
        im[i] = data[i].imag();
    }
    if (inverse)
        plan.inverse_dif(re, im, 0, n);
    else
        plan.forward_dif(re, im, 0, n);
    const std::uint32_t* rev = plan.bit_reverse();
    // 1/N is a power of two, so the scaling is exact.
    const double scale = inverse ? 1.0 / static_cast<double>(n) : 1.0;
    for (std::size_t k = 0; k < n; ++k) data[k] = {re[rev[k]] * scale, im[rev[k]] * scale};
    return true;
}

}  // namespace skarvo::analysis
