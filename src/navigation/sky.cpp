#include "navigation/sky.hpp"

#include "navigation/sp3.hpp"

namespace skarvo::nav {

std::optional<double> compute_elevation(const OrbitSource& orbit, const Ecef& receiver, std::string_view satellite,
                                        const util::Epoch& epoch) {
    const auto sat = util::parse_satellite(satellite);
    if (!sat) return std::nullopt;
    const auto pos = orbit.position(*sat, epoch);
    if (!pos) return std::nullopt;
    return azimuth_elevation(receiver, *pos).second;
}

std::optional<std::pair<double, double>> sky_direction(const Sp3Data& sp3, const Ecef& receiver,
                                                       const util::Satellite& sat, const util::Epoch& epoch) {
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
