#include "navigation/coordinates.hpp"

#include <cmath>

namespace skarvo::nav {

namespace {

// Latitude and longitude in radians by the closed form (Bowring's single
// step): exact on the equator, better than 1e-10 rad for heights up to
// geostationary orbit.
void lat_lon_rad(const Ecef& q, double& p, double& lat, double& lon) noexcept {
    p = std::sqrt(q.x * q.x + q.y * q.y);
    lon = std::atan2(q.y, q.x);
    const double theta = std::atan2(q.z * wgs84::a, p * wgs84::b);
    const double s = std::sin(theta);
    const double c = std::cos(theta);
    lat = std::atan2(q.z + wgs84::ep2_b * s * s * s, p - wgs84::e2_a * c * c * c);
}

}  // namespace

Geodetic ecef_to_geodetic(const Ecef& q) noexcept {
    double p, lat, lon;
    lat_lon_rad(q, p, lat, lon);
    const double s = std::sin(lat);
    const double c = std::cos(lat);
    const double w = std::sqrt(1.0 - wgs84::e2 * s * s);
    // p / cos(lat) loses all accuracy as cos(lat) goes to zero (on the polar
    // axis it gives -N instead of the height). Within about 600 m of the
    // axis the equivalent p cos(lat) + z sin(lat) - a^2 / N is used; the two
    // agree to some micrometres where they meet.
    const double h = std::fabs(c) >= 1e-4 ? p / c - wgs84::a / w : p * c + q.z * s - wgs84::a * w;
    return {lat * rad_to_deg, lon * rad_to_deg, h};
}

Ecef geodetic_to_ecef(const Geodetic& g) noexcept {
    const double lat = g.lat * deg_to_rad;
    const double lon = g.lon * deg_to_rad;
    const double s = std::sin(lat);
    const double n = wgs84::a / std::sqrt(1.0 - wgs84::e2 * s * s);
    const double r = (n + g.height) * std::cos(lat);
    return {r * std::cos(lon), r * std::sin(lon), (n * wgs84::one_minus_e2 + g.height) * s};
}

std::pair<double, double> azimuth_elevation(const Ecef& receiver, const Ecef& satellite) noexcept {
    double p, lat, lon;
    lat_lon_rad(receiver, p, lat, lon);
    // Through degrees and back, so that the frame is the one of the
    // receiver's geodetic coordinates as reported.
    lat = (lat * rad_to_deg) * deg_to_rad;
    lon = (lon * rad_to_deg) * deg_to_rad;

    const double dx = satellite.x - receiver.x;
    const double dy = satellite.y - receiver.y;
    const double dz = satellite.z - receiver.z;
    const double sl = std::sin(lat), cl = std::cos(lat);
    const double so = std::sin(lon), co = std::cos(lon);

    const double east = -so * dx + co * dy;
    const double north = -sl * co * dx - sl * so * dy + cl * dz;
    const double up = cl * co * dx + cl * so * dy + sl * dz;

    double azimuth = std::atan2(east, north) * rad_to_deg;
    if (azimuth < 0.0) azimuth += 360.0;
    // atan2 can return a tiny negative angle that rounds to exactly 360
    // after the shift; azimuths stay in [0, 360).
    if (azimuth >= 360.0) azimuth = 0.0;
    azimuth += 0.0;  // -0.0 (from atan2 of a negative zero) becomes 0.0

    const double horizontal = std::sqrt(east * east + north * north);
    const double r2 = up * up + horizontal * horizontal;
    double elevation = 0.0;
    if (r2 > 0.0) elevation = std::asin(up / std::sqrt(r2)) * rad_to_deg;
    else if (std::isnan(r2)) elevation = r2;
    return {azimuth, elevation};
}

double magnitude(const Ecef& p) noexcept { return std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z); }

double distance(const Ecef& a, const Ecef& b) noexcept {
    const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

}  // namespace skarvo::nav
