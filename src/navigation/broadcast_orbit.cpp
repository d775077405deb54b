// Broadcast orbits: time scales, record selection and the Keplerian orbit
// of the GPS-type messages (GPS, QZSS, Galileo, BeiDou, NavIC).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "navigation/nav_data.hpp"
#include "navigation/orbit_source.hpp"

namespace skarvo::nav {

namespace {

using util::GnssSystem;

// Gravitational constants and Earth rotation rates of each system's
// interface document.
struct KeplerConstants {
    double mu;       // m^3/s^2
    double omega_e;  // rad/s
};
constexpr KeplerConstants gps_constants{3.986005e14, 7.2921151467e-5};       // GPS, QZSS, NavIC
constexpr KeplerConstants galileo_constants{3.986004418e14, 7.2921151467e-5};
constexpr KeplerConstants beidou_constants{3.986004418e14, 7.292115e-5};      // CGCS2000

KeplerConstants constants_of(GnssSystem s) noexcept {
    switch (s) {
        case GnssSystem::Galileo: return galileo_constants;
        case GnssSystem::BeiDou: return beidou_constants;
        default: return gps_constants;
    }
}

// Inclination of the BeiDou GEO orbit plane's reference frame, rad (-5 deg).
constexpr double beidou_geo_tilt = -5.0 * 0.017453292519943295;

const std::int64_t gps_origin_days = util::days_from_civil(1980, 1, 6);

// Record with the reference time nearest to `t` among those valid at `t`
// (`valid(record, t - toe)`), healthy ones first; on equal distance the later
// record. Records are sorted by reference time; none beyond `span_max_age`
// is valid.
template <class Record, class Valid>
const Record* select(const Record* first, const Record* last, double t, double span_max_age,
                     Valid valid) noexcept {
    const Record* p = std::lower_bound(first, last, t, [](const Record& r, double v) { return r.toe < v; });
    const Record* left = p;   // candidates before: left - 1, left - 2, ...
    const Record* right = p;  // candidates from: right, right + 1, ...
    const Record* fallback = nullptr;
    while (left != first || right != last) {
        const Record* c;
        if (left == first) {
            c = right++;
        } else if (right == last) {
            c = --left;
        } else if (right->toe - t <= t - (left - 1)->toe) {
            c = right++;
        } else {
            c = --left;
        }
        const double age = std::fabs(t - c->toe);
        if (!(age <= span_max_age)) break;
        if (!valid(*c, t - c->toe)) continue;
        if (c->healthy) return c;
        if (!fallback) fallback = c;
    }
    return fallback;
}

}  // namespace

double gps_seconds(const util::Epoch& e) noexcept {
    const std::int64_t days = util::days_from_civil(e.year, e.month, e.day) - gps_origin_days;
    return static_cast<double>(days) * 86400.0 + static_cast<double>(e.hour) * 3600.0 +
           static_cast<double>(e.minute) * 60.0 + e.second;
}

int gps_minus_utc(double utc) noexcept {
    // UTC dates from which GPS time leads UTC by one more second.
    static constexpr int steps[][3] = {
        {1981, 7, 1}, {1982, 7, 1}, {1983, 7, 1}, {1985, 7, 1}, {1988, 1, 1}, {1990, 1, 1},
        {1991, 1, 1}, {1992, 7, 1}, {1993, 7, 1}, {1994, 7, 1}, {1996, 1, 1}, {1997, 7, 1},
        {1999, 1, 1}, {2006, 1, 1}, {2009, 1, 1}, {2012, 7, 1}, {2015, 7, 1}, {2017, 1, 1},
    };
    int n = 0;
    for (const auto& s : steps) {
        const double at = static_cast<double>(util::days_from_civil(s[0], s[1], s[2]) - gps_origin_days) * 86400.0;
        if (utc >= at) ++n;
    }
    return n;
}

Ecef kepler_position(const KeplerEphemeris& k, double tk) noexcept {
    const KeplerConstants c = constants_of(k.sat.system);
    const double a = k.sqrt_a * k.sqrt_a;
    const double n = std::sqrt(c.mu / (a * a * a)) + k.delta_n;
    const double m = k.m0 + n * tk;
    double ea = m;
    for (int i = 0; i < 20; ++i) {
        const double d = (ea - k.e * std::sin(ea) - m) / (1.0 - k.e * std::cos(ea));
        ea -= d;
        if (std::fabs(d) < 1e-14) break;
    }
    const double sin_e = std::sin(ea), cos_e = std::cos(ea);
    const double nu = std::atan2(std::sqrt(1.0 - k.e * k.e) * sin_e, cos_e - k.e);
    const double phi = nu + k.omega;
    const double s2 = std::sin(2.0 * phi), c2 = std::cos(2.0 * phi);
    const double u = phi + k.cus * s2 + k.cuc * c2;
    const double r = a * (1.0 - k.e * cos_e) + k.crs * s2 + k.crc * c2;
    const double i = k.i0 + k.idot * tk + k.cis * s2 + k.cic * c2;
    const double xp = r * std::cos(u), yp = r * std::sin(u);
    const double cos_i = std::cos(i), sin_i = std::sin(i);

    if (k.beidou_geo) {
        // Node in the inertial sense, then the GEO frame turned into the
        // Earth-fixed one: tilt about x by -5 deg, rotation about z by we*tk.
        const double node = k.omega0 + k.omega_dot * tk - c.omega_e * k.toe_sow;
        const double cn = std::cos(node), sn = std::sin(node);
        const double xg = xp * cn - yp * cos_i * sn;
        const double yg = xp * sn + yp * cos_i * cn;
        const double zg = yp * sin_i;
        const double ct = std::cos(beidou_geo_tilt), st = std::sin(beidou_geo_tilt);
        const double y1 = ct * yg + st * zg;
        const double z1 = -st * yg + ct * zg;
        const double rot = c.omega_e * tk;
        const double cr = std::cos(rot), sr = std::sin(rot);
        return {cr * xg + sr * y1, -sr * xg + cr * y1, z1};
    }
    const double node = k.omega0 + (k.omega_dot - c.omega_e) * tk - c.omega_e * k.toe_sow;
    const double cn = std::cos(node), sn = std::sin(node);
    return {xp * cn - yp * cos_i * sn, xp * sn + yp * cos_i * cn, yp * sin_i};
}

void NavData::build_index() {
    const auto by_time = [](const auto& a, const auto& b) {
        const auto ka = util::sort_key(a.sat), kb = util::sort_key(b.sat);
        if (ka != kb) return ka < kb;
        if (a.toe != b.toe) return a.toe < b.toe;
        return a.healthy && !b.healthy;
    };
    // Merged files repeat a record once per contributing receiver, and
    // Galileo sends the same ephemeris on I/NAV and F/NAV: one per time.
    const auto same = [](const auto& a, const auto& b) { return a.sat == b.sat && std::fabs(a.toe - b.toe) < 1e-3; };
    std::stable_sort(kepler.begin(), kepler.end(), by_time);
    kepler.erase(std::unique(kepler.begin(), kepler.end(), same), kepler.end());
    std::stable_sort(glonass.begin(), glonass.end(), by_time);
    glonass.erase(std::unique(glonass.begin(), glonass.end(), same), glonass.end());
    std::sort(satellites.begin(), satellites.end(), util::satellite_less);

    index_.clear();
    for (std::size_t i = 0; i < kepler.size();) {
        std::size_t j = i;
        double longest = 0.0;
        while (j < kepler.size() && kepler[j].sat == kepler[i].sat) {
            longest = std::max({longest, kepler[j].max_before, kepler[j].max_after});
            ++j;
        }
        index_[util::sort_key(kepler[i].sat)] = {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), false,
                                                  longest};
        i = j;
    }
    for (std::size_t i = 0; i < glonass.size();) {
        std::size_t j = i;
        while (j < glonass.size() && glonass[j].sat == glonass[i].sat) ++j;
        index_[util::sort_key(glonass[i].sat)] = {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), true,
                                                   glonass_max_age_s};
        i = j;
    }
}

