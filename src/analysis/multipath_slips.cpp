#include "analysis/multipath_slips.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>

#include "analysis/partner_bands.hpp"
#include "utils/frequencies.hpp"

namespace skarvo::analysis {

using util::ObsCode;
using util::ObsKind;

const char* slip_method_name(SlipMethod m) noexcept {
    switch (m) {
        case SlipMethod::Gf: return "gf";
        case SlipMethod::CodePhase: return "code_phase";
        case SlipMethod::Lli: return "lli";
    }
    return "";
}

std::vector<std::int64_t> SlipResult::times_of(const util::Satellite& sat, const ObsCode& phase) const {
    const SlipTime lo{util::sort_key(sat), util::text_key(phase), INT64_MIN};
    const SlipTime hi{util::sort_key(sat), util::text_key(phase), INT64_MAX};
    std::vector<std::int64_t> out;
    for (auto it = std::lower_bound(times.begin(), times.end(), lo); it != times.end() && *it <= hi; ++it)
        out.push_back(it->epoch_ms);
    return out;
}

namespace {

// Tracking state of the gf and cmc values: entries of satellite s are valid
// when their stamp equals state_stamp[s], the sequence number of the
// satellite's most recent epoch.
struct TrackState {
    std::size_t codes;
    std::vector<std::uint32_t> state_stamp;
    std::vector<util::Epoch> state_epoch;
    std::vector<std::uint32_t> gf_stamp, cmc_stamp;
    std::vector<std::uint16_t> gf_partner;
    std::vector<double> gf_value, cmc_value;

    TrackState(std::size_t sats, std::size_t nc)
        : codes(nc), state_stamp(sats, 0), state_epoch(sats), gf_stamp(sats * nc, 0), cmc_stamp(sats * nc, 0),
          gf_partner(sats * nc, no_code), gf_value(sats * nc, 0.0), cmc_value(sats * nc, 0.0) {}
};

// What the detectors share about one satellite at one epoch: its phases and
// pseudoranges (the first of repeated codes) in (band, attribute) order,
// where each sits in data.obs, per partner band its phase of smallest
// attribute, and how the epoch compares with the satellite's previous one.
struct SatEpoch {
    std::uint32_t sat = 0;       // ObsIndex number
    std::uint32_t seq = 0;       // sequence number of the epoch, from 1
    std::int64_t ms = 0;         // unix_millis of the epoch
    std::uint32_t previous = 0;  // sequence number of the satellite's previous epoch; 0: none
    double dt = 0.0;             // seconds since that epoch
    bool usable = false;         // whether the rate tests may compare with it
    std::uint32_t tick = 0;      // where[c] is valid when seen[c] == tick
    std::vector<std::uint32_t> where, seen;
    std::vector<std::uint16_t> phases, codes;
    std::array<std::uint16_t, 10> band_phase{};

