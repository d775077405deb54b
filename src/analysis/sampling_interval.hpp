// The sampling interval of an observation file, as the analyses see it.
#pragma once

#include <cstdint>
#include <span>

#include "rinex/types.hpp"

namespace skarvo::analysis {

/// Sampling interval in seconds: the upper median of the steps between the
/// first min(N, 101) epochs (steps of 1e-6 s or less ignored), else the
/// header interval, else 30.0; never below 0.001.
double sampling_interval(const rinex::RinexObsData& data, std::span<const std::uint32_t> epochs);

}  // namespace skarvo::analysis
