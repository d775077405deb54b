// Broadcast ephemerides read from RINEX navigation files (versions 2, 3 and
// 4), and satellite positions propagated from them. The positions serve
// elevations and azimuths: no clock, relativistic or group-delay terms.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "navigation/coordinates.hpp"
#include "utils/error.hpp"
#include "utils/identifiers.hpp"
#include "utils/time.hpp"

namespace skarvo::nav {

/// Seconds since 1980-01-06T00:00:00 of an epoch read on the GPS time scale
/// (calendar fields taken as they stand, fields outside their ranges carry).
double gps_seconds(const util::Epoch& e) noexcept;

/// GPS minus UTC in whole seconds at a UTC instant given as gps_seconds of its
/// calendar fields (0 before 1981-07-01).
int gps_minus_utc(double utc_calendar_seconds) noexcept;

/// A Keplerian ephemeris (GPS LNAV, QZSS LNAV, Galileo I/NAV and F/NAV,
/// BeiDou D1/D2, NavIC) with its times moved onto the GPS scale.
struct KeplerEphemeris {
    util::Satellite sat;
    double toe = 0.0;       // reference time, gps_seconds
    double toe_sow = 0.0;   // as broadcast: seconds of the system's week
    // The record serves epochs from toe - max_before to toe + max_after, s.
    double max_before = 0.0;
    double max_after = 0.0;
    bool healthy = true;
    bool beidou_geo = false;
    double sqrt_a = 0.0, e = 0.0, i0 = 0.0, omega0 = 0.0, omega = 0.0, m0 = 0.0;
    double delta_n = 0.0, idot = 0.0, omega_dot = 0.0;
    double cuc = 0.0, cus = 0.0, crc = 0.0, crs = 0.0, cic = 0.0, cis = 0.0;
};

/// A GLONASS state vector (PZ-90, metres, m/s, m/s^2) at its reference time.
struct GlonassEphemeris {
    util::Satellite sat;
    double toe = 0.0;  // reference time, gps_seconds
    bool healthy = true;
    std::int32_t frequency = 0;  // frequency channel number
    std::array<double, 3> pos{}, vel{}, acc{};
};

/// A read navigation file. Built once, then only read (safe to share between
/// threads).
struct NavData {
    double version = 0.0;
    /// Satellites with at least one ephemeris record of any message type, in
    /// satellite order.
    std::vector<util::Satellite> satellites;
    /// Ephemeris records read (every message type, duplicates included).
    std::uint64_t num_records = 0;
    /// Records read but not used for positions: SBAS state vectors and the
    /// modernised messages (CNAV, CNV1-3) of satellites that also broadcast
    /// the legacy message.
    std::uint64_t num_unused = 0;
    /// Leap seconds from the header (absent when not given).
    std::optional<int> leap_seconds;
    std::vector<KeplerEphemeris> kepler;    // by satellite, then reference time
    std::vector<GlonassEphemeris> glonass;  // by satellite, then reference time

    /// Sorts the records, drops repeated ones and builds the satellite
    /// lookup. The reader calls it; call it again after changing the vectors.
    void build_index();

    /// Adds the records of another file (e.g. the single-system files of one
    /// station-day) and rebuilds the index. `version` stays this file's.
    void merge(const NavData& other);

    /// Position of `sat` at `epoch` (GPS time) from the nearest valid record,
    /// or absent.
    std::optional<Ecef> position(const util::Satellite& sat, const util::Epoch& epoch) const noexcept;

private:
    struct Span {
        std::uint32_t begin = 0, end = 0;
        bool glonass = false;
        double max_age = 0.0;  // longest age limit of the satellite's records, s
    };
    std::unordered_map<std::uint64_t, Span> index_;
};

/// ECEF position of a Keplerian ephemeris `tk` seconds after its reference time.
Ecef kepler_position(const KeplerEphemeris& eph, double tk) noexcept;

/// ECEF position of a GLONASS state vector `tk` seconds after its reference
/// time: fourth-order Runge-Kutta integration of the equations of motion in
/// the rotating frame (central term, J2, the broadcast luni-solar
/// accelerations held constant).
Ecef glonass_position(const GlonassEphemeris& eph, double tk) noexcept;

/// Longest time from a GLONASS reference time at which a record is used, s.
inline constexpr double glonass_max_age_s = 900.0;

/// Reads a RINEX navigation file; its content decides how it is unpacked
/// (plain or gzip). Errors: the operating system's and invalid packing or
/// UTF-8 (kind Io),
/// and NavigationFile with the line number for anything that is not a
/// readable navigation file (wrong file type, truncated or damaged records).
util::Result<NavData> read_nav_file(const std::string& path);

/// Same as read_nav_file, on bytes already in memory (borrowed).
util::Result<NavData> read_nav_buffer(std::string_view text);

}  // namespace skarvo::nav
