#include "analysis/snr_series.hpp"

#include <algorithm>

#include "utils/text.hpp"

namespace skarvo::analysis {

using util::ObsCode;
using util::ObsKind;

std::vector<SatRecord> satellite_records(const rinex::RinexObsData& data, const util::Satellite& sat) {
    std::vector<SatRecord> out;
    for (std::size_t e = 0; e < data.epochs.size(); ++e) {
        const rinex::EpochRecord& rec = data.epochs[e];
        // Each satellite appears at most once per epoch.
        for (std::uint32_t i = rec.sat_begin; i < rec.sat_end; ++i) {
            if (data.sat_obs[i].sat == sat) {
                out.push_back({static_cast<std::uint32_t>(e), i});
                break;
            }
        }
    }
    return out;
}

std::vector<std::vector<SatRecord>> satellite_records(const rinex::RinexObsData& data,
                                                      std::span<const util::Satellite> sats) {
    std::vector<std::vector<SatRecord>> out(sats.size());
    if (sats.empty()) return out;
    for (std::size_t e = 0; e < data.epochs.size(); ++e) {
        const rinex::EpochRecord& rec = data.epochs[e];
        for (std::uint32_t i = rec.sat_begin; i < rec.sat_end; ++i) {
            const util::Satellite& s = data.sat_obs[i].sat;
            const auto it = std::lower_bound(sats.begin(), sats.end(), s, util::satellite_less);
            if (it != sats.end() && *it == s)
                out[static_cast<std::size_t>(it - sats.begin())].push_back({static_cast<std::uint32_t>(e), i});
        }
    }
    return out;
}

std::vector<ObsCode> snr_codes(const rinex::RinexObsData& data, std::span<const SatRecord> records) {
    std::vector<ObsCode> codes;
    for (const SatRecord& r : records) {
        for (const rinex::ObsEntry& o : data.observations(data.sat_obs[r.sat_obs])) {
            if (o.code.kind != ObsKind::Snr) continue;
            if (std::find(codes.begin(), codes.end(), o.code) == codes.end()) codes.push_back(o.code);
        }
    }
    std::sort(codes.begin(), codes.end(), util::code_text_less);
    return codes;
}

std::vector<ObsCode> snr_codes(const rinex::RinexObsData& data, const util::Satellite& sat) {
    return snr_codes(data, satellite_records(data, sat));
}

std::vector<SnrSeriesData> snr_series(const rinex::RinexObsData& data, std::span<const SatRecord> records,
                                      std::optional<ObsCode> only) {
    std::vector<SnrSeriesData> series;
    for (const SatRecord& r : records) {
        bool have_time = false;
        double t = 0.0;
        for (const rinex::ObsEntry& o : data.observations(data.sat_obs[r.sat_obs])) {
            if (o.code.kind != ObsKind::Snr) continue;
            if (only && (o.code.band != only->band || o.code.attribute != only->attribute)) continue;
            // Not-a-number is no measurement either.
            if (!(o.value > 0.0)) continue;
            if (!have_time) {
                t = util::unix_seconds(data.epochs[r.epoch].epoch);
                have_time = true;
            }
            auto it = std::find_if(series.begin(), series.end(), [&](const SnrSeriesData& d) { return d.code == o.code; });
            if (it == series.end()) {
                series.push_back({o.code, {}, {}});
                it = series.end() - 1;
            }
            it->times.push_back(t);
            it->values.push_back(o.value);
        }
    }
    std::sort(series.begin(), series.end(),
              [](const SnrSeriesData& a, const SnrSeriesData& b) { return util::code_text_less(a.code, b.code); });
    return series;
}

std::vector<SnrSeriesData> snr_series(const rinex::RinexObsData& data, const util::Satellite& sat,
                                      std::optional<ObsCode> only) {
    return snr_series(data, satellite_records(data, sat), only);
}

util::Result<util::Satellite> satellite_named(const std::string& text) {
    const auto sat = util::parse_satellite(text);
    if (!sat) return util::GnssError(util::ErrorKind::Other, "Invalid satellite id '" + text + "'");
    return *sat;
}

util::Result<std::vector<util::ObsCode>> snr_codes_named(const rinex::RinexObsData& data,
                                                         const std::string& satellite) {
    auto sat = satellite_named(satellite);
    if (!sat) return std::move(sat).error();
    return snr_codes(data, sat.value());
}

util::Result<NamedSnrSeries> snr_series_named(const rinex::RinexObsData& data, const std::string& satellite,
                                              const std::optional<std::string>& code) {
    auto sat = satellite_named(satellite);
    if (!sat) return std::move(sat).error();
    std::optional<util::ObsCode> only;
    if (code) {
        only = util::parse_obs_code(util::ascii_upper(*code));
        if (!only || only->kind != util::ObsKind::Snr)
            return util::GnssError(util::ErrorKind::Other, "'" + *code + "' is not an S-code");
    }
    return NamedSnrSeries{sat.value(), snr_series(data, sat.value(), only)};
}

}  // namespace skarvo::analysis
