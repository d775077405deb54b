// Questions answered from a parsed observation file: its satellites, the
// codes present per system, and the sampling interval.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "rinex/types.hpp"

namespace skarvo::rinex {

/// Every satellite with an entry in any epoch, once, in satellite order
/// (system letters C E G I J M R S, then PRN).
std::vector<Satellite> distinct_satellites(const RinexObsData& data);

/// Number of distinct satellites per system, for the systems that have any,
/// in the order of the system letters.
std::vector<std::pair<GnssSystem, std::size_t>> satellites_by_system(const RinexObsData& data);

/// The system a caller names by the first character of `text` (ASCII lower
/// case accepted); GPS when `text` is empty or that character names none.
GnssSystem system_or_gps(std::string_view text) noexcept;

/// The codes stored for satellites of `system` in any epoch, each once,
/// sorted by their text (C1C, C2W, D1C, L1C, ...).
std::vector<ObsCode> observation_types(const RinexObsData& data, GnssSystem system);

/// Seconds between the first two epoch records, computed exactly from the
/// calendar fields (30-s data gives 30.0); with fewer than two records, the
/// header's INTERVAL, or absent.
std::optional<double> sampling_interval(const RinexObsData& data) noexcept;

/// The interval a file declares: the header's INTERVAL, else the step
/// between its first two epoch records, else absent.
std::optional<double> nominal_interval(const RinexObsData& data) noexcept;

}  // namespace skarvo::rinex
