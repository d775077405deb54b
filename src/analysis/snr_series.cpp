#include "analysis/snr_series.hpp"

#include <algorithm>

namespace skarvo::analysis {

using rinex::ObsCode;
using rinex::ObsKind;

namespace {

/// The observations of `sat` in epoch `e`, or null when it is not there.
const rinex::SatObs* find_satellite(const rinex::RinexObsData& data, const rinex::EpochRecord& e,
                                    const rinex::Satellite& sat) noexcept {
    for (const rinex::SatObs& s : data.satellites_at(e))
        if (s.sat == sat) return &s;
    return nullptr;
}

}  // namespace

std::vector<ObsCode> snr_codes(const rinex::RinexObsData& data, const rinex::Satellite& sat) {
    std::vector<ObsCode> codes;
    for (const rinex::EpochRecord& e : data.epochs) {
        const rinex::SatObs* s = find_satellite(data, e, sat);
        if (!s) continue;
        for (const rinex::ObsEntry& o : data.observations(*s)) {
            if (o.code.kind != ObsKind::Snr) continue;
            if (std::find(codes.begin(), codes.end(), o.code) == codes.end()) codes.push_back(o.code);
        }
    }
    std::sort(codes.begin(), codes.end(), rinex::code_text_less);
    return codes;
}

std::vector<SnrSeriesData> snr_series(const rinex::RinexObsData& data, const rinex::Satellite& sat,
                                      std::optional<ObsCode> only) {
    std::vector<SnrSeriesData> series;
    for (const rinex::EpochRecord& e : data.epochs) {
        const rinex::SatObs* s = find_satellite(data, e, sat);
        if (!s) continue;
        bool have_time = false;
        double t = 0.0;
        for (const rinex::ObsEntry& o : data.observations(*s)) {
            if (o.code.kind != ObsKind::Snr) continue;
            if (only && (o.code.band != only->band || o.code.attribute != only->attribute)) continue;
            if (!(o.value > 0.0)) continue;
            if (!have_time) {
                t = util::unix_seconds(e.epoch);
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
              [](const SnrSeriesData& a, const SnrSeriesData& b) { return rinex::code_text_less(a.code, b.code); });
    return series;
}

}  // namespace skarvo::analysis
