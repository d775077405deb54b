// Code-multipath analysis of one observation file: the driver and its result.
//
// A ten-line program:
//   auto config = analysis::make_multipath_config(data, {}).value();
//   auto run = analysis::run_multipath_analysis(config).value();
//   for (const auto& s : run.statistics) std::printf("%s %.4f\n", s.label.c_str(), s.rms);
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/multipath_arcs.hpp"
#include "analysis/multipath_config.hpp"
#include "analysis/multipath_pairing.hpp"
#include "analysis/multipath_slips.hpp"
#include "analysis/multipath_stats.hpp"
#include "utils/error.hpp"

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
};

/// The whole analysis: thinning, sampling interval, slip detection, pairing,
/// MP series, arcs and bias removal, statistics. Missing or unusable data
/// only shrink the result. `SignalStats::cycle_slips` of a label counts the
/// distinct slips recorded on phase 1 or phase 2 of any of its pairs.
util::Result<MultipathRun> run_multipath_analysis(const MultipathConfig& config);

}  // namespace skarvo::analysis
