#include "utils/identifiers.hpp"

#include "utils/text.hpp"

namespace skarvo::util {

std::string_view system_name(GnssSystem s) noexcept {
    static constexpr std::string_view names[] = {"GPS", "GLONASS", "Galileo", "BeiDou",
                                                 "QZSS", "SBAS", "NavIC", "Mixed"};
    return names[static_cast<int>(s)];
}

std::string_view system_short_name(GnssSystem s) noexcept {
    static constexpr std::string_view names[] = {"GPS", "GLO", "GAL", "BDS", "QZS", "SBS", "IRN", "MIX"};
    return names[static_cast<int>(s)];
}

std::optional<GnssSystem> system_from_letter(char32_t c) noexcept {
    if (c >= U'a' && c <= U'z') c -= 32;
    switch (c) {
        case U'G': return GnssSystem::GPS;
        case U'R': return GnssSystem::GLONASS;
        case U'E': return GnssSystem::Galileo;
        case U'C': return GnssSystem::BeiDou;
        case U'J': return GnssSystem::QZSS;
        case U'S': return GnssSystem::SBAS;
        case U'I': return GnssSystem::NavIC;
        case U'M': return GnssSystem::Mixed;
        default: return std::nullopt;
    }
}

std::string Satellite::id() const {
    std::string s(1, system_letter(system));
    if (prn < 10) s += '0';
    s += std::to_string(prn);
    return s;
}

std::optional<Satellite> parse_satellite(std::string_view text) noexcept {
    text = trim(text);
    if (text.size() < 2) return std::nullopt;
    const auto sys = system_from_letter(static_cast<unsigned char>(text[0]));
    if (!sys) return std::nullopt;
    // The first byte is an ASCII letter here, so the rest starts on a character boundary.
    const std::string_view rest = trim(text.substr(1));
    if (!rest.empty() && rest[0] == '-') return std::nullopt;
    std::uint32_t prn;
    if (!parse_int(rest, prn)) return std::nullopt;
    return Satellite{*sys, prn};
}

std::optional<ObsCode> parse_obs_code(std::string_view text) noexcept {
    // Exactly three characters: with a multi-byte attribute the text is
    // longer than three bytes but still three characters.
    if (text.size() < 3) return std::nullopt;
    std::size_t attr_len = 0;
    const char32_t attr = first_char(text.substr(2), &attr_len);
    if (2 + attr_len != text.size()) return std::nullopt;
    ObsKind kind;
    switch (ascii_upper(text[0])) {
        case 'C': kind = ObsKind::Code; break;
        case 'L': kind = ObsKind::Phase; break;
        case 'D': kind = ObsKind::Doppler; break;
        case 'S': kind = ObsKind::Snr; break;
        case 'X': kind = ObsKind::Channel; break;
        default: return std::nullopt;
    }
    if (text[1] < '0' || text[1] > '9') return std::nullopt;
    // The attribute is stored as one byte; a non-ASCII attribute cannot be
    // stored, and no RINEX code has one.
    if (attr >= 0x80) return std::nullopt;
    return ObsCode{kind, static_cast<std::uint8_t>(text[1] - '0'), ascii_upper(static_cast<char>(attr))};
}

}  // namespace skarvo::util
