// Columnar views of a multipath run: the estimates as one row each, and the
// per-signal statistics and cycle slips as small tables. As for the
// observation table, the caller owns the large buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analysis/multipath_arcs.hpp"
#include "analysis/multipath_slips.hpp"
#include "analysis/multipath_stats.hpp"

namespace skarvo::analysis {

/// Lookup tables of the estimate table.
struct EstimateTableLayout {
    std::vector<util::Satellite> satellites;  ///< distinct satellites, satellite order
    std::vector<util::ObsCode> signals;       ///< distinct codes, sorted by text
};

/// Output buffers, one value per estimate.
struct EstimateColumns {
    std::int32_t* satellite;  ///< index into EstimateTableLayout::satellites
    char32_t* system;         ///< system letter (G R E C J S I M)
    std::int64_t* time_ms;    ///< unix_millis of the epoch
    std::int16_t* signal;     ///< index into EstimateTableLayout::signals
    double* mp_m;
    double* elevation_deg;    ///< as stored (45.0 placeholder until elevations are computed)
    double* azimuth_deg;
    double* snr_dbhz;         ///< NaN when the pair has no strength observation
};

EstimateTableLayout estimate_table_layout(std::span<const MpEstimate> estimates);

/// Fills one row per estimate, in the order of `estimates`.
void fill_estimate_table(std::span<const MpEstimate> estimates, const EstimateTableLayout& layout,
                         const EstimateColumns& out);

/// Per-signal statistics as columns, in the order given.
struct StatsTable {
    std::vector<std::string> signal, system, code;
    std::vector<std::int64_t> count, cycle_slips;
    std::vector<double> rms, mean, std_dev, min, max, weighted_rms;
};

StatsTable stats_table(std::span<const SignalStats> stats);

/// Cycle slips as columns, in the order given.
struct SlipTable {
    std::vector<std::string> satellite, system, method, signal;
    std::vector<std::int64_t> time_ms;
    std::vector<double> magnitude, threshold;
};

SlipTable slip_table(std::span<const SlipRecord> slips);

}  // namespace skarvo::analysis
