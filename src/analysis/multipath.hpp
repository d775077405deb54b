// Code-multipath analysis of one observation file: the driver and its result.
//
// A ten-line program:
//   auto config = analysis::make_multipath_config(data, {}).value();
//   auto run = analysis::run_multipath_analysis(config);
//   for (const auto& s : run.statistics) std::printf("%s %.4f\n", s.label.c_str(), s.rms);
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/multipath_arcs.hpp"
#include "analysis/multipath_config.hpp"
#include "analysis/multipath_slips.hpp"
#include "analysis/multipath_stats.hpp"

namespace skarvo::analysis {

/// Everything one analysis produces. Owns its data: independent of the
/// configuration and of the observation data once built.
struct MultipathRun {
    /// All estimates: signal labels in ascending byte order, within a label
    /// pair creation order (satellite order, then code order), then arc and
    /// time order.
    std::vector<MpEstimate> estimates;
    /// One entry per label whose pairs produced at least one MP point,
    /// sorted by label; each names its range of `estimates`.
    std::vector<SignalStats> statistics;
    /// Detector output; empty when detection is off.
    SlipResult slips;
    double interval_s = 0.0;
    /// The analyzer's elevation mask in degrees: the default of
    /// `mask_by_elevation`.
    double elevation_cutoff_deg = 10.0;
};

/// The whole analysis: thinning, sampling interval, slip detection, pairing,
/// MP series, arcs and bias removal, statistics. Missing or unusable data
/// only shrink the result. Slips are detected on the selected systems only;
/// arcs break at every slip of their pairs' phases, while the reported slips
/// (list, counts and `SignalStats::cycle_slips`) cover the phases that
/// `MultipathConfig::phase_selected` accepts. `SignalStats::cycle_slips` of
/// a label counts the distinct reported slips recorded on phase 1 or phase 2
/// of any of its pairs. Never fails: a configuration without data gives an
/// empty run.
MultipathRun run_multipath_analysis(const MultipathConfig& config);

/// A copy of `run` holding only the estimates whose elevation is a number at
/// or above `cutoff_deg` (in their order), with every statistics record
/// recomputed from them. A label left without estimates stays, with count 0.
/// Slips, slip counts per label, the interval and the analyzer's mask are
/// copied unchanged.
MultipathRun mask_by_elevation(const MultipathRun& run, double cutoff_deg);

}  // namespace skarvo::analysis
