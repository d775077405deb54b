#include "analysis/partner_bands.hpp"

namespace skarvo::analysis {

using util::GnssSystem;

std::span<const std::uint8_t> partner_bands(GnssSystem s) noexcept {
    static constexpr std::uint8_t g[] = {1, 2, 5}, r[] = {1, 2, 3}, e[] = {1, 5, 7, 8, 6}, c[] = {2, 7, 6, 1, 5},
                                  j[] = {1, 2, 5, 6}, sb[] = {1, 5}, i[] = {5, 9};
    switch (s) {
        case GnssSystem::GPS: return g;
        case GnssSystem::GLONASS: return r;
        case GnssSystem::Galileo: return e;
        case GnssSystem::BeiDou: return c;
        case GnssSystem::QZSS: return j;
        case GnssSystem::SBAS: return sb;
        case GnssSystem::NavIC: return i;
        case GnssSystem::Mixed: return {};
    }
    return {};
}

}  // namespace skarvo::analysis