    explicit SatEpoch(std::size_t nc) : where(nc), seen(nc, 0) {}
    bool has(std::uint16_t c) const noexcept { return seen[c] == tick; }
};

// Gathers the observations of `so` for the detectors.
void gather(const ObsIndex& index, const rinex::SatObs& so, SatEpoch& at) {
    ++at.tick;
    at.phases.clear();
    at.codes.clear();
    at.band_phase.fill(no_code);
    for (std::uint32_t q = so.begin; q < so.end; ++q) {
        const std::uint16_t c = index.code_of(q);
        if (at.seen[c] == at.tick) continue;  // the first of repeated codes counts
        at.seen[c] = at.tick;
        at.where[c] = q;
        const ObsCode& code = index.code(c);
        if (code.kind == ObsKind::Phase) {
            at.phases.push_back(c);
            const std::uint8_t b = index.partner_band(at.sat, c);
            if (b < at.band_phase.size() &&
                (at.band_phase[b] == no_code || code.attribute < index.code(at.band_phase[b]).attribute))
                at.band_phase[b] = c;
        } else if (code.kind == ObsKind::Code) {
            at.codes.push_back(c);
        }
    }
    const auto by_band_attr = [&](std::uint16_t a, std::uint16_t b) {
        return ObsIndex::band_attr_key(index.code(a)) < ObsIndex::band_attr_key(index.code(b));
    };
    std::sort(at.phases.begin(), at.phases.end(), by_band_attr);
    std::sort(at.codes.begin(), at.codes.end(), by_band_attr);
}

void add_slip(std::vector<SlipRecord>& out, const util::Satellite& sat, std::int64_t ms, SlipMethod m, ObsCode a,
              std::optional<ObsCode> b, double magnitude, double threshold) {
    SlipRecord r;
    r.sat = sat;
    r.epoch_ms = ms;
    r.codes[0] = a;
    r.code_count = 1;
    if (b) {
        r.codes[1] = *b;
        r.code_count = 2;
    }
    r.method = m;
    r.magnitude = magnitude;
    r.threshold = threshold;
    out.push_back(r);
}

// Loss of lock: bit 0 of a phase's indicator. Bit 1 only says that a
// half-cycle ambiguity is possible: phones and some receivers set it on
// every phase until the navigation message resolves it.
void detect_lli(const rinex::RinexObsData& data, const ObsIndex& index, const SatEpoch& at,
                std::vector<SlipRecord>& out) {
    for (const std::uint16_t c : at.phases) {
        const std::uint8_t lli = data.obs[at.where[c]].lli;
        if (lli != rinex::ObsEntry::no_digit && (lli & 1u) != 0)
            add_slip(out, index.sat(at.sat), at.ms, SlipMethod::Lli, index.code(c), {}, 1.0, 0.0);
    }
}

// Geometry-free: the change of the ionospheric delay formed from each phase
// and its partner phase since the previous epoch, when the partner is the
// same.
void detect_gf(const rinex::RinexObsData& data, const ObsIndex& index, const SlipSettings& settings,
               const SatEpoch& at, TrackState& st, std::vector<SlipRecord>& out) {
    const std::size_t row = at.sat * st.codes;
    const util::Satellite& sat = index.sat(at.sat);
    const double threshold = settings.ion_delta_base_m + settings.ion_delta_rate_m_per_s * at.dt;
    for (const std::uint16_t c : at.phases) {
        const double f1 = index.frequency(at.sat, c);
        if (f1 == 0.0) continue;
        const std::uint16_t partner = partner_phase(
            sat.system, index.partner_band(at.sat, c), f1, no_code, [&](std::uint8_t band, const auto& usable) {
                const std::uint16_t p = at.band_phase[band];
                return p != no_code && usable(index.frequency(at.sat, p)) ? p : no_code;
            });
        if (partner == no_code) continue;
        const double f2 = index.frequency(at.sat, partner);
        const double alpha = (f1 * f1) / (f2 * f2);
        const double iono = (util::wavelength(f1) * data.obs[at.where[c]].value -
                             util::wavelength(f2) * data.obs[at.where[partner]].value) /
                            (alpha - 1.0);
        if (at.usable && st.gf_stamp[row + c] == at.previous && st.gf_partner[row + c] == partner) {
            const double change = std::abs(iono - st.gf_value[row + c]);
            if (change > threshold)
                add_slip(out, sat, at.ms, SlipMethod::Gf, index.code(c), index.code(partner), change, threshold);
        }
        st.gf_stamp[row + c] = at.seq;
        st.gf_partner[row + c] = partner;
        st.gf_value[row + c] = iono;
    }
}

// Code minus carrier: the change of each pseudorange against the phase of
// the same band and attribute since the previous epoch.
void detect_code_phase(const rinex::RinexObsData& data, const ObsIndex& index, const SlipSettings& settings,
                       std::span<const std::uint16_t> phase_of_code, const SatEpoch& at, TrackState& st,
                       std::vector<SlipRecord>& out) {
    const std::size_t row = at.sat * st.codes;
    const double threshold = settings.cp_delta_base_m + settings.cp_delta_rate_m_per_s * at.dt;
    for (const std::uint16_t c : at.codes) {
        const std::uint16_t ph = phase_of_code[c];
        if (ph == no_code || !at.has(ph)) continue;
        const double f = index.frequency(at.sat, c);
        if (f == 0.0) continue;
        const double cmc = util::wavelength(f) * data.obs[at.where[ph]].value - data.obs[at.where[c]].value;
        if (at.usable && st.cmc_stamp[row + c] == at.previous) {
            const double change = std::abs(cmc - st.cmc_value[row + c]);
            if (change > threshold)
                add_slip(out, index.sat(at.sat), at.ms, SlipMethod::CodePhase, index.code(ph), index.code(c), change,
                         threshold);
        }
        st.cmc_stamp[row + c] = at.seq;
        st.cmc_value[row + c] = cmc;
    }
}

void sort_slips(std::vector<SlipRecord>& slips) {
    struct Key {
        std::int64_t ms;
        std::string sat;
        std::string code;
        std::size_t index;
    };
    std::vector<Key> keys;
    keys.reserve(slips.size());
    for (std::size_t i = 0; i < slips.size(); ++i)
        keys.push_back({slips[i].epoch_ms, slips[i].sat.id(),
                        slips[i].code_count ? slips[i].codes[0].text() : std::string(), i});
    std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        if (a.ms != b.ms) return a.ms < b.ms;
        if (a.sat != b.sat) return a.sat < b.sat;
        return a.code < b.code;
    });
    std::vector<SlipRecord> sorted;
    sorted.reserve(slips.size());
    for (const Key& k : keys) sorted.push_back(slips[k.index]);
    slips = std::move(sorted);
}

