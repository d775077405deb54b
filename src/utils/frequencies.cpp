#include "utils/frequencies.hpp"

namespace skarvo::util {

std::optional<double> carrier_frequency(char32_t sys, std::uint8_t band, std::optional<std::int8_t> fcn) noexcept {
    switch (sys) {
        case U'G':
            switch (band) {
                case 1: return 1575420000.0;
                case 2: return 1227600000.0;
                case 5: return 1176450000.0;
                default: return std::nullopt;
            }
        case U'R': {
            const double k = fcn ? static_cast<double>(*fcn) : 0.0;
            switch (band) {
                case 1: return k * 562500.0 + 1602000000.0;
                case 2: return k * 437500.0 + 1246000000.0;
                case 3: return 1202025000.0;
                default: return std::nullopt;
            }
        }
        case U'E':
            switch (band) {
                case 1: return 1575420000.0;
                case 5: return 1176450000.0;
                case 6: return 1278750000.0;
                case 7: return 1207140000.0;
                case 8: return 1191795000.0;
                default: return std::nullopt;
            }
        case U'C':
            switch (band) {
                case 1: return 1575420000.0;
                case 2: return 1561098000.0;
                case 5: return 1176450000.0;
                case 6: return 1268520000.0;
                case 7: return 1207140000.0;
                default: return std::nullopt;
            }
        case U'J':
            switch (band) {
                case 1: return 1575420000.0;
                case 2: return 1227600000.0;
                case 5: return 1176450000.0;
                case 6: return 1278750000.0;
                default: return std::nullopt;
            }
        case U'S':
            switch (band) {
                case 1: return 1575420000.0;
                case 5: return 1176450000.0;
                default: return std::nullopt;
            }
        case U'I':
            switch (band) {
                case 5: return 1176450000.0;
                case 9: return 2492028000.0;
                default: return std::nullopt;
            }
        default:
            return std::nullopt;
    }
}

std::optional<double> signal_frequency(char32_t sys, std::uint8_t band, char attribute,
                                       std::optional<std::int8_t> fcn) noexcept {
    if (sys == U'C' && band == 1 && (attribute == 'I' || attribute == 'Q')) return 1561098000.0;
    return carrier_frequency(sys, band, fcn);
}

std::int8_t default_glonass_fcn(std::uint32_t slot) noexcept {
    static constexpr std::int8_t table[24] = {1, -4, 5, 6, 1, -4, 5, 6, -2, -7, 0, -1,
                                              -2, -7, 0, -1, 4, -3, 3, 2, 4, -3, 3, 2};
    return (slot >= 1 && slot <= 24) ? table[slot - 1] : std::int8_t{0};
}

std::int8_t resolve_glonass_fcn(std::uint32_t slot,
                                const std::unordered_map<std::uint32_t, std::int8_t>& header_slots) noexcept {
    if (auto it = header_slots.find(slot); it != header_slots.end()) return it->second;
    return default_glonass_fcn(slot);
}

}  // namespace skarvo::util
