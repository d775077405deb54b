// Signal-to-noise series (observation kind S) of one satellite, read from
// the contiguous epoch records of a parsed observation file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "rinex/types.hpp"

namespace skarvo::analysis {

/// One appearance of a satellite: indices into RinexObsData::epochs and
/// RinexObsData::sat_obs.
struct SatRecord {
    std::uint32_t epoch = 0;
    std::uint32_t sat_obs = 0;
};

/// The records of `sat`, in file order.
std::vector<SatRecord> satellite_records(const rinex::RinexObsData& data, const util::Satellite& sat);

/// The records of every satellite of `sats` (sorted by satellite order, no
/// repeats), in one pass over the file: element i belongs to sats[i].
std::vector<std::vector<SatRecord>> satellite_records(const rinex::RinexObsData& data,
                                                      std::span<const util::Satellite> sats);

/// The S-codes recorded for `sat` in any epoch (any value, zero included),
/// sorted by their text and without repeats.
std::vector<util::ObsCode> snr_codes(const rinex::RinexObsData& data, const util::Satellite& sat);
/// The same from the satellite's records.
std::vector<util::ObsCode> snr_codes(const rinex::RinexObsData& data, std::span<const SatRecord> records);

/// One S-code's series: Unix seconds of the epochs (file time scale, in
/// file order) and the SNR values in dB-Hz.
struct SnrSeriesData {
    util::ObsCode code;
    std::vector<double> times;
    std::vector<double> values;
};

/// The series of `sat`, one per S-code (only the code with the band and
/// attribute of `only` when given), keeping values greater than zero;
/// sorted by code text. A code without positive values has no series.
std::vector<SnrSeriesData> snr_series(const rinex::RinexObsData& data, const util::Satellite& sat,
                                      std::optional<util::ObsCode> only = std::nullopt);
/// The same from the satellite's records.
std::vector<SnrSeriesData> snr_series(const rinex::RinexObsData& data, std::span<const SatRecord> records,
                                      std::optional<util::ObsCode> only = std::nullopt);

}  // namespace skarvo::analysis
