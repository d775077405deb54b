#include "analysis/multipath_pairing.hpp"

#include <algorithm>

#include "analysis/partner_bands.hpp"
#include "utils/frequencies.hpp"

namespace skarvo::analysis {

using util::GnssSystem;
using util::ObsCode;
using util::ObsKind;
using util::Satellite;

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

            const std::uint16_t p2 =
                partner_phase(sat.system, own, f1, no_code, [&](std::uint8_t band, const auto& usable) {
                    return best_phase(index, s, present, band, usable);
                });
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

}  // namespace skarvo::analysis
