// Which band pairs with which: the second frequency of the multipath
// combination and of the geometry-free slip test.
#pragma once

#include <cstdint>
#include <span>

#include "utils/identifiers.hpp"

namespace skarvo::analysis {

/// Second-frequency candidates of a system, in order of preference.
std::span<const std::uint8_t> partner_bands(util::GnssSystem s) noexcept;

}  // namespace skarvo::analysis
