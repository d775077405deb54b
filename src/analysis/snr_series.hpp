// Signal-to-noise series (observation kind S) of one satellite, read from
// the contiguous epoch records of a parsed observation file.
#pragma once

#include <optional>
#include <vector>

#include "rinex/types.hpp"

namespace skarvo::analysis {

/// The S-codes recorded for `sat` in any epoch (any value, zero included),
/// sorted by their text and without repeats.
std::vector<rinex::ObsCode> snr_codes(const rinex::RinexObsData& data, const rinex::Satellite& sat);

/// One S-code's series: Unix seconds of the epochs (file time scale, in
/// file order) and the SNR values in dB-Hz.
struct SnrSeriesData {
    rinex::ObsCode code;
    std::vector<double> times;
    std::vector<double> values;
};

/// The series of `sat`, one per S-code (only the code with the band and
/// attribute of `only` when given), keeping values greater than zero;
/// sorted by code text. A code without positive values has no series.
std::vector<SnrSeriesData> snr_series(const rinex::RinexObsData& data, const rinex::Satellite& sat,
                                      std::optional<rinex::ObsCode> only = std::nullopt);

}  // namespace skarvo::analysis
