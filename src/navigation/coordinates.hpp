// ECEF and geodetic positions on WGS84, and topocentric azimuth/elevation.
#pragma once

#include <utility>

namespace skarvo::nav {

/// Earth-centred, Earth-fixed Cartesian position, metres.
struct Ecef {
    double x = 0.0, y = 0.0, z = 0.0;
};

/// WGS84 latitude and longitude in degrees, ellipsoidal height in metres.
struct Geodetic {
    double lat = 0.0, lon = 0.0, height = 0.0;
};

// WGS84 ellipsoid. The values are fixed to the last digit so that results
// are reproducible bit for bit; e2_a is one unit in the last place above
// (a^2 - b^2) / a as computed from a and b.
namespace wgs84 {
inline constexpr double a = 6378137.0;                   // semi-major axis, m
inline constexpr double b = 6356752.314245179;           // semi-minor axis, m
inline constexpr double e2 = 0.0066943799901413165;      // first eccentricity squared
inline constexpr double one_minus_e2 = 0.9933056200098587;
inline constexpr double ep2_b = 42841.31151331357;       // (a^2 - b^2) / b, m
inline constexpr double e2_a = 42697.67270717997;        // (a^2 - b^2) / a, m
}  // namespace wgs84

inline constexpr double deg_to_rad = 0.017453292519943295;
inline constexpr double rad_to_deg = 57.29577951308232;

/// Geodetic latitude/longitude (degrees, lon in (-180, 180]) and height (m)
/// by the one-step closed form (no iteration). The height stays accurate on
/// and near the polar axis; the geocentre itself has no meaningful result.
Geodetic ecef_to_geodetic(const Ecef& p) noexcept;

/// ECEF metres of a geodetic position (degrees, metres).
Ecef geodetic_to_ecef(const Geodetic& g) noexcept;

/// (azimuth degrees in [0,360), elevation degrees) of `satellite` seen from
/// `receiver`, in the receiver's local east-north-up frame on WGS84.
/// Azimuth is clockwise from north; coincident points give (0, 0). NaN
/// coordinates give NaN.
std::pair<double, double> azimuth_elevation(const Ecef& receiver, const Ecef& satellite) noexcept;

/// Euclidean norm of the position vector, metres.
double magnitude(const Ecef& p) noexcept;
/// Euclidean distance between two positions, metres.
double distance(const Ecef& a, const Ecef& b) noexcept;

}  // namespace skarvo::nav
