// GNSS systems, satellites, observation codes and the in-memory observation
// file. A RinexObsData is built once by the reader and only read afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/time.hpp"

namespace skarvo::rinex {

using util::Epoch;

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

struct SatelliteHash {
    std::size_t operator()(const Satellite& s) const noexcept { return std::hash<std::uint64_t>{}(sort_key(s)); }
};

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

struct ObsCodeHash {
    std::size_t operator()(const ObsCode& c) const noexcept {
        return std::hash<std::uint32_t>{}((static_cast<std::uint32_t>(c.kind) << 16) | text_key(c));
    }
};

/// "c1c", "C1C", "C1c" give C1C; "C1", "C1CX", "Q1C", "CAC" are absent.
std::optional<ObsCode> parse_obs_code(std::string_view text) noexcept;

// ---- observations and records ---------------------------------------------

/// One measured value with its optional loss-of-lock and signal-strength digits.
struct Observation {
    double value = 0.0;
    std::optional<std::uint8_t> lli;
    std::optional<std::uint8_t> ssi;
};

/// Stored form of one observation (16 bytes): value, code, and the two
/// indicator digits with `no_digit` for absent.
struct ObsEntry {
    static constexpr std::uint8_t no_digit = 0xFF;
    double value = 0.0;
    ObsCode code;
    std::uint8_t lli = no_digit;
    std::uint8_t ssi = no_digit;

    std::optional<std::uint8_t> lli_opt() const noexcept {
        return lli == no_digit ? std::nullopt : std::optional<std::uint8_t>(lli);
    }
    std::optional<std::uint8_t> ssi_opt() const noexcept {
        return ssi == no_digit ? std::nullopt : std::optional<std::uint8_t>(ssi);
    }
    Observation observation() const { return {value, lli_opt(), ssi_opt()}; }
};
static_assert(sizeof(ObsEntry) == 16);

/// The observations of one satellite at one epoch: a range of
/// RinexObsData::obs. The range may be empty.
struct SatObs {
    Satellite sat;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

/// One epoch record: time tag, flag, clock offset and a range of
/// RinexObsData::sat_obs (each satellite at most once).
struct EpochRecord {
    Epoch epoch;
    std::optional<double> clock_offset;  // seconds
    std::uint8_t flag = 0;
    std::uint32_t sat_begin = 0;
    std::uint32_t sat_end = 0;
};

struct RinexVersion {
    std::uint8_t major = 3;
    std::uint8_t minor = 5;
    /// "3.04", "2.11", "3.05".
    std::string text() const;
};

struct Xyz {
    double x = 0.0, y = 0.0, z = 0.0;
};

struct RinexHeader {
    RinexVersion version;
    char32_t file_type = U'O';
    std::optional<GnssSystem> satellite_system;
    std::string program, run_by, date;
    std::string observer, agency;
    std::string marker_name, marker_number, marker_type;
    std::string receiver_number, receiver_type, receiver_version;
    std::string antenna_number, antenna_type;
    std::optional<Xyz> approx_position;   // metres
    std::optional<Xyz> antenna_delta;     // height, east, north in metres
    /// Per system (indexed by system_index): the header's code list, absent
    /// when the header has no line for that system.
    std::array<std::optional<std::vector<ObsCode>>, system_count> obs_types;
    std::vector<std::string> obs_types_v2;
    std::optional<double> interval;  // seconds
    std::optional<Epoch> time_of_first_obs;
    std::string time_system;
    std::optional<Epoch> time_of_last_obs;
    std::optional<std::int32_t> leap_seconds;
    std::optional<std::uint32_t> num_satellites_header;
    std::unordered_map<std::uint32_t, std::int8_t> glonass_slots;
    std::optional<std::map<std::string, double>> glonass_biases;
    std::vector<std::string> comments;
};

/// An event record (flag 2 to 5) that the reader does not keep among the
/// epoch records: its time (unix ms; absent when its time fields are blank)
/// and flag.
struct EventMark {
    std::optional<std::int64_t> epoch_ms;
    std::uint8_t flag = 0;
};

/// A whole observation file: the header and the epoch records in file order,
/// stored contiguously.
struct RinexObsData {
    RinexHeader header;
    std::vector<EpochRecord> epochs;
    std::vector<SatObs> sat_obs;
    std::vector<ObsEntry> obs;
    /// Event records read and dropped from `epochs` (version 2), in file order.
    std::vector<EventMark> events;

    std::span<const SatObs> satellites_at(const EpochRecord& e) const noexcept {
        return {sat_obs.data() + e.sat_begin, sat_obs.data() + e.sat_end};
    }
    std::span<const ObsEntry> observations(const SatObs& s) const noexcept {
        return {obs.data() + s.begin, obs.data() + s.end};
    }
    /// The observation of `code` in `s`, or null.
    const ObsEntry* find(const SatObs& s, const ObsCode& code) const noexcept {
        for (const ObsEntry& o : observations(s))
            if (o.code == code) return &o;
        return nullptr;
    }
};

}  // namespace skarvo::rinex
