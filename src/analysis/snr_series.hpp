// Signal-to-noise series (observation kind S) of one satellite, read from
// the contiguous epoch records of a parsed observation file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rinex/types.hpp"
#include "utils/error.hpp"

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

/// The satellite an identifier such as "G05" names. Fails (kind Other, a
/// text for ValueError) when it names none.
util::Result<util::Satellite> satellite_named(const std::string& text);

/// snr_codes of the satellite `satellite` names; fails as satellite_named.
util::Result<std::vector<util::ObsCode>> snr_codes_named(const rinex::RinexObsData& data,
                                                         const std::string& satellite);

struct NamedSnrSeries {
    util::Satellite satellite;
    std::vector<SnrSeriesData> series;
};

/// snr_series of the satellite `satellite` names, for every S-code or only
/// `code` (its text in any case). Fails (kind Other, a text for ValueError)
/// as satellite_named, then for a code that is not an S-code.
util::Result<NamedSnrSeries> snr_series_named(const rinex::RinexObsData& data, const std::string& satellite,
                                              const std::optional<std::string>& code);

}  // namespace skarvo::analysis
