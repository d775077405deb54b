// The estimates of a finished multipath run seen by elevation, as callers
// ask for them: kept above a mask (the analyzer's own by default) or
// binned, with the arguments checked.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/multipath.hpp"
#include "analysis/quality.hpp"
#include "utils/error.hpp"

namespace skarvo::analysis {

/// mask_by_elevation at `cutoff_deg`, or at the run's own mask when absent.
/// Fails (kind Other, a text for ValueError) for a NaN cutoff.
util::Result<MultipathRun> mask_at_cutoff(const MultipathRun& run, std::optional<double> cutoff_deg);

/// multipath_by_elevation of the run's estimates. Fails (kind Other, a text
/// for ValueError) for a bin width outside (0, 90] degrees.
util::Result<std::vector<std::pair<std::string, ElevationBins>>> run_by_elevation(const MultipathRun& run,
                                                                                  double bin_width_deg);

}  // namespace skarvo::analysis
