#include "analysis/multipath_slips.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>

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
    // Per code: its kind, its (band, attribute) key and, for codes, the phase
    // of the same band and attribute.
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
    std::vector<std::uint32_t> where(nc), seen(nc, 0);
    std::vector<std::uint16_t> phases, codes;
    std::array<std::uint16_t, 10> band_phase{};
    std::uint32_t tick = 0;
    SlipResult result;
    const auto by_band_attr = [&](std::uint16_t a, std::uint16_t b) {
        return ObsIndex::band_attr_key(index.code(a)) < ObsIndex::band_attr_key(index.code(b));
    };

    for (std::size_t k = 0; k < epochs.size(); ++k) {
        const std::uint32_t seq = static_cast<std::uint32_t>(k + 1);
        const rinex::EpochRecord& rec = data.epochs[epochs[k]];
        const std::int64_t ms = util::unix_millis(rec.epoch);
        for (std::uint32_t p = rec.sat_begin; p < rec.sat_end; ++p) {
            const std::uint32_t s = index.sat_of(p);
            if (!tested[s]) continue;
            const util::Satellite& sat = index.sat(s);
            const rinex::SatObs& so = data.sat_obs[p];

            ++tick;
            phases.clear();
            codes.clear();
            band_phase.fill(no_code);
            for (std::uint32_t q = so.begin; q < so.end; ++q) {
                const std::uint16_t c = index.code_of(q);
                if (seen[c] == tick) continue;  // the first of repeated codes counts
                seen[c] = tick;
                where[c] = q;
                const ObsCode& code = index.code(c);
                if (code.kind == ObsKind::Phase) {
                    phases.push_back(c);
                    const std::uint8_t b = index.partner_band(s, c);
                    if (b < band_phase.size() &&
                        (band_phase[b] == no_code || code.attribute < index.code(band_phase[b]).attribute))
                        band_phase[b] = c;
                } else if (code.kind == ObsKind::Code) {
                    codes.push_back(c);
                }
            }
            std::sort(phases.begin(), phases.end(), by_band_attr);
            std::sort(codes.begin(), codes.end(), by_band_attr);

            const auto add = [&](SlipMethod m, ObsCode a, std::optional<ObsCode> b, double mag, double thr) {
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
                r.magnitude = mag;
                r.threshold = thr;
                result.slips.push_back(r);
            };

            if (settings.use_lli) {
                for (const std::uint16_t c : phases) {
                    const std::uint8_t lli = data.obs[where[c]].lli;
                    // Bit 0 is a loss of lock. Bit 1 only says that a half-cycle
                    // ambiguity is possible: phones and some receivers set it on
                    // every phase until the navigation message resolves it.
                    if (lli != rinex::ObsEntry::no_digit && (lli & 1u) != 0) add(SlipMethod::Lli, index.code(c), {}, 1.0, 0.0);
                }
            }

            const std::uint32_t old = st.state_stamp[s];
            double dt = 0.0;
            bool usable = false;
            if (old != 0) {
                dt = std::abs(util::seconds_between(st.state_epoch[s], rec.epoch));
                usable = dt >= 0.001 && dt <= settings.max_step_s;
            }
            const std::size_t row = s * nc;

            const double ion_threshold = settings.ion_delta_base_m + settings.ion_delta_rate_m_per_s * dt;
            for (const std::uint16_t c : phases) {
                const ObsCode& l1 = index.code(c);
                const double f1 = index.frequency(s, c);
                if (f1 == 0.0) continue;
                std::uint16_t partner = no_code;
                double f2 = 0.0;
                for (const std::uint8_t b : partner_bands(sat.system)) {
                    if (b == index.partner_band(s, c) || band_phase[b] == no_code) continue;
                    const double f = index.frequency(s, band_phase[b]);
                    if (f == 0.0 || std::abs((f1 * f1) / (f * f) - 1.0) < 0.1) continue;
                    partner = band_phase[b];
                    f2 = f;
                    break;
                }
                if (partner == no_code) continue;
                const double alpha = (f1 * f1) / (f2 * f2);
                const double iono = (util::wavelength(f1) * data.obs[where[c]].value -
                                     util::wavelength(f2) * data.obs[where[partner]].value) /
                                    (alpha - 1.0);
                if (usable && st.gf_stamp[row + c] == old && st.gf_partner[row + c] == partner) {
                    const double change = std::abs(iono - st.gf_value[row + c]);
                    if (change > ion_threshold) add(SlipMethod::Gf, l1, index.code(partner), change, ion_threshold);
                }
                st.gf_stamp[row + c] = seq;
                st.gf_partner[row + c] = partner;
                st.gf_value[row + c] = iono;
            }

            const double cp_threshold = settings.cp_delta_base_m + settings.cp_delta_rate_m_per_s * dt;
            for (const std::uint16_t c : codes) {
                const std::uint16_t ph = phase_of_code[c];
                if (ph == no_code || seen[ph] != tick) continue;
                const ObsCode& code = index.code(c);
                const double f = index.frequency(s, c);
                if (f == 0.0) continue;
                const double cmc = util::wavelength(f) * data.obs[where[ph]].value - data.obs[where[c]].value;
                if (usable && st.cmc_stamp[row + c] == old) {
                    const double change = std::abs(cmc - st.cmc_value[row + c]);
                    if (change > cp_threshold) add(SlipMethod::CodePhase, index.code(ph), code, change, cp_threshold);
                }
                st.cmc_stamp[row + c] = seq;
                st.cmc_value[row + c] = cmc;
            }

            st.state_stamp[s] = seq;
            st.state_epoch[s] = rec.epoch;
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
