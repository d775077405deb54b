// ECEF and geodetic positions on WGS84, and topocentric azimuth/elevation.
#pragma once

namespace skarvo::nav {

/// Earth-centred, Earth-fixed Cartesian position, metres.
struct Ecef {
    double x = 0.0, y = 0.0, z = 0.0;
};

/// WGS84 latitude and longitude in degrees, ellipsoidal height in metres.
struct Geodetic {
    double lat = 0.0, lon = 0.0, height = 0.0;
};

}  // namespace skarvo::nav
