// Where a satellite stands in a receiver's sky, from an orbit.
#pragma once

#include <optional>
#include <string_view>
#include <utility>

#include "navigation/coordinates.hpp"
#include "navigation/orbit_source.hpp"
#include "utils/identifiers.hpp"
#include "utils/time.hpp"

namespace skarvo::nav {

struct Sp3Data;

/// Elevation in degrees of the satellite named by `satellite` (identifier
/// text) at `epoch`, seen from `receiver`; negative below the horizon.
/// Absent when the text names no satellite or the orbit gives no position.
std::optional<double> compute_elevation(const OrbitSource& orbit, const Ecef& receiver, std::string_view satellite,
                                        const util::Epoch& epoch);

/// Azimuth and elevation in degrees of `sat` at `epoch` seen from
/// `receiver`, or absent when the orbit has no position or the epoch lies
/// more than one node spacing outside the satellite's orbit records (where
/// interpolation turns into extrapolation of a degree-8 polynomial). Only
/// reads `sp3`; safe without the GIL.
std::optional<std::pair<double, double>> sky_direction(const Sp3Data& sp3, const Ecef& receiver,
                                                       const util::Satellite& sat, const util::Epoch& epoch);

}  // namespace skarvo::nav
