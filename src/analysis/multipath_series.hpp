// The raw code-multipath series of each pair of signals.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/multipath_pairing.hpp"
#include "analysis/obs_index.hpp"
#include "rinex/types.hpp"

namespace skarvo::analysis {

/// Raw MP series of one pair, in epoch order.
struct MpSeries {
    std::vector<std::int64_t> times_ms;  ///< unix_millis of each point
    std::vector<double> values_m;
    std::vector<double> snr;             ///< dB-Hz; meaningful where has_snr
    std::vector<std::uint8_t> has_snr;
};

/// Fills one series per pair (same order as `pairs`). A point needs the code
/// and both phases at the epoch and a finite MP (of any size: raw phase
/// offsets are a constant of the arc).
std::vector<MpSeries> fill_series(const rinex::RinexObsData& data, std::span<const std::uint32_t> epochs,
                                  const ObsIndex& index, std::span<const SignalPair> pairs);

}  // namespace skarvo::analysis
