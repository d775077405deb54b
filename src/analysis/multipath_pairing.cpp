#include "analysis/multipath_pairing.hpp"

#include <algorithm>
#include <cmath>

#include "utils/frequencies.hpp"

namespace skarvo::analysis {

using util::GnssSystem;
using util::ObsCode;
using util::ObsKind;
using rinex::RinexObsData;
using util::Satellite;

namespace {

constexpr std::size_t kinds = 5, bands = 10, attrs = 128;

}  // namespace

ObsIndex::ObsIndex(const RinexObsData& data, std::span<const std::uint32_t> epochs)
    : sat_of_(data.sat_obs.size(), 0), code_of_(data.obs.size(), no_code), code_table_(kinds * bands * attrs, no_code) {
    std::unordered_map<std::uint64_t, std::uint32_t> sat_ids;
    for (const std::uint32_t e : epochs) {
        const rinex::EpochRecord& rec = data.epochs[e];
        for (std::uint32_t p = rec.sat_begin; p < rec.sat_end; ++p) {
            const rinex::SatObs& so = data.sat_obs[p];
            const auto [it, inserted] =
                sat_ids.try_emplace(util::sort_key(so.sat), static_cast<std::uint32_t>(sats_.size()));
            if (inserted) sats_.push_back(so.sat);
            sat_of_[p] = it->second;
            for (std::uint32_t q = so.begin; q < so.end; ++q) code_of_[q] = intern(data.obs[q].code);
        }
    }

    const std::size_t nc = codes_.size();
    counts_.assign(sats_.size() * nc, 0);
    for (const std::uint32_t e : epochs) {
        const rinex::EpochRecord& rec = data.epochs[e];
        for (std::uint32_t p = rec.sat_begin; p < rec.sat_end; ++p) {
            std::uint32_t* row = counts_.data() + sat_of_[p] * nc;
            const rinex::SatObs& so = data.sat_obs[p];
            for (std::uint32_t q = so.begin; q < so.end; ++q) ++row[code_of_[q]];
        }
    }

    freq_.assign(sats_.size() * nc, 0.0);
    for (std::size_t s = 0; s < sats_.size(); ++s) {
        const Satellite& sat = sats_[s];
        std::optional<std::int8_t> fcn;
        if (sat.system == GnssSystem::GLONASS) fcn = util::resolve_glonass_fcn(sat.prn, data.header.glonass_slots);
        const auto letter = static_cast<unsigned char>(util::system_letter(sat.system));
        for (std::size_t c = 0; c < nc; ++c)
            freq_[s * nc + c] = util::signal_frequency(letter, codes_[c].band, codes_[c].attribute, fcn).value_or(0.0);
    }
}

const std::uint16_t* ObsIndex::slot_of(const ObsCode& c) const noexcept {
    const auto kind = static_cast<std::size_t>(c.kind);
    const auto attr = static_cast<unsigned char>(c.attribute);
    if (kind < kinds && c.band < bands && attr < attrs) return &code_table_[(kind * bands + c.band) * attrs + attr];
    const auto it = code_overflow_.find((static_cast<std::uint32_t>(kind) << 24) | util::text_key(c));
    return it == code_overflow_.end() ? nullptr : &it->second;
}

std::uint16_t ObsIndex::find(const ObsCode& c) const noexcept {
    const std::uint16_t* slot = slot_of(c);
    return slot ? *slot : no_code;
}

std::uint16_t ObsIndex::intern(const ObsCode& c) {
    const auto kind = static_cast<std::size_t>(c.kind);
    const auto attr = static_cast<unsigned char>(c.attribute);
    std::uint16_t* slot = nullptr;
    if (kind < kinds && c.band < bands && attr < attrs) {
        slot = &code_table_[(kind * bands + c.band) * attrs + attr];
    } else {
        slot = &code_overflow_.try_emplace((static_cast<std::uint32_t>(kind) << 24) | util::text_key(c), no_code)
                    .first->second;
    }
    if (*slot == no_code) {
        *slot = static_cast<std::uint16_t>(codes_.size());
        codes_.push_back(c);
    }
    return *slot;
}

double sampling_interval(const RinexObsData& data, std::span<const std::uint32_t> epochs) {
    if (epochs.size() >= 2) {
        const std::size_t n = std::min<std::size_t>(epochs.size(), 101);
        std::vector<double> steps;
        steps.reserve(n - 1);
        for (std::size_t i = 1; i < n; ++i) {
            const double d =
                std::abs(util::seconds_between(data.epochs[epochs[i - 1]].epoch, data.epochs[epochs[i]].epoch));
            if (d > 1e-6) steps.push_back(d);  // NaN steps fail the test too
        }
        if (!steps.empty()) {
            std::sort(steps.begin(), steps.end());
            return std::max(steps[steps.size() / 2], 0.001);
        }
    }
    // A header interval that is not a finite number says nothing usable.
    if (data.header.interval && std::isfinite(*data.header.interval)) return std::max(*data.header.interval, 0.001);
    return 30.0;
}

std::string signal_label(GnssSystem s, const ObsCode& code) {
    std::string label(util::system_short_name(s));
    label += 'M';
    label += static_cast<char>('0' + code.band);
    label += code.attribute;
    return label;
}

namespace {

// The phase of partner band `band` whose frequency `usable` accepts with the
// largest obs_count, ties to the smaller attribute; `present` holds the
// satellite's codes in (band, attribute) order.
template <class Usable>
std::uint16_t best_phase(const ObsIndex& index, std::uint32_t s, std::span<const std::uint16_t> present,
                         std::uint8_t band, Usable usable) {
    std::uint16_t best = no_code;
    std::uint32_t best_count = 0;
    for (const std::uint16_t c : present) {
        const ObsCode& code = index.code(c);
        if (code.kind != ObsKind::Phase || index.partner_band(s, c) != band || !usable(index.frequency(s, c)))
            continue;
        const std::uint32_t n = index.count(s, c);
        if (best == no_code || n > best_count) {  // ascending attributes: the first of equals stays
            best = c;
            best_count = n;
        }
    }
    return best;
}

}  // namespace

std::vector<SignalPair> build_pairs(const MultipathConfig& config, const ObsIndex& index) {
    std::vector<std::uint32_t> order(index.sat_count());
    for (std::uint32_t s = 0; s < order.size(); ++s) order[s] = s;
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return util::satellite_less(index.sat(a), index.sat(b)); });

    std::vector<SignalPair> pairs;
    std::vector<std::uint16_t> present;
    for (const std::uint32_t s : order) {
        const Satellite& sat = index.sat(s);
        if (!config.system_selected(sat.system)) continue;
        present.clear();
        for (std::uint16_t c = 0; c < index.code_count(); ++c)
            if (index.count(s, c) > 0) present.push_back(c);
        std::sort(present.begin(), present.end(), [&](std::uint16_t a, std::uint16_t b) {
            return ObsIndex::band_attr_key(index.code(a)) < ObsIndex::band_attr_key(index.code(b));
        });

        for (const std::uint16_t c : present) {
            const ObsCode& code = index.code(c);
            if (code.kind != ObsKind::Code || !config.code_selected(sat.system, code)) continue;
            const double f1 = index.frequency(s, c);
            if (f1 == 0.0) continue;
            // Phase 1 carries the code's own signal: on BeiDou band 1, B1I
            // codes pair with B1I phases only and B1C codes with B1C phases.
            const std::uint8_t own = index.partner_band(s, c);
            const auto same_signal = [f1](double f) { return f == f1; };
            const std::uint16_t p1 = best_phase(index, s, present, own, same_signal);
            if (p1 == no_code) continue;

            const auto distinct = [f1](double f) { return f != 0.0 && std::abs((f1 * f1) / (f * f) - 1.0) >= 0.1; };
            std::uint16_t p2 = no_code;
            for (const std::uint8_t b : partner_bands(sat.system)) {
                if (b == own) continue;
                p2 = best_phase(index, s, present, b, distinct);
                if (p2 != no_code) break;
            }
            if (p2 == no_code) continue;
            const double f2 = index.frequency(s, p2);

            std::uint16_t snr = no_code;
            for (const std::uint16_t x : present) {
                const ObsCode& k = index.code(x);
                if (k.kind == ObsKind::Snr && k.band == code.band && k.attribute == code.attribute) snr = x;
            }
            if (snr == no_code) {
                for (const std::uint16_t x : present) {
                    const ObsCode& k = index.code(x);
                    if (k.kind == ObsKind::Snr && k.band == code.band && index.frequency(s, x) == f1) {
                        snr = x;  // smallest attribute: `present` is in attribute order
                        break;
                    }
                }
            }

            SignalPair pair;
            pair.sat = sat;
            pair.code = code;
            pair.phase1 = index.code(p1);
            pair.phase2 = index.code(p2);
            if (snr != no_code) pair.snr = index.code(snr);
            pair.wavelength1_m = util::wavelength(f1);
            pair.wavelength2_m = util::wavelength(f2);
            pair.alpha = (f1 * f1) / (f2 * f2);
            pair.sat_index = s;
            pair.code_id = c;
            pair.phase1_id = p1;
            pair.phase2_id = p2;
            pair.snr_id = snr;
            pairs.push_back(pair);
        }
    }
    return pairs;
}

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