void NavData::merge(const NavData& other) {
    num_records += other.num_records;
    num_unused += other.num_unused;
    if (!leap_seconds) leap_seconds = other.leap_seconds;
    kepler.insert(kepler.end(), other.kepler.begin(), other.kepler.end());
    glonass.insert(glonass.end(), other.glonass.begin(), other.glonass.end());
    for (const util::Satellite& s : other.satellites)
        if (std::find(satellites.begin(), satellites.end(), s) == satellites.end()) satellites.push_back(s);
    build_index();
}

namespace {

// Damaged or absurd elements can overflow: no position rather than NaN.
std::optional<Ecef> finite(const Ecef& p) noexcept {
    if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) return p;
    return std::nullopt;
}

}  // namespace

std::optional<Ecef> NavData::position(const util::Satellite& sat, const util::Epoch& epoch) const noexcept {
    const auto it = index_.find(util::sort_key(sat));
    if (it == index_.end() || !std::isfinite(epoch.second)) return std::nullopt;
    const Span& s = it->second;
    const double t = gps_seconds(epoch);
    if (!std::isfinite(t)) return std::nullopt;
    if (s.glonass) {
        if (s.end > glonass.size()) return std::nullopt;
        const GlonassEphemeris* g = select(glonass.data() + s.begin, glonass.data() + s.end, t, s.max_age,
                                           [](const GlonassEphemeris&, double dt) { return std::fabs(dt) <= glonass_max_age_s; });
        if (!g) return std::nullopt;
        return finite(glonass_position(*g, t - g->toe));
    }
    if (s.end > kepler.size()) return std::nullopt;
    const KeplerEphemeris* k = select(kepler.data() + s.begin, kepler.data() + s.end, t, s.max_age,
                                      [](const KeplerEphemeris& r, double dt) { return dt >= -r.max_before && dt <= r.max_after; });
    if (!k) return std::nullopt;
    return finite(kepler_position(*k, t - k->toe));
}

std::optional<Ecef> BroadcastOrbit::position(const util::Satellite& sat, const util::Epoch& epoch) const noexcept {
    const std::uint64_t key = util::sort_key(sat);
    const double t = gps_seconds(epoch);
    if (!std::isfinite(t)) return std::nullopt;
    if (memo_.empty()) {
        try {
            memo_.resize(std::size_t{1} << memo_bits);
        } catch (const std::bad_alloc&) {
            return nav_.position(sat, epoch);
        }
    }
    std::uint64_t bits;
    std::memcpy(&bits, &t, sizeof bits);
    const std::uint64_t h = (bits ^ (key * 0x9E3779B97F4A7C15ull)) * 0xD6E8FEB86659FD93ull;
    Slot& slot = memo_[h >> (64 - memo_bits)];
    if (slot.sat != key || slot.t != t) {
        const auto p = nav_.position(sat, epoch);
        slot.sat = key;
        slot.t = t;
        slot.has_position = p.has_value();
        if (p) slot.position = *p;
    }
    if (!slot.has_position) return std::nullopt;
    return slot.position;
}

}  // namespace skarvo::nav
