// The vocabulary every room shares: GNSS systems, satellites and
// observation codes, with their text forms and orders.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skarvo::util {

// ---- systems and satellites -------------------------------------------------

/// Constellations in their declared order (the value is the order number).
enum class GnssSystem : std::uint8_t { GPS, GLONASS, Galileo, BeiDou, QZSS, SBAS, NavIC, Mixed };
inline constexpr std::size_t system_count = 8;

inline constexpr std::array<GnssSystem, system_count> all_systems = {
    GnssSystem::GPS,  GnssSystem::GLONASS, GnssSystem::Galileo, GnssSystem::BeiDou,
    GnssSystem::QZSS, GnssSystem::SBAS,    GnssSystem::NavIC,   GnssSystem::Mixed};

/// RINEX letter: G R E C J S I M.
constexpr char system_letter(GnssSystem s) noexcept { return "GRECJSIM"[static_cast<int>(s)]; }
/// "GPS", "GLONASS", "Galileo", "BeiDou", "QZSS", "SBAS", "NavIC", "Mixed".
std::string_view system_name(GnssSystem s) noexcept;
/// Three-letter name used in signal labels: GPS GLO GAL BDS QZS SBS IRN MIX.
std::string_view system_short_name(GnssSystem s) noexcept;
/// The system of a RINEX letter (ASCII lower case accepted), or absent.
std::optional<GnssSystem> system_from_letter(char32_t c) noexcept;
constexpr std::size_t system_index(GnssSystem s) noexcept { return static_cast<std::size_t>(s); }

struct Satellite {
    GnssSystem system = GnssSystem::GPS;
    std::uint32_t prn = 0;

    /// Identifier text: letter and PRN zero-padded to two digits (G05, C123).
    std::string id() const;
    friend bool operator==(const Satellite&, const Satellite&) = default;
};

/// Satellite order: system letters as characters (C E G I J M R S), then PRN.
constexpr std::uint64_t sort_key(const Satellite& s) noexcept {
    return (static_cast<std::uint64_t>(static_cast<unsigned char>(system_letter(s.system))) << 32) | s.prn;
}
constexpr bool satellite_less(const Satellite& a, const Satellite& b) noexcept { return sort_key(a) < sort_key(b); }

/// "G01", " g 1 ", "G+1" give G01; "G", "X01", "G-1", "G1.5" are absent.
std::optional<Satellite> parse_satellite(std::string_view text) noexcept;

// ---- observation codes ------------------------------------------------------

/// Kind of a measurement: C L D S X.
enum class ObsKind : std::uint8_t { Code, Phase, Doppler, Snr, Channel };
constexpr char kind_letter(ObsKind k) noexcept { return "CLDSX"[static_cast<int>(k)]; }

/// Three-character observation code such as C1C.
struct ObsCode {
    ObsKind kind = ObsKind::Code;
    std::uint8_t band = 0;   // 0-9
    char attribute = ' ';    // upper case

    std::string text() const { return {kind_letter(kind), static_cast<char>('0' + band), attribute}; }
    friend bool operator==(const ObsCode&, const ObsCode&) = default;
};
static_assert(sizeof(ObsCode) == 3);

/// Order of the text form (kind letter, band digit, attribute).
constexpr std::uint32_t text_key(const ObsCode& c) noexcept {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(kind_letter(c.kind))) << 16) |
           (static_cast<std::uint32_t>(c.band) << 8) | static_cast<unsigned char>(c.attribute);
}
constexpr bool code_text_less(const ObsCode& a, const ObsCode& b) noexcept { return text_key(a) < text_key(b); }

/// "c1c", "C1C", "C1c" give C1C; "C1", "C1CX", "Q1C", "CAC" are absent.
std::optional<ObsCode> parse_obs_code(std::string_view text) noexcept;

}  // namespace skarvo::util
