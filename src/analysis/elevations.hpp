// Elevations and azimuths of multipath estimates from an orbit (precise or
// broadcast), and the elevation-weighted RMS recomputed from them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "analysis/multipath.hpp"
#include "navigation/coordinates.hpp"
#include "navigation/orbit_source.hpp"

namespace skarvo::analysis {

struct ElevationCounts {
    std::uint64_t computed = 0;  ///< estimates that got an elevation above the horizon
    std::uint64_t failed = 0;    ///< estimates left unchanged
};

/// Records what an orbit gave for one estimate (`position`: the satellite at
/// the estimate's epoch, absent when the orbit cannot place it):
/// - above the receiver's horizon: elevation and azimuth written, computed;
/// - at or below it: elevation and azimuth written too (weight 0, below any
///   mask from 0 up), failed;
/// - no position: failed; an estimate that never had an orbit position gets
///   NaN elevation and azimuth instead of the placeholder, one placed by an
///   earlier orbit keeps its values.
void place_estimate(MpEstimate& e, const nav::Ecef& receiver, const std::optional<nav::Ecef>& position,
                    ElevationCounts& counts) noexcept;

/// Places every estimate (see `place_estimate`) from the orbit position of
/// its satellite at its epoch, as the estimate reports it (to the
/// millisecond). Only reads the orbit.
ElevationCounts fill_elevations(const nav::OrbitSource& orbit, const nav::Ecef& receiver,
                                std::span<MpEstimate> estimates);

/// Recomputes the weighted RMS of every statistics record from the current
/// elevations of its estimates (NaN weighs 0); a record whose weights sum to
/// zero keeps its value.
void recompute_weighted_rms(std::span<const MpEstimate> estimates, std::span<SignalStats> statistics) noexcept;

/// Places the estimates of `run` and, when any landed above the horizon,
/// recomputes its weighted RMS. Only reads the orbit.
ElevationCounts attach_elevations(const nav::OrbitSource& orbit, const nav::Ecef& receiver, MultipathRun& run);

}  // namespace skarvo::analysis
