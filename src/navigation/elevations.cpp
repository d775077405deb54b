#include "navigation/elevations.hpp"

#include <limits>

#include "navigation/sp3.hpp"
#include "rinex/types.hpp"

namespace skarvo::nav {

std::optional<util::Epoch> epoch_from_millis(std::int64_t ms) noexcept {
    std::int64_t secs = ms / 1000, rem = ms % 1000;
    if (rem < 0) {
        rem += 1000;
        secs -= 1;
    }
    std::int64_t days = secs / 86400, sod = secs % 86400;
    if (sod < 0) {
        sod += 86400;
        days -= 1;
    }
    std::int64_t year;
    unsigned month, day;
    util::civil_from_days(days, year, month, day);
    if (year < 0 || year > INT32_MAX) return std::nullopt;
    util::Epoch e;
    e.year = static_cast<std::int32_t>(year);
    e.month = month;
    e.day = day;
    e.hour = static_cast<std::uint32_t>(sod / 3600);
    e.minute = static_cast<std::uint32_t>(sod / 60 % 60);
    // Whole milliseconds over 1000: the correctly rounded value of the
    // seconds written in the ISO text.
    e.second = static_cast<double>(sod % 60 * 1000 + rem) / 1000.0;
    return e;
}

void recompute_weighted_rms(std::span<const analysis::MpEstimate> estimates,
                            std::span<analysis::SignalStats> statistics) noexcept {
    for (analysis::SignalStats& st : statistics) {
        if (st.begin >= st.end || st.end > estimates.size()) continue;
        if (const auto w = analysis::weighted_rms(estimates.subspan(st.begin, st.end - st.begin))) st.weighted_rms = *w;
    }
}

std::optional<Ecef> Sp3Orbit::position(const rinex::Satellite& sat, const util::Epoch& epoch) const noexcept {
    return interpolate_position(sp3_, sat, epoch);
}

std::optional<double> compute_elevation(const OrbitSource& orbit, const Ecef& receiver, std::string_view satellite,
                                        const util::Epoch& epoch) {
    const auto sat = rinex::parse_satellite(satellite);
    if (!sat) return std::nullopt;
    const auto pos = orbit.position(*sat, epoch);
    if (!pos) return std::nullopt;
    return azimuth_elevation(receiver, *pos).second;
}

void place_estimate(analysis::MpEstimate& e, const Ecef& receiver, const std::optional<Ecef>& position,
                    ElevationCounts& counts) noexcept {
    if (!position) {
        ++counts.failed;
        // Unknown is not 45 degrees: the placeholder would pass any mask
        // with full weight.
        if (!e.from_orbit) e.elevation_deg = e.azimuth_deg = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    const auto [az, el] = azimuth_elevation(receiver, *position);
    e.elevation_deg = el;
    e.azimuth_deg = az;
    e.from_orbit = true;
    if (el > 0.0) {
        ++counts.computed;
    } else {
        ++counts.failed;
    }
}

ElevationCounts fill_elevations(const OrbitSource& orbit, const Ecef& receiver, std::span<analysis::MpEstimate> estimates) {
    ElevationCounts n;
    for (analysis::MpEstimate& e : estimates) {
        const auto epoch = epoch_from_millis(e.epoch_ms);
        place_estimate(e, receiver, epoch ? orbit.position(e.sat, *epoch) : std::nullopt, n);
    }
    return n;
}

std::optional<std::pair<double, double>> sky_direction(const Sp3Data& sp3, const Ecef& receiver,
                                                       const rinex::Satellite& sat, const util::Epoch& epoch) {
    const Sp3Track* track = sp3.track(sat);
    if (!track || track->size() < 2) return std::nullopt;
    if (track->time_ordered) {
        const double off = util::unix_seconds(epoch) - util::unix_seconds(track->reference);
        const double first = track->t_s.front(), last = track->t_s.back();
        const double step = (last - first) / static_cast<double>(track->size() - 1);
        if (!(off >= first - step && off <= last + step)) return std::nullopt;
    }
    const auto pos = interpolate_position(sp3, sat, epoch);
    if (!pos) return std::nullopt;
    return azimuth_elevation(receiver, *pos);
}

}  // namespace skarvo::nav
