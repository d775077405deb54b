// Elevations and azimuths of multipath estimates from an orbit (precise or
// broadcast), and the elevation-weighted RMS recomputed from them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "analysis/multipath.hpp"
#include "navigation/coordinates.hpp"
#include "navigation/orbit_source.hpp"
#include "utils/time.hpp"

namespace skarvo::nav {

struct Sp3Data;

struct ElevationCounts {
    std::uint64_t computed = 0;  ///< estimates that got an elevation above the horizon
    std::uint64_t failed = 0;    ///< estimates left unchanged
};

/// Elevation in degrees of the satellite named by `satellite` (identifier
/// text) at `epoch`, seen from `receiver`; negative below the horizon.
/// Absent when the text names no satellite or the orbit gives no position.
std::optional<double> compute_elevation(const OrbitSource& orbit, const Ecef& receiver, std::string_view satellite,
                                        const util::Epoch& epoch);

/// Records what an orbit gave for one estimate (`position`: the satellite at
/// the estimate's epoch, absent when the orbit cannot place it):
/// - above the receiver's horizon: elevation and azimuth written, computed;
/// - at or below it: elevation and azimuth written too (weight 0, below any
///   mask from 0 up), failed;
/// - no position: failed; an estimate that never had an orbit position gets
///   NaN elevation and azimuth instead of the placeholder, one placed by an
///   earlier orbit keeps its values.
void place_estimate(analysis::MpEstimate& e, const Ecef& receiver, const std::optional<Ecef>& position,
                    ElevationCounts& counts) noexcept;

/// Places every estimate (see `place_estimate`) from the orbit position of
/// its satellite at its epoch, as the estimate reports it (to the
/// millisecond). Only reads the orbit; safe without the GIL.
ElevationCounts fill_elevations(const OrbitSource& orbit, const Ecef& receiver, std::span<analysis::MpEstimate> estimates);

/// Azimuth and elevation in degrees of `sat` at `epoch` seen from
/// `receiver`, or absent when the orbit has no position or the epoch lies
/// more than one node spacing outside the satellite's orbit records (where
/// interpolation turns into extrapolation of a degree-8 polynomial). Only
/// reads `sp3`; safe without the GIL.
std::optional<std::pair<double, double>> sky_direction(const Sp3Data& sp3, const Ecef& receiver,
                                                       const rinex::Satellite& sat, const util::Epoch& epoch);

/// Recomputes the weighted RMS of every statistics record from the current
/// elevations of its estimates (NaN weighs 0); a record whose weights sum to
/// zero keeps its value.
void recompute_weighted_rms(std::span<const analysis::MpEstimate> estimates,
                            std::span<analysis::SignalStats> statistics) noexcept;

/// The epoch an estimate reports (its ISO text read back): unix milliseconds
/// as calendar fields. Absent before year 0, which the ISO text cannot carry
/// in a form that reads back.
std::optional<util::Epoch> epoch_from_millis(std::int64_t ms) noexcept;

}  // namespace skarvo::nav
