// Arc segmentation of a raw MP series and removal of each arc's bias.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/multipath_pairing.hpp"
#include "analysis/multipath_series.hpp"
#include "rinex/types.hpp"

namespace skarvo::analysis {

/// One bias-corrected multipath value of one satellite, code and epoch.
struct MpEstimate {
    util::Satellite sat;
    util::ObsCode code;
    bool has_snr = false;
    bool from_orbit = false;     ///< elevation and azimuth come from an orbit position
    std::int64_t epoch_ms = 0;   ///< unix_millis of the epoch
    double mp_value_m = 0.0;
    /// Placeholder until elevations are computed; NaN when the orbit could
    /// not place the satellite.
    double elevation_deg = 45.0;
    double azimuth_deg = 0.0;
    double snr = 0.0;            ///< dB-Hz, meaningful when has_snr
};

struct ArcSettings {
    double arc_gap_factor = 5.0;
    double min_arc_s = 300.0;
    std::optional<double> bias_window_s = 1500.0;
    double elevation_cutoff_deg = 10.0;
    double jump_threshold_m = 10.0;
};

/// Placeholder elevation given to every estimate of an analysis.
inline constexpr double placeholder_elevation_deg = 45.0;

/// Cuts `series` into arcs at gaps longer than the maximum gap, at MP jumps
/// above the jump threshold and at `slip_times_ms` (sorted unix_millis of
/// slips on either phase of the pair), drops arcs of fewer than 10 points or
/// shorter than the minimum length, removes each arc's bias (centred moving
/// mean when the window is shorter than the arc, else the arc mean) and
/// appends one estimate per kept point, in arc and time order.
void build_arcs_and_estimates(const MpSeries& series, const SignalPair& pair, const ArcSettings& settings,
                              double interval_s, std::span<const std::int64_t> slip_times_ms,
                              std::vector<MpEstimate>& out);

}  // namespace skarvo::analysis
