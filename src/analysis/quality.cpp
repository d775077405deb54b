#include "analysis/quality.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <unordered_map>

#include "navigation/nav_data.hpp"
#include "navigation/sp3.hpp"
#include "rinex/obs_header.hpp"
#include "utils/frequencies.hpp"
#include "utils/pool.hpp"

namespace skarvo::analysis {
namespace {

using util::GnssSystem;
using rinex::ObsEntry;
using util::ObsKind;
using rinex::RinexObsData;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// One millisecond of light travel, metres.
constexpr double ms_range = util::speed_of_light * 1e-3;

bool wanted(const QualitySettings& s, GnssSystem sys) noexcept {
    const bool any = std::any_of(s.systems.begin(), s.systems.end(), [](bool b) { return b; });
    return !any || s.systems[util::system_index(sys)];
}

std::size_t bin_count(double width) noexcept {
    return static_cast<std::size_t>(std::ceil(90.0 / width - 1e-9));
}

std::optional<std::size_t> bin_of(double el, double width, std::size_t bins) noexcept {
    if (!(el >= 0.0) || el > 90.0) return std::nullopt;
    const auto b = static_cast<std::size_t>(el / width);
    return std::min(b, bins - 1);
}

double median_of(std::vector<double>& v) {
    const std::size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    double m = v[mid];
    if (v.size() % 2 == 0) m = 0.5 * (m + *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid)));
    return m;
}

}  // namespace

TimeScan scan_epochs(const RinexObsData& data) {
    TimeScan out;
    std::vector<std::pair<std::int64_t, std::uint32_t>> seen;
    seen.reserve(data.epochs.size());
    std::optional<std::int64_t> latest;
    for (std::size_t i = 0; i < data.epochs.size(); ++i) {
        const rinex::EpochRecord& r = data.epochs[i];
        const std::int64_t t = util::unix_millis(r.epoch);
        if (r.flag != 0) out.events.push_back({t, r.flag});
        if (!is_data_flag(r.flag)) continue;
        ++out.data_epochs;
        if (latest && t < *latest) ++out.out_of_order;
        if (!latest || t > *latest) latest = t;
        seen.emplace_back(t, static_cast<std::uint32_t>(i));
    }
    for (const rinex::EventMark& ev : data.events) out.events.push_back({ev.epoch_ms, ev.flag});
    std::stable_sort(seen.begin(), seen.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [t, i] : seen) {
        if (!out.times_ms.empty() && out.times_ms.back() == t) {
            ++out.duplicates;
            continue;
        }
        out.times_ms.push_back(t);
        out.records.push_back(i);
    }
    out.distinct_epochs = out.times_ms.size();
    if (out.times_ms.empty()) return out;
    out.first_ms = out.times_ms.front();
    out.last_ms = out.times_ms.back();

    std::int64_t step_ms = 0;
    if (data.header.interval && *data.header.interval > 0.0 && std::isfinite(*data.header.interval) &&
        *data.header.interval < 86400.0 * 366) {
        step_ms = std::llround(*data.header.interval * 1000.0);
    }
    if (step_ms <= 0 && out.times_ms.size() > 1) {
        std::unordered_map<std::int64_t, std::uint64_t> steps;
        for (std::size_t i = 1; i < out.times_ms.size(); ++i) ++steps[out.times_ms[i] - out.times_ms[i - 1]];
        std::uint64_t best = 0;
        for (const auto& [d, n] : steps)
            if (n > best || (n == best && d < step_ms)) best = n, step_ms = d;
    }
    if (step_ms <= 0) {
        out.grid_epochs = out.distinct_epochs;
        return out;
    }
    out.interval_s = static_cast<double>(step_ms) / 1000.0;
    const std::int64_t span = *out.last_ms - *out.first_ms;
    out.grid_epochs = static_cast<std::uint64_t>(span / step_ms) + 1;
    // Slots holding an epoch: the nearest slot of each; an epoch off the
    // grid by a few milliseconds still fills its slot.
    std::uint64_t on_grid = 0;
    std::int64_t last_slot = -1;
    for (std::size_t i = 0; i < out.times_ms.size(); ++i) {
        const std::int64_t rel = out.times_ms[i] - *out.first_ms;
        const std::int64_t k = (rel + step_ms / 2) / step_ms;
        if (std::llabs(rel - k * step_ms) > 1) ++out.off_grid;
        if (k != last_slot) ++on_grid;
        last_slot = k;
        if (i == 0) continue;
        const std::int64_t d = out.times_ms[i] - out.times_ms[i - 1];
        // Steps up to half an interval over the nominal one are jitter.
        const std::int64_t missing = (d + step_ms / 2) / step_ms - 1;
        if (missing >= 1)
            out.gaps.push_back({out.times_ms[i - 1], out.times_ms[i], static_cast<std::uint64_t>(missing)});
    }
    out.missing_epochs = out.grid_epochs > on_grid ? out.grid_epochs - on_grid : 0;
    return out;
}

