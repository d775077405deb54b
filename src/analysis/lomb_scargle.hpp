// Lomb-Scargle periodogram of unevenly sampled data, as the amplitude of the
// best-fitting sinusoid at each trial frequency.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace skarvo::analysis {

/// Amplitude spectrum of y(x) at the frequencies f (cycles per unit of x):
/// for each f, sqrt(4 P / n) with P the classical Lomb-Scargle power (the
/// time offset tau makes the sine and cosine terms orthogonal), which is the
/// amplitude of a pure sinusoid sampled at x. y should have its mean removed.
/// A uniform frequency grid is evaluated by rotating each sample's phase
/// from one frequency to the next (no trigonometric call per frequency);
/// other grids by direct evaluation. Empty input, fewer than 3 samples or
/// mismatched lengths give zeros. Allocates the output only.
std::vector<double> lomb_scargle_amplitude(std::span<const double> x, std::span<const double> y,
                                           std::span<const double> frequencies);

/// The same into `out` (out.size() == frequencies.size()), with `scratch`
/// reused between calls to avoid allocations.
void lomb_scargle_amplitude(std::span<const double> x, std::span<const double> y,
                            std::span<const double> frequencies, std::span<double> out,
                            std::vector<double>& scratch);

}  // namespace skarvo::analysis
