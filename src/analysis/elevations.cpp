#include "analysis/elevations.hpp"

#include <limits>

namespace skarvo::analysis {

void recompute_weighted_rms(std::span<const MpEstimate> estimates,
                            std::span<SignalStats> statistics) noexcept {
    for (SignalStats& st : statistics) {
        if (st.begin >= st.end || st.end > estimates.size()) continue;
        if (const auto w = weighted_rms(estimates.subspan(st.begin, st.end - st.begin))) st.weighted_rms = *w;
    }
}

void place_estimate(MpEstimate& e, const nav::Ecef& receiver, const std::optional<nav::Ecef>& position,
                    ElevationCounts& counts) noexcept {
    if (!position) {
        ++counts.failed;
        // Unknown is not 45 degrees: the placeholder would pass any mask
        // with full weight.
        if (!e.from_orbit) e.elevation_deg = e.azimuth_deg = std::numeric_limits<double>::quiet_NaN();
        return;
    }
    const auto [az, el] = nav::azimuth_elevation(receiver, *position);
    e.elevation_deg = el;
    e.azimuth_deg = az;
    e.from_orbit = true;
    if (el > 0.0) {
        ++counts.computed;
    } else {
        ++counts.failed;
    }
}

ElevationCounts fill_elevations(const nav::OrbitSource& orbit, const nav::Ecef& receiver, std::span<MpEstimate> estimates) {
    ElevationCounts n;
    for (MpEstimate& e : estimates) {
        const auto epoch = util::epoch_from_millis(e.epoch_ms);
        place_estimate(e, receiver, epoch ? orbit.position(e.sat, *epoch) : std::nullopt, n);
    }
    return n;
}

ElevationCounts attach_elevations(const nav::OrbitSource& orbit, const nav::Ecef& receiver, MultipathRun& run) {
    const ElevationCounts n = fill_elevations(orbit, receiver, run.estimates);
    if (n.computed > 0) recompute_weighted_rms(run.estimates, run.statistics);
    return n;
}

}  // namespace skarvo::analysis