ClockScan scan_clock(const RinexObsData& data, const TimeScan& time) {
    ClockScan out;
    struct Track {
        std::size_t last_epoch = 0;  // index into time.times_ms, plus one (0: never)
        double value = 0.0;
        double rate = nan;           // clean step per second of the previous step
    };
    // Per satellite (dense index), its code ranges' tracks by code.
    std::unordered_map<std::uint64_t, std::uint32_t> sat_index;
    std::vector<std::vector<std::pair<util::ObsCode, Track>>> tracks;
    std::vector<std::pair<std::pair<std::uint32_t, std::uint32_t>, double>> current;  // (sat, entry), value
    std::vector<double> residual, sorted;
    std::vector<std::uint32_t> residual_sat;  // dense satellite index of each residual (grouped)
    std::vector<double> offsets_t, offsets_v;

    for (std::size_t ei = 0; ei < time.times_ms.size(); ++ei) {
        const rinex::EpochRecord& rec = data.epochs[time.records[ei]];
        if (rec.clock_offset && std::isfinite(*rec.clock_offset)) {
            offsets_t.push_back(static_cast<double>(time.times_ms[ei] - time.times_ms[0]) / 1000.0);
            offsets_v.push_back(*rec.clock_offset);
        }
        const double dt = ei ? static_cast<double>(time.times_ms[ei] - time.times_ms[ei - 1]) / 1000.0 : 0.0;
        current.clear();
        residual.clear();
        residual_sat.clear();
        for (const rinex::SatObs& so : data.satellites_at(rec)) {
            const auto [it, added] =
                sat_index.try_emplace(util::sort_key(so.sat), static_cast<std::uint32_t>(tracks.size()));
            if (added) tracks.emplace_back();
            auto& mine = tracks[it->second];
            for (const ObsEntry& o : data.observations(so)) {
                if (o.code.kind != ObsKind::Code || !std::isfinite(o.value)) continue;
                std::size_t k = 0;
                while (k < mine.size() && !(mine[k].first == o.code)) ++k;
                if (k == mine.size()) mine.emplace_back(o.code, Track{});
                const Track& tr = mine[k].second;
                if (tr.last_epoch == ei && ei > 0) {  // seen at the previous epoch
                    const double pred = std::isfinite(tr.rate) ? tr.rate * dt : 0.0;
                    residual.push_back(o.value - tr.value - pred);
                    residual_sat.push_back(it->second);
                }
                current.push_back({{it->second, static_cast<std::uint32_t>(k)}, o.value});
            }
        }
        // Distinct satellites among the residuals, and those agreeing with k.
        auto satellites = [&](auto keep) {
            std::uint32_t n = 0;
            for (std::size_t i = 0; i < residual.size(); ++i)
                if (keep(i) && (i == 0 || residual_sat[i] != residual_sat[i - 1] || !keep(i - 1))) ++n;
            return n;
        };
        const std::uint32_t sats_here = satellites([](std::size_t) { return true; });
        std::int64_t k = 0;
        if (sats_here >= 2) {
            ++out.steps_checked;
            sorted = residual;
            const double m = median_of(sorted);
            const double kf = std::nearbyint(m / ms_range);
            if (kf != 0.0 && std::fabs(kf) < 1e9) {
                auto agrees = [&](std::size_t i) { return std::fabs(residual[i] - kf * ms_range) < 0.25 * ms_range; };
                std::uint32_t agree = 0;
                for (std::size_t i = 0; i < residual.size(); ++i) agree += agrees(i) ? 1u : 0u;
                const std::uint32_t agree_sats = satellites(agrees);
                // A jump moves every satellite's ranges: ranges of one
                // satellite alone (a code ambiguity) are no clock jump.
                if (agree_sats >= 2 && 2 * agree_sats >= sats_here && 2 * static_cast<std::size_t>(agree) >= residual.size()) {
                    k = static_cast<std::int64_t>(kf);
                    out.jumps.push_back({time.times_ms[ei], k, m, static_cast<std::uint32_t>(residual.size()), agree});
                }
            }
        }
        for (const auto& [where, value] : current) {
            Track* tr = &tracks[where.first][where.second].second;
            if (tr->last_epoch == ei && ei > 0 && dt > 0.0) {
                tr->rate = (value - tr->value - static_cast<double>(k) * ms_range) / dt;
            } else {
                tr->rate = nan;
            }
            tr->value = value;
            tr->last_epoch = ei + 1;
        }
    }

    out.offset_epochs = offsets_v.size();
    out.offset_drift = nan;
    if (!offsets_v.empty()) {
        out.offset_first_s = offsets_v.front();
        out.offset_last_s = offsets_v.back();
        out.offset_min_s = *std::min_element(offsets_v.begin(), offsets_v.end());
        out.offset_max_s = *std::max_element(offsets_v.begin(), offsets_v.end());
    }
    if (offsets_v.size() >= 2) {
        const double n = static_cast<double>(offsets_v.size());
        const double mt = std::accumulate(offsets_t.begin(), offsets_t.end(), 0.0) / n;
        const double mv = std::accumulate(offsets_v.begin(), offsets_v.end(), 0.0) / n;
        double sxy = 0.0, sxx = 0.0;
        for (std::size_t i = 0; i < offsets_v.size(); ++i) {
            sxy += (offsets_t[i] - mt) * (offsets_v[i] - mv);
            sxx += (offsets_t[i] - mt) * (offsets_t[i] - mt);
        }
        if (sxx > 0.0) out.offset_drift = sxy / sxx;
    }
    return out;
}

