#include "analysis/multipath.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <unordered_map>

#include "analysis/multipath_pairing.hpp"
#include "analysis/multipath_series.hpp"
#include "analysis/obs_index.hpp"
#include "analysis/sampling_interval.hpp"

namespace skarvo::analysis {

namespace {

struct LabelGroup {
    std::vector<MpEstimate> estimates;
    std::vector<std::uint32_t> pairs;  // every pair under the label, series empty or not
    bool has_points = false;
};

// Distinct slips that can cut the arcs of the label's pairs: slips of a
// pair's satellite recorded on that pair's phase 1 or phase 2.
std::uint64_t label_slip_count(const LabelGroup& group, std::span<const SignalPair> pairs, const SlipResult& slips,
                               const std::unordered_map<std::uint64_t, std::vector<std::uint32_t>>& slips_of_sat,
                               std::vector<std::uint32_t>& marked, std::uint32_t label_no) {
    std::uint64_t n = 0;
    for (const std::uint32_t pi : group.pairs) {
        const SignalPair& pair = pairs[pi];
        const auto it = slips_of_sat.find(util::sort_key(pair.sat));
        if (it == slips_of_sat.end()) continue;
        for (const std::uint32_t si : it->second) {
            if (marked[si] == label_no) continue;
            const SlipRecord& r = slips.slips[si];
            for (std::uint8_t i = 0; i < r.code_count; ++i) {
                const util::ObsCode& c = r.codes[i];
                if (c.kind == util::ObsKind::Phase && (c == pair.phase1 || c == pair.phase2)) {
                    marked[si] = label_no;
                    ++n;
                    break;
                }
            }
        }
    }
    return n;
}

using LabelGroups = std::map<std::string, LabelGroup>;  // byte order of the labels

SlipSettings slip_settings(const MultipathConfig& config) {
    SlipSettings s;
    s.ion_delta_base_m = config.ion_delta_base_m;
    s.ion_delta_rate_m_per_s = config.ion_delta_rate_m_per_s;
    s.cp_delta_base_m = config.cp_delta_base_m;
    s.cp_delta_rate_m_per_s = config.cp_delta_rate_m_per_s;
    s.max_step_s = MultipathConfig::max_slip_step_s;
    s.use_lli = MultipathConfig::use_lli;
    s.systems = config.systems;
    return s;
}

ArcSettings arc_settings(const MultipathConfig& config) {
    ArcSettings arc;
    arc.arc_gap_factor = config.arc_gap_factor;
    arc.min_arc_s = config.min_arc_s;
    arc.bias_window_s = config.bias_window_s;
    arc.elevation_cutoff_deg = config.elevation_cutoff_deg;
    arc.jump_threshold_m = MultipathConfig::jump_threshold_m;
    return arc;
}

// The estimates of every pair, grouped by signal label: each series cut into
// arcs at gaps, jumps and every slip of the pair's two phases.
LabelGroups estimate_by_label(const MultipathConfig& config, std::span<const SignalPair> pairs,
                              std::span<const MpSeries> series, const SlipResult& slips, double interval_s) {
    const ArcSettings arc = arc_settings(config);
    LabelGroups groups;
    std::vector<std::int64_t> slip_ms;
    for (std::uint32_t i = 0; i < pairs.size(); ++i) {
        const SignalPair& pair = pairs[i];
        LabelGroup& g = groups[signal_label(pair.sat.system, pair.code)];
        g.pairs.push_back(i);
        if (series[i].times_ms.empty()) continue;
        g.has_points = true;
        slip_ms = slips.times_of(pair.sat, pair.phase1);
        if (pair.phase2 != pair.phase1) {
            const std::vector<std::int64_t> more = slips.times_of(pair.sat, pair.phase2);
            slip_ms.insert(slip_ms.end(), more.begin(), more.end());
            std::sort(slip_ms.begin(), slip_ms.end());
        }
        build_arcs_and_estimates(series[i], pair, arc, interval_s, slip_ms, g.estimates);
    }
    return groups;
}

// Arcs break at every slip of the phases their pairs use; what is reported
// covers the phases the code lists select.
void keep_reported_slips(const MultipathConfig& config, SlipResult& slips) {
    if (!config.lists_name_phases()) return;
    select_slip_phases(slips, [&](util::GnssSystem s, const util::ObsCode& phase) {
        return config.phase_selected(s, phase);
    });
}

// Moves the estimates of the labels that have points into `run`, in label
// order, with the statistics and slip count of each label.
void collect_labels(LabelGroups& groups, std::span<const SignalPair> pairs, MultipathRun& run) {
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> slips_of_sat;
    for (std::uint32_t si = 0; si < run.slips.slips.size(); ++si)
        slips_of_sat[util::sort_key(run.slips.slips[si].sat)].push_back(si);
    std::vector<std::uint32_t> marked(run.slips.slips.size(), 0);

    std::size_t total = 0;
    for (const auto& [label, g] : groups) total += g.estimates.size();
    run.estimates.reserve(total);
    std::uint32_t label_no = 0;
    for (auto& [label, g] : groups) {
        if (!g.has_points) continue;
        SignalStats st = signal_statistics(label, g.estimates);
        st.begin = run.estimates.size();
        run.estimates.insert(run.estimates.end(), g.estimates.begin(), g.estimates.end());
        st.end = run.estimates.size();
        st.cycle_slips = label_slip_count(g, pairs, run.slips, slips_of_sat, marked, ++label_no);
        run.statistics.push_back(std::move(st));
        g.estimates = {};
    }
}

}  // namespace

MultipathRun run_multipath_analysis(const MultipathConfig& config) {
    MultipathRun run;
    run.elevation_cutoff_deg = config.elevation_cutoff_deg;
    if (!config.data) return run;
    const rinex::RinexObsData& data = *config.data;

    const std::vector<std::uint32_t> epochs = config.analysis_epochs();
    run.interval_s = sampling_interval(data, epochs);
    const ObsIndex index(data, epochs);
    if (config.detect_cycle_slips) run.slips = find_cycle_slips(data, epochs, index, slip_settings(config));
    const std::vector<SignalPair> pairs = build_pairs(config, index);
    const std::vector<MpSeries> series = fill_series(data, epochs, index, pairs);
    LabelGroups groups = estimate_by_label(config, pairs, series, run.slips, run.interval_s);
    keep_reported_slips(config, run.slips);
    collect_labels(groups, pairs, run);
    return run;
}

MultipathRun mask_by_elevation(const MultipathRun& run, double cutoff_deg) {
    MultipathRun out;
    out.slips = run.slips;
    out.interval_s = run.interval_s;
    out.elevation_cutoff_deg = run.elevation_cutoff_deg;
    out.statistics.reserve(run.statistics.size());
    std::vector<MpEstimate> kept;
    for (const SignalStats& st : run.statistics) {
        kept.clear();
        if (st.begin < st.end && st.end <= run.estimates.size()) {
            for (std::size_t i = st.begin; i < st.end; ++i) {
                const MpEstimate& e = run.estimates[i];
                // A NaN elevation (no orbit position) fails the comparison.
                if (e.elevation_deg >= cutoff_deg && std::isfinite(e.elevation_deg)) kept.push_back(e);
            }
        }
        SignalStats masked = signal_statistics(st.label, kept);
        masked.begin = out.estimates.size();
        out.estimates.insert(out.estimates.end(), kept.begin(), kept.end());
        masked.end = out.estimates.size();
        masked.cycle_slips = st.cycle_slips;
        out.statistics.push_back(std::move(masked));
    }
    return out;
}

}  // namespace skarvo::analysis