// Times and counts of the slips, over every phase they name (a gf slip
// names two) that passes `keep` (all when null).
void tally(SlipResult& result, const std::function<bool(util::GnssSystem, const ObsCode&)>* keep) {
    result.times.clear();
    result.counts.clear();
    std::map<std::pair<std::string_view, std::uint32_t>, SlipCount> counts;
    for (const SlipRecord& r : result.slips) {
        for (std::uint8_t i = 0; i < r.code_count; ++i) {
            const ObsCode& code = r.codes[i];
            if (code.kind != ObsKind::Phase || (keep && !(*keep)(r.sat.system, code))) continue;
            result.times.push_back({util::sort_key(r.sat), util::text_key(code), r.epoch_ms});
            SlipCount& n = counts[{util::system_short_name(r.sat.system), util::text_key(code)}];
            n.system = r.sat.system;
            n.phase = code;
            ++n.count;
        }
    }
    std::sort(result.times.begin(), result.times.end());
    result.counts.reserve(counts.size());
    for (const auto& [key, n] : counts) result.counts.push_back(n);
}

}  // namespace

SlipResult find_cycle_slips(const rinex::RinexObsData& data, std::span<const std::uint32_t> epochs,
                            const ObsIndex& index, const SlipSettings& settings) {
    const std::size_t nc = index.code_count();
    // For each pseudorange, the phase of the same band and attribute.
    std::vector<std::uint16_t> phase_of_code(nc, no_code);
    for (std::uint16_t c = 0; c < nc; ++c) {
        const ObsCode& code = index.code(c);
        if (code.kind == ObsKind::Code) phase_of_code[c] = index.find(ObsCode{ObsKind::Phase, code.band, code.attribute});
    }

    std::vector<std::uint8_t> tested(index.sat_count(), 1);
    if (settings.systems) {
        for (std::uint32_t s = 0; s < index.sat_count(); ++s)
            tested[s] = std::find(settings.systems->begin(), settings.systems->end(), index.sat(s).system) !=
                        settings.systems->end();
    }

    TrackState st(index.sat_count(), nc);
    SatEpoch at(nc);
    SlipResult result;
    for (std::size_t k = 0; k < epochs.size(); ++k) {
        const rinex::EpochRecord& rec = data.epochs[epochs[k]];
        at.seq = static_cast<std::uint32_t>(k + 1);
        at.ms = util::unix_millis(rec.epoch);
        for (std::uint32_t p = rec.sat_begin; p < rec.sat_end; ++p) {
            at.sat = index.sat_of(p);
            if (!tested[at.sat]) continue;
            gather(index, data.sat_obs[p], at);
            at.previous = st.state_stamp[at.sat];
            at.dt = 0.0;
            at.usable = false;
            if (at.previous != 0) {
                at.dt = std::abs(util::seconds_between(st.state_epoch[at.sat], rec.epoch));
                at.usable = at.dt >= 0.001 && at.dt <= settings.max_step_s;
            }

            if (settings.use_lli) detect_lli(data, index, at, result.slips);
            detect_gf(data, index, settings, at, st, result.slips);
            detect_code_phase(data, index, settings, phase_of_code, at, st, result.slips);

            st.state_stamp[at.sat] = at.seq;
            st.state_epoch[at.sat] = rec.epoch;
        }
    }

    sort_slips(result.slips);
    tally(result, nullptr);
    return result;
}

void select_slip_phases(SlipResult& result,
                        const std::function<bool(util::GnssSystem, const util::ObsCode&)>& keep) {
    std::erase_if(result.slips, [&](const SlipRecord& r) { return r.code_count > 0 && !keep(r.sat.system, r.codes[0]); });
    tally(result, &keep);
}

}  // namespace skarvo::analysis