Completeness count_completeness(const RinexObsData& data, const TimeScan& time,
                                const std::optional<nav::Ecef>& receiver,
                                std::span<const util::Satellite> orbit_satellites, const OrbitFactory& make_orbit,
                                const QualitySettings& settings) {
    Completeness out;
    const double mask = settings.elevation_mask_deg;
    const double width = settings.bin_width_deg > 0.0 && std::isfinite(settings.bin_width_deg)
                             ? std::min(settings.bin_width_deg, 90.0)
                             : 10.0;
    const std::size_t bins = bin_count(width);

    // Rows: the code and phase observations of each wanted system's header list.
    std::array<std::vector<std::uint32_t>, util::system_count> keys_of_row;
    std::array<std::vector<std::uint32_t>, util::system_count> snr_keys;
    // Version 2 has one list for every system: its translated codes stand
    // for each system the records hold.
    std::vector<util::ObsCode> v2_codes;
    std::array<bool, util::system_count> present{};
    if (!data.header.obs_types_v2.empty()) {
        for (const std::string& t : data.header.obs_types_v2)
            if (const auto c = rinex::translate_v2_type(t)) v2_codes.push_back(*c);
        for (const rinex::SatObs& so : data.sat_obs) present[util::system_index(so.sat.system)] = true;
    }
    for (GnssSystem sys : util::all_systems) {
        const std::size_t si = util::system_index(sys);
        std::optional<std::vector<util::ObsCode>> list = data.header.obs_types[si];
        if (!list && present[si]) list = v2_codes;
        if (!list || !wanted(settings, sys)) continue;
        std::vector<util::ObsCode> codes;
        for (const util::ObsCode& c : *list)
            if ((c.kind == ObsKind::Code || c.kind == ObsKind::Phase) &&
                std::find(codes.begin(), codes.end(), c) == codes.end())
                codes.push_back(c);
        std::sort(codes.begin(), codes.end(), util::code_text_less);
        for (const util::ObsCode& c : codes) {
            keys_of_row[si].push_back(util::text_key(c));
            out.rows.push_back({sys, c, 0, 0, 0});
        }
        std::vector<util::ObsCode> snr;
        for (const util::ObsCode& c : *list)
            if (c.kind == ObsKind::Snr && std::find(snr.begin(), snr.end(), c) == snr.end()) snr.push_back(c);
        std::sort(snr.begin(), snr.end(), util::code_text_less);
        for (const util::ObsCode& c : snr) {
            snr_keys[si].push_back(util::text_key(c));
            out.snr.push_back({sys, c, std::vector<std::uint64_t>(bins, 0), std::vector<double>(bins, 0.0)});
        }
    }
    // Row of each (system, code): code kind, band and attribute index a
    // table, -1 for codes without a row.
    constexpr std::size_t code_slots = 5 * 10 * 128;
    auto slot_of = [](const util::ObsCode& c) {
        return (static_cast<std::size_t>(c.kind) * 10 + c.band % 10) * 128 + (static_cast<unsigned char>(c.attribute) & 127u);
    };
    std::vector<std::int32_t> row_table(util::system_count * code_slots, -1);
    for (std::size_t i = 0; i < out.rows.size(); ++i)
        row_table[util::system_index(out.rows[i].system) * code_slots + slot_of(out.rows[i].code)] =
            static_cast<std::int32_t>(i);
    for (std::size_t i = 0; i < out.snr.size(); ++i)
        row_table[util::system_index(out.snr[i].system) * code_slots + slot_of(out.snr[i].code)] =
            static_cast<std::int32_t>(i);

    // Orbit satellites of the wanted systems that the file can hold.
    std::vector<util::Satellite> sats;
    for (const util::Satellite& s : orbit_satellites)
        if (!keys_of_row[util::system_index(s.system)].empty() &&
            std::find(sats.begin(), sats.end(), s) == sats.end())
            sats.push_back(s);
    std::sort(sats.begin(), sats.end(), util::satellite_less);

    const bool orbit = receiver.has_value() && make_orbit && !orbit_satellites.empty();
    const std::unique_ptr<nav::OrbitSource> own = orbit ? make_orbit() : nullptr;
    out.with_orbit = orbit;
    const std::int64_t step_ms = std::llround(time.interval_s * 1000.0);
    std::vector<float> grid_el;  // [sat][slot]; NaN: no position
    std::size_t slots = 0;
    if (orbit && time.first_ms && step_ms > 0) {
        if (time.grid_epochs > settings.max_grid) {
            out.grid_too_long = true;
        } else {
            slots = static_cast<std::size_t>(time.grid_epochs);
        }
    } else if (orbit && time.first_ms) {
        slots = time.times_ms.size() == 1 ? 1 : 0;
    }
    const std::int64_t first = time.first_ms.value_or(0);
    auto elevation_from = [&](const nav::OrbitSource& src, const util::Satellite& s, std::int64_t t_ms) -> double {
        const auto epoch = util::epoch_from_millis(t_ms);
        if (!epoch) return nan;
        const auto p = src.position(s, *epoch);
        if (!p) return nan;
        return nav::azimuth_elevation(*receiver, *p).second;
    };
    if (slots > 0 && !sats.empty()) {
        grid_el.assign(sats.size() * slots, std::numeric_limits<float>::quiet_NaN());
        // Every `stride`-th slot first (five minutes apart at most); a block
        // whose two ends lie far below both the mask and the horizon lies
        // wholly below them (a navigation satellite's elevation changes by a
        // few degrees in five minutes), so its slots get the lower end's
        // elevation instead of a position each.
        const std::size_t stride =
            std::max<std::size_t>(1, static_cast<std::size_t>(300000 / std::max<std::int64_t>(step_ms, 1)));
        const double deep = std::min(mask, 0.0) - 15.0;
        // One orbit source per chunk of satellites: a broadcast source
        // serves one thread.
        const std::size_t chunks = std::min(sats.size(), std::max<std::size_t>(1, util::pool_worker_count()) * 2);
        util::parallel_for(chunks, [&](std::size_t c) {
          const std::unique_ptr<nav::OrbitSource> src = make_orbit();
          if (!src) return;
          for (std::size_t j = c; j < sats.size(); j += chunks) {
            float* row = grid_el.data() + j * slots;
            auto at = [&](std::size_t g) {
                return static_cast<float>(elevation_from(*src, sats[j], first + static_cast<std::int64_t>(g) * step_ms));
            };
            for (std::size_t g = 0; g < slots; g += stride) row[g] = at(g);
            if (slots > 1 && (slots - 1) % stride != 0) row[slots - 1] = at(slots - 1);
            for (std::size_t a = 0; a + 1 < slots; a += stride) {
                const std::size_t b = std::min(a + stride, slots - 1);
                const double lo = static_cast<double>(row[a]), hi = static_cast<double>(row[b]);
                const bool below = lo < deep && hi < deep;
                for (std::size_t g = a + 1; g < b; ++g) row[g] = below ? std::min(row[a], row[b]) : at(g);
            }
          }
        });
        for (std::size_t j = 0; j < sats.size(); ++j) {
            const std::size_t si = util::system_index(sats[j].system);
            const float* row = grid_el.data() + j * slots;
            std::uint64_t above = 0;
            bool placed = false;
            for (std::size_t g = 0; g < slots; ++g) {
                placed = placed || !std::isnan(row[g]);
                if (static_cast<double>(row[g]) >= mask) ++above;
            }
            out.orbit_has_system[si] = out.orbit_has_system[si] || placed;
            out.expected_sat_epochs[si] += above;
        }
        for (CompletenessRow& r : out.rows) r.expected = out.expected_sat_epochs[util::system_index(r.system)];
    }
    auto sat_column = [&](const util::Satellite& s) -> std::ptrdiff_t {
        const auto it = std::lower_bound(sats.begin(), sats.end(), s, util::satellite_less);
        return it != sats.end() && *it == s ? it - sats.begin() : -1;
    };

    // Observed: every distinct data epoch, elevation from the grid when the
    // epoch lies on it, computed otherwise.
    for (std::size_t ei = 0; ei < time.times_ms.size(); ++ei) {
        const std::int64_t t = time.times_ms[ei];
        std::optional<std::size_t> slot;
        if (slots > 0 && step_ms > 0) {
            const std::int64_t rel = t - first;
            const std::int64_t k = (rel + step_ms / 2) / step_ms;
            if (std::llabs(rel - k * step_ms) <= 1 && k >= 0 && static_cast<std::size_t>(k) < slots)
                slot = static_cast<std::size_t>(k);
        } else if (slots == 1) {
            slot = 0;
        }
        const rinex::EpochRecord& rec = data.epochs[time.records[ei]];
        for (const rinex::SatObs& so : data.satellites_at(rec)) {
            const std::size_t si = util::system_index(so.sat.system);
            if (keys_of_row[si].empty() && snr_keys[si].empty()) continue;
            double el = nan;
            if (orbit && !out.grid_too_long) {
                const std::ptrdiff_t col = sat_column(so.sat);
                if (col >= 0 && slot) {
                    el = static_cast<double>(grid_el[static_cast<std::size_t>(col) * slots + *slot]);
                } else if (col >= 0) {
                    el = elevation_from(*own, so.sat, t);
                }
            }
            const bool above = el >= mask;
            const auto bin = bin_of(el, width, bins);
            const std::int32_t* table = row_table.data() + si * code_slots;
            for (const ObsEntry& o : data.observations(so)) {
                if (!std::isfinite(o.value)) continue;
                const std::int32_t r = table[slot_of(o.code)];
                if (r < 0) continue;
                if (o.code.kind == ObsKind::Snr) {
                    if (!bin) continue;
                    ElevationBins& b = out.snr[static_cast<std::size_t>(r)];
                    ++b.count[*bin];
                    b.value[*bin] += o.value;
                    continue;
                }
                if (o.code.kind != ObsKind::Code && o.code.kind != ObsKind::Phase) continue;
                CompletenessRow& row = out.rows[static_cast<std::size_t>(r)];
                ++row.stored;
                if (above) ++row.observed;
            }
        }
    }
    for (ElevationBins& b : out.snr)
        for (std::size_t i = 0; i < bins; ++i)
            b.value[i] = b.count[i] ? b.value[i] / static_cast<double>(b.count[i]) : nan;
    return out;
}

