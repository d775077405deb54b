// The in-memory observation file. A RinexObsData is built once by the reader
// and only read afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/identifiers.hpp"
#include "utils/time.hpp"

namespace skarvo::rinex {

using util::Epoch;

// The shared identifiers, under the names the reader's code has always used.
using util::code_text_less;
using util::GnssSystem;
using util::ObsCode;
using util::ObsKind;
using util::parse_obs_code;
using util::parse_satellite;
using util::Satellite;
using util::satellite_less;
using util::sort_key;
using util::system_count;
using util::system_from_letter;
using util::system_index;

// ---- observations and records ---------------------------------------------

/// Stored form of one observation (16 bytes): value, code, and the two
/// indicator digits with `no_digit` for absent.
struct ObsEntry {
    static constexpr std::uint8_t no_digit = 0xFF;
    double value = 0.0;
    ObsCode code;
    std::uint8_t lli = no_digit;
    std::uint8_t ssi = no_digit;
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
