// First Fresnel zone of a horizontal reflector below an antenna, and
// footprints of that zone along satellite tracks.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace skarvo::analysis {

/// GPS L1 wavelength in metres (speed of light / 1575.42 MHz).
inline constexpr double default_fresnel_wavelength_m = 0.19029367279836487;

struct FresnelZone {
    double a_m = 0.0;     // semi-major axis
    double b_m = 0.0;     // semi-minor axis
    double dist_m = 0.0;  // horizontal distance from the antenna to the specular point
};

/// The first Fresnel zone at elevation_deg (raised to at least 0.5 degrees;
/// not-a-number counts as 0.5) for an antenna height_m above the reflector,
/// at wavelength_m (absent: default_fresnel_wavelength_m).
FresnelZone fresnel_zone(double elevation_deg, double height_m, std::optional<double> wavelength_m = {}) noexcept;

/// One satellite track: azimuths and elevations in degrees, paired by index.
struct SkyTrack {
    std::string satellite;
    std::vector<double> azimuth_deg;
    std::vector<double> elevation_deg;
};

struct FresnelFootprint {
    std::size_t track = 0;  // index of the track in the input
    double az_deg = 0.0;
    double el_deg = 0.0;
    FresnelZone zone;
};

/// Footprints along the tracks: the first sample at or above
/// min_elevation_deg in each 10 x 10 degree azimuth/elevation cell, per
/// track, in track order then sample order. Wavelength as fresnel_zone.
std::vector<FresnelFootprint> fresnel_map(std::span<const SkyTrack> tracks, double height_m,
                                          double min_elevation_deg, std::optional<double> wavelength_m = {});

}  // namespace skarvo::analysis