std::vector<std::pair<std::string, ElevationBins>> multipath_by_elevation(std::span<const MpEstimate> estimates,
                                                                          std::span<const SignalStats> statistics,
                                                                          double bin_width_deg) {
    const double width = bin_width_deg > 0.0 && std::isfinite(bin_width_deg) ? std::min(bin_width_deg, 90.0) : 10.0;
    const std::size_t bins = bin_count(width);
    std::vector<std::pair<std::string, ElevationBins>> out;
    for (const SignalStats& st : statistics) {
        ElevationBins b{st.system.value_or(GnssSystem::GPS), st.code, std::vector<std::uint64_t>(bins, 0),
                        std::vector<double>(bins, 0.0)};
        if (st.begin < st.end && st.end <= estimates.size()) {
            for (const MpEstimate& e : estimates.subspan(st.begin, st.end - st.begin)) {
                if (!e.from_orbit || !std::isfinite(e.mp_value_m)) continue;
                const auto bin = bin_of(e.elevation_deg, width, bins);
                if (!bin) continue;
                ++b.count[*bin];
                b.value[*bin] += e.mp_value_m * e.mp_value_m;
            }
        }
        for (std::size_t i = 0; i < bins; ++i)
            b.value[i] = b.count[i] ? std::sqrt(b.value[i] / static_cast<double>(b.count[i])) : nan;
        out.emplace_back(st.label, std::move(b));
    }
    return out;
}

