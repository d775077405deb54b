// Which band pairs with which: the second frequency of the multipath
// combination and of the geometry-free slip test.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

#include "utils/identifiers.hpp"

namespace skarvo::analysis {

/// Second-frequency candidates of a system, in order of preference.
std::span<const std::uint8_t> partner_bands(util::GnssSystem s) noexcept;

/// The second phase of a signal of frequency `f1` (Hz) whose own partner
/// band is `own_band`: walks partner_bands(system) in order, skips
/// `own_band`, and takes the first phase that `offer(band, usable)` gives,
/// or `none`. `offer` returns the caller's phase on `band` whose frequency f
/// passes `usable` (f != 0 and |f1^2 / f^2 - 1| >= 0.1: far enough from f1
/// for the combination), or `none`.
template <class Id, class Offer>
Id partner_phase(util::GnssSystem system, std::uint8_t own_band, double f1, Id none, Offer&& offer) {
    const auto usable = [f1](double f) { return f != 0.0 && std::abs((f1 * f1) / (f * f) - 1.0) >= 0.1; };
    for (const std::uint8_t b : partner_bands(system)) {
        if (b == own_band) continue;
        const Id p = offer(b, usable);
        if (p != none) return p;
    }
    return none;
}

}  // namespace skarvo::analysis
