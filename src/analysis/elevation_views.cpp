#include "analysis/elevation_views.hpp"

#include <cmath>

namespace skarvo::analysis {

util::Result<MultipathRun> mask_at_cutoff(const MultipathRun& run, std::optional<double> cutoff_deg) {
    if (cutoff_deg && std::isnan(*cutoff_deg))
        return util::GnssError(util::ErrorKind::Other, "cutoff must be a number of degrees, not NaN");
    return mask_by_elevation(run, cutoff_deg.value_or(run.elevation_cutoff_deg));
}

util::Result<std::vector<std::pair<std::string, ElevationBins>>> run_by_elevation(const MultipathRun& run,
                                                                                  double bin_width_deg) {
    if (const auto bad = check_bin_width(bin_width_deg)) return util::GnssError(util::ErrorKind::Other, *bad);
    return multipath_by_elevation(run.estimates, run.statistics, bin_width_deg);
}

}  // namespace skarvo::analysis