std::optional<std::string> check_bin_width(double bin_width_deg) {
    if (!(bin_width_deg > 0.0 && bin_width_deg <= 90.0)) return "bin_width must be a number of degrees in (0, 90]";
    return std::nullopt;
}

util::Result<StationQuality> station_quality(const rinex::RinexObsData& data, const StationQualityRequest& request) {
    auto refused = [](std::string text) { return util::GnssError(util::ErrorKind::Other, std::move(text)); };
    const double mask = request.elevation_mask_deg;
    if (!std::isfinite(mask) || mask < -90.0 || mask > 90.0)
        return refused("elevation_mask must be a number of degrees in [-90, 90]");
    if (const auto bad = check_bin_width(request.bin_width_deg)) return refused(*bad);
    const std::optional<nav::Ecef>& receiver = request.receiver;
    if (request.orbit_given && !receiver) return refused("an orbit needs the receiver position (receiver=Ecef(...))");
    if (receiver && !(std::isfinite(receiver->x) && std::isfinite(receiver->y) && std::isfinite(receiver->z)))
        return refused("receiver position must be finite");
    QualitySettings settings;
    settings.elevation_mask_deg = mask;
    settings.bin_width_deg = request.bin_width_deg;
    if (request.systems) {
        for (const std::string& s : *request.systems) {
            std::optional<util::GnssSystem> sys;
            if (s.size() == 1) sys = util::system_from_letter(static_cast<unsigned char>(s[0]));
            if (!sys) return refused("unknown system '" + s + "' (use letters among G R E C J S I)");
            settings.systems[util::system_index(*sys)] = true;
        }
    }
    if (request.orbit_given && !request.sp3 && !request.broadcast)
        return util::GnssError(util::ErrorKind::Configuration, "orbit of another kind");

    StationQuality out;
    out.time = scan_epochs(data);
    out.clock = scan_clock(data, out.time);
    OrbitFactory factory;
    std::vector<util::Satellite> sats;
    if (const nav::Sp3Data* sp3 = request.sp3.get()) {
        sats = sp3->satellites;
        factory = [sp3]() -> std::unique_ptr<nav::OrbitSource> { return std::make_unique<nav::Sp3Orbit>(*sp3); };
    } else if (const nav::NavData* broadcast = request.broadcast.get()) {
        sats = broadcast->satellites;
        factory = [broadcast]() -> std::unique_ptr<nav::OrbitSource> {
            return std::make_unique<nav::BroadcastOrbit>(*broadcast);
        };
    }
    out.completeness = count_completeness(data, out.time, factory ? receiver : std::nullopt, sats, factory, settings);
    return out;
}

}  // namespace skarvo::analysis
