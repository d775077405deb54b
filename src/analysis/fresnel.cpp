#include "analysis/fresnel.hpp"

#include <cmath>
#include <cstdint>
#include <unordered_set>

namespace skarvo::analysis {

FresnelZone fresnel_zone(double elevation_deg, double height_m, std::optional<double> wavelength) noexcept {
    const double wavelength_m = wavelength.value_or(default_fresnel_wavelength_m);
    const double e_deg = elevation_deg > 0.5 ? elevation_deg : 0.5;
    const double e = e_deg * 0.017453292519943295;
    const double s = std::sin(e);
    const double half = wavelength_m / (2.0 * s);
    const double b = std::sqrt(height_m * wavelength_m / s + half * half);
    return {b / s, b, height_m / std::tan(e)};
}

namespace {

/// floor(deg/10) as a cell index; values outside the integer range
/// (infinities, not-a-number) map to the extremes so that they still form
/// cells of their own.
std::int64_t cell_index(double deg) noexcept {
    const double c = std::floor(deg / 10.0);
    if (std::isnan(c)) return INT64_MIN;
    if (c >= 9.2e18) return INT64_MAX;
    if (c <= -9.2e18) return INT64_MIN + 1;
    return static_cast<std::int64_t>(c);
}

struct CellHash {
    std::size_t operator()(const std::pair<std::int64_t, std::int64_t>& c) const noexcept {
        const auto a = static_cast<std::uint64_t>(c.first), b = static_cast<std::uint64_t>(c.second);
        return std::hash<std::uint64_t>{}(a * 1000003u ^ b);
    }
};

}  // namespace

std::vector<FresnelFootprint> fresnel_map(std::span<const SkyTrack> tracks, double height_m,
                                          double min_elevation_deg, std::optional<double> wavelength) {
    const double wavelength_m = wavelength.value_or(default_fresnel_wavelength_m);
    std::vector<FresnelFootprint> out;
    std::unordered_set<std::pair<std::int64_t, std::int64_t>, CellHash> seen;
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        const SkyTrack& tr = tracks[k];
        seen.clear();
        const std::size_t count = std::min(tr.azimuth_deg.size(), tr.elevation_deg.size());
        for (std::size_t i = 0; i < count; ++i) {
            const double az = tr.azimuth_deg[i], el = tr.elevation_deg[i];
            if (el < min_elevation_deg) continue;  // not-a-number passes
            if (!seen.insert({cell_index(az), cell_index(el)}).second) continue;
            out.push_back({k, az, el, fresnel_zone(el, height_m, wavelength_m)});
        }
    }
    return out;
}

}  // namespace skarvo::analysis
