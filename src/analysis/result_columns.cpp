#include "analysis/result_columns.hpp"

#include <algorithm>
#include <limits>

#include "utils/pool.hpp"

namespace skarvo::analysis {
namespace {

std::uint32_t code_key(const util::ObsCode& c) noexcept { return util::text_key(c); }

}  // namespace

EstimateTableLayout estimate_table_layout(std::span<const MpEstimate> estimates) {
    EstimateTableLayout layout;
    // Estimates come grouped by signal and satellite: compare with the
    // previous row before collecting.
    for (const MpEstimate& e : estimates) {
        if (layout.satellites.empty() || !(layout.satellites.back() == e.sat)) layout.satellites.push_back(e.sat);
        if (layout.signals.empty() || !(layout.signals.back() == e.code)) layout.signals.push_back(e.code);
    }
    std::sort(layout.satellites.begin(), layout.satellites.end(), util::satellite_less);
    layout.satellites.erase(std::unique(layout.satellites.begin(), layout.satellites.end()), layout.satellites.end());
    std::sort(layout.signals.begin(), layout.signals.end(), util::code_text_less);
    layout.signals.erase(std::unique(layout.signals.begin(), layout.signals.end()), layout.signals.end());
    return layout;
}

void fill_estimate_table(std::span<const MpEstimate> estimates, const EstimateTableLayout& layout,
                         const EstimateColumns& out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto code_less = [](const util::ObsCode& a, const util::ObsCode& b) { return code_key(a) < code_key(b); };
    const std::size_t n = estimates.size();
    const std::size_t chunks = std::min<std::size_t>(n / 16384 + 1, 32);
    util::parallel_for(chunks, [&](std::size_t c) {
        // Satellite and signal change rarely from one estimate to the next:
        // search only when they do.
        std::int32_t sat = -1;
        std::int16_t sig = -1;
        for (std::size_t i = c * n / chunks; i < (c + 1) * n / chunks; ++i) {
            const MpEstimate& e = estimates[i];
            if (sat < 0 || !(layout.satellites[static_cast<std::size_t>(sat)] == e.sat)) {
                const auto pos = std::lower_bound(layout.satellites.begin(), layout.satellites.end(), e.sat,
                                                  util::satellite_less);
                sat = static_cast<std::int32_t>(pos - layout.satellites.begin());
            }
            if (sig < 0 || !(layout.signals[static_cast<std::size_t>(sig)] == e.code)) {
                const auto pos = std::lower_bound(layout.signals.begin(), layout.signals.end(), e.code, code_less);
                sig = static_cast<std::int16_t>(pos - layout.signals.begin());
            }
            out.satellite[i] = sat;
            out.system[i] = static_cast<char32_t>(util::system_letter(e.sat.system));
            out.time_ms[i] = e.epoch_ms;
            out.signal[i] = sig;
            out.mp_m[i] = e.mp_value_m;
            out.elevation_deg[i] = e.elevation_deg;
            out.azimuth_deg[i] = e.azimuth_deg;
            out.snr_dbhz[i] = e.has_snr ? e.snr : nan;
        }
    });
}

StatsTable stats_table(std::span<const SignalStats> stats) {
    StatsTable t;
    for (const SignalStats& s : stats) {
        t.signal.push_back(s.label);
        t.system.push_back(s.system ? std::string(1, util::system_letter(*s.system)) : std::string());
        t.code.push_back(s.count ? s.code.text() : std::string());
        t.count.push_back(static_cast<std::int64_t>(s.count));
        t.cycle_slips.push_back(static_cast<std::int64_t>(s.cycle_slips));
        t.rms.push_back(s.rms);
        t.mean.push_back(s.mean);
        t.std_dev.push_back(s.std_dev);
        t.min.push_back(s.min);
        t.max.push_back(s.max);
        t.weighted_rms.push_back(s.weighted_rms);
    }
    return t;
}

SlipTable slip_table(std::span<const SlipRecord> slips) {
    SlipTable t;
    for (const SlipRecord& s : slips) {
        t.satellite.push_back(s.sat.id());
        t.system.push_back(std::string(1, util::system_letter(s.sat.system)));
        t.method.push_back(slip_method_name(s.method));
        t.signal.push_back(s.code_count ? s.codes[0].text() : std::string());
        t.time_ms.push_back(s.epoch_ms);
        t.magnitude.push_back(s.magnitude);
        t.threshold.push_back(s.threshold);
    }
    return t;
}

}  // namespace skarvo::analysis
