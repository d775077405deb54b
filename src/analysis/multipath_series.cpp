#include "analysis/multipath_series.hpp"

#include <cmath>

namespace skarvo::analysis {

using rinex::RinexObsData;

std::vector<MpSeries> fill_series(const RinexObsData& data, std::span<const std::uint32_t> epochs,
                                  const ObsIndex& index, std::span<const SignalPair> pairs) {
    std::vector<MpSeries> series(pairs.size());
    std::vector<std::vector<std::uint32_t>> pairs_of_sat(index.sat_count());
    for (std::uint32_t i = 0; i < pairs.size(); ++i) {
        pairs_of_sat[pairs[i].sat_index].push_back(i);
        const std::size_t n = index.count(pairs[i].sat_index, pairs[i].code_id);
        series[i].times_ms.reserve(n);
        series[i].values_m.reserve(n);
        series[i].snr.reserve(n);
        series[i].has_snr.reserve(n);
    }

    // Position of each code within the current satellite's observations,
    // valid where stamp equals the current tick.
    std::vector<std::uint32_t> where(index.code_count()), stamp(index.code_count(), 0);
    std::uint32_t tick = 0;
    for (const std::uint32_t e : epochs) {
        const rinex::EpochRecord& rec = data.epochs[e];
        const std::int64_t ms = util::unix_millis(rec.epoch);
        for (std::uint32_t p = rec.sat_begin; p < rec.sat_end; ++p) {
            const auto& mine = pairs_of_sat[index.sat_of(p)];
            if (mine.empty()) continue;
            ++tick;
            const rinex::SatObs& so = data.sat_obs[p];
            for (std::uint32_t q = so.begin; q < so.end; ++q) {
                const std::uint16_t c = index.code_of(q);
                if (stamp[c] != tick) {
                    stamp[c] = tick;
                    where[c] = q;
                }
            }
            for (const std::uint32_t i : mine) {
                const SignalPair& pair = pairs[i];
                if (stamp[pair.code_id] != tick || stamp[pair.phase1_id] != tick || stamp[pair.phase2_id] != tick)
                    continue;
                const double code_m = data.obs[where[pair.code_id]].value;
                const double l1 = data.obs[where[pair.phase1_id]].value;
                const double l2 = data.obs[where[pair.phase2_id]].value;
                const double k = 2.0 / (pair.alpha - 1.0);
                const double mp = code_m - (1.0 + k) * pair.wavelength1_m * l1 + k * pair.wavelength2_m * l2;
                // No bound on the size: receivers that start the phase near
                // zero leave a constant of 10^7 m or more, which the arc's
                // bias removal takes out; jumps split arcs instead.
                if (!std::isfinite(mp)) continue;
                MpSeries& out = series[i];
                out.times_ms.push_back(ms);
                out.values_m.push_back(mp);
                const bool has = pair.snr_id != no_code && stamp[pair.snr_id] == tick;
                out.snr.push_back(has ? data.obs[where[pair.snr_id]].value : 0.0);
                out.has_snr.push_back(has);
            }
        }
    }
    return series;
}

}  // namespace skarvo::analysis
