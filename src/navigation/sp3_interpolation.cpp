// Interpolation tracks of an Sp3Data and the nine-node Lagrange
// interpolation (Neville's scheme) of satellite positions.
#include <algorithm>
#include <cmath>
#include <new>

#include "navigation/orbit_source.hpp"
#include "navigation/sp3.hpp"

namespace skarvo::nav {

namespace {

using util::Satellite;
using util::Epoch;

constexpr std::size_t node_count = sp3_interpolation_nodes;

// Two epochs closer than this are the same epoch (SP3 writes 1e-8 s).
constexpr double same_epoch_s = 1e-9;

bool usable(const Sp3Record& r) noexcept {
    if (!std::isfinite(r.epoch.second)) return false;
    if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.z)) return false;
    // 0,0,0 is the format's marker of a missing position, not the geocentre.
    return !(r.x == 0.0 && r.y == 0.0 && r.z == 0.0);
}

struct Node {
    double t_s;
    std::uint32_t index;  // position in the satellite's record list
};

Sp3Track make_track(const std::vector<Sp3Record>& records) {
    Sp3Track track;
    std::vector<Node> nodes;
    nodes.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Sp3Record& r = records[i];
        if (!usable(r)) continue;
        if (nodes.empty()) track.reference = r.epoch;
        const double t = util::seconds_between(track.reference, r.epoch);
        if (!std::isfinite(t)) continue;
        nodes.push_back({t, static_cast<std::uint32_t>(i)});
    }
    // Offsets from the earliest node, so that the table (and every result)
    // does not depend on which record the file happens to list first.
    if (!nodes.empty()) {
        const auto earliest = std::min_element(nodes.begin(), nodes.end(),
                                               [](const Node& a, const Node& b) { return a.t_s < b.t_s; });
        if (earliest->t_s != 0.0) {
            track.reference = records[earliest->index].epoch;
            for (Node& n : nodes) n.t_s = util::seconds_between(track.reference, records[n.index].epoch);
        }
    }

    bool ordered = true;
    for (std::size_t k = 1; k < nodes.size() && ordered; ++k)
        ordered = nodes[k].t_s - nodes[k - 1].t_s >= same_epoch_s;

    if (!ordered) {
        // Repeated epochs keep their first record in file order, so that no
        // two nodes share an epoch (a zero denominator in Neville's scheme).
        std::vector<Node> by_time = nodes;
        std::sort(by_time.begin(), by_time.end(), [](const Node& a, const Node& b) {
            return a.t_s < b.t_s || (a.t_s == b.t_s && a.index < b.index);
        });
        std::vector<Node> kept;
        kept.reserve(by_time.size());
        for (std::size_t g = 0; g < by_time.size();) {
            std::size_t e = g + 1;
            Node first = by_time[g];
            while (e < by_time.size() && by_time[e].t_s - by_time[g].t_s < same_epoch_s) {
                if (by_time[e].index < first.index) first = by_time[e];
                ++e;
            }
            kept.push_back(first);
            g = e;
        }
        std::sort(kept.begin(), kept.end(), [](const Node& a, const Node& b) { return a.index < b.index; });
        nodes = std::move(kept);
        ordered = true;
        for (std::size_t k = 1; k < nodes.size() && ordered; ++k) ordered = nodes[k].t_s > nodes[k - 1].t_s;
    }
    track.time_ordered = ordered;

    if (!nodes.empty()) {
        std::vector<double> times;
        times.reserve(nodes.size());
        for (const Node& n : nodes) times.push_back(n.t_s);
        std::sort(times.begin(), times.end());
        track.first_s = times.front();
        track.last_s = times.back();
        if (times.size() > 1) {
            std::vector<double> steps(times.size() - 1);
            for (std::size_t k = 1; k < times.size(); ++k) steps[k - 1] = times[k] - times[k - 1];
            std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
            track.step_s = steps[steps.size() / 2];
        }
    }

    track.t_s.reserve(nodes.size());
    track.x.reserve(nodes.size());
    track.y.reserve(nodes.size());
    track.z.reserve(nodes.size());
    for (const Node& n : nodes) {
        const Sp3Record& r = records[n.index];
        track.t_s.push_back(n.t_s);
        track.x.push_back(r.x);
        track.y.push_back(r.y);
        track.z.push_back(r.z);
    }
    return track;
}

// The nine nodes nearest to `t` in the order of (distance, file position):
// the first nine of a stable sort by distance, found in one pass.
void nearest_by_scan(const Sp3Track& track, double t, std::uint32_t (&sel)[node_count]) noexcept {
    double best[node_count];
    std::size_t count = 0;
    const std::size_t n = track.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double d = std::fabs(track.t_s[i] - t);
        if (count == node_count && !(d < best[node_count - 1])) continue;
        std::size_t j = count < node_count ? count++ : node_count - 1;
        // Equal distances stay behind the earlier record.
        while (j > 0 && d < best[j - 1]) {
            best[j] = best[j - 1];
            sel[j] = sel[j - 1];
            --j;
        }
        best[j] = d;
        sel[j] = static_cast<std::uint32_t>(i);
    }
    // Into time order by insertion; epochs within 1e-9 s keep their order.
    for (std::size_t k = 1; k < node_count; ++k) {
        const std::uint32_t v = sel[k];
        std::size_t j = k;
        while (j > 0 && track.t_s[sel[j - 1]] - track.t_s[v] >= same_epoch_s) {
            sel[j] = sel[j - 1];
            --j;
        }
        sel[j] = v;
    }
}

// Same selection on a time-ordered track by bisection: walks outwards from
// the target, taking the nearer side and, on a tie, the earlier record. False
// when the rounding of offsets makes two records on the left equally distant
// at the window's edge; the full scan then decides the tie.
bool nearest_by_bisection(const Sp3Track& track, double t, std::uint32_t (&sel)[node_count]) noexcept {
    const double* ts = track.t_s.data();
    const std::size_t n = track.size();
    const std::size_t p = static_cast<std::size_t>(std::lower_bound(ts, ts + n, t) - ts);
    std::size_t lo = p, hi = p;  // picked [lo, hi)
    for (std::size_t k = 0; k < node_count; ++k) {
        if (lo == 0) {
            ++hi;
        } else if (hi == n) {
            --lo;
        } else if (t - ts[lo - 1] <= ts[hi] - t) {
            --lo;
        } else {
            ++hi;
        }
    }
    if (lo > 0 && lo < p && ts[lo - 1] - t == ts[lo] - t) return false;
    for (std::size_t k = 0; k < node_count; ++k) sel[k] = static_cast<std::uint32_t>(lo + k);
    return true;
}

Ecef neville(const Sp3Track& track, double t, const std::uint32_t (&sel)[node_count]) noexcept {
    double tn[node_count], dt[node_count], px[node_count], py[node_count], pz[node_count];
    for (std::size_t i = 0; i < node_count; ++i) {
        const std::uint32_t k = sel[i];
        tn[i] = track.t_s[k];
        dt[i] = tn[i] - t;
        // At a node the polynomial is the node itself.
        if (dt[i] == 0.0) return {track.x[k], track.y[k], track.z[k]};
        px[i] = track.x[k];
        py[i] = track.y[k];
        pz[i] = track.z[k];
    }
    for (std::size_t m = 1; m < node_count; ++m) {
        for (std::size_t i = 0; i + m < node_count; ++i) {
            // Nodes are distinct epochs, so the denominator is never zero.
            const double den = tn[i + m] - tn[i];
            px[i] = (dt[i + m] * px[i] - dt[i] * px[i + 1]) / den;
            py[i] = (dt[i + m] * py[i] - dt[i] * py[i + 1]) / den;
            pz[i] = (dt[i + m] * pz[i] - dt[i] * pz[i + 1]) / den;
        }
    }
    return {px[0], py[0], pz[0]};
}

std::optional<Ecef> interpolate_on(const Sp3Track& track, const Epoch& epoch, bool bisect) noexcept {
    if (track.size() < node_count || !std::isfinite(epoch.second)) return std::nullopt;
    const double t = util::seconds_between(track.reference, epoch);
    if (!std::isfinite(t)) return std::nullopt;
    // No extrapolation beyond one record interval (plus rounding) of the table.
    const double reach = track.step_s + 1e-6;
    if (t < track.first_s - reach || t > track.last_s + reach) return std::nullopt;
    std::uint32_t sel[node_count];
    if (!(bisect && track.time_ordered && nearest_by_bisection(track, t, sel))) nearest_by_scan(track, t, sel);
    return neville(track, t, sel);
}

std::optional<Ecef> interpolate(const Sp3Data& sp3, const Satellite& sat, const Epoch& epoch, bool bisect) noexcept {
    if (const Sp3Track* track = sp3.track(sat)) return interpolate_on(*track, epoch, bisect);
    // Tables not built (an Sp3Data assembled by hand): prepare this satellite now.
    const std::vector<Sp3Record>* records = sp3.find(sat);
    if (!records) return std::nullopt;
    try {
        return interpolate_on(make_track(*records), epoch, bisect);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace

void Sp3Data::build_index() {
    index_.clear();
    tracks_.clear();
    index_.reserve(satellites.size());
    for (std::size_t i = 0; i < satellites.size() && i < positions.size(); ++i)
        index_.try_emplace(util::sort_key(satellites[i]), static_cast<std::uint32_t>(i));
    tracks_.reserve(positions.size());
    for (const auto& records : positions) tracks_.push_back(make_track(records));
}

const std::vector<Sp3Record>* Sp3Data::find(const util::Satellite& sat) const noexcept {
    const std::size_t n = std::min(satellites.size(), positions.size());
    if (index_.size() == n) {
        const auto it = index_.find(util::sort_key(sat));
        return it == index_.end() ? nullptr : &positions[it->second];
    }
    for (std::size_t i = 0; i < n; ++i)
        if (satellites[i] == sat) return &positions[i];
    return nullptr;
}

const Sp3Track* Sp3Data::track(const util::Satellite& sat) const noexcept {
    const std::size_t n = std::min(satellites.size(), positions.size());
    if (tracks_.size() != positions.size() || index_.size() != n) return nullptr;
    const auto it = index_.find(util::sort_key(sat));
    return it == index_.end() ? nullptr : &tracks_[it->second];
}

std::optional<Ecef> interpolate_position(const Sp3Data& sp3, const util::Satellite& sat,
                                         const util::Epoch& epoch) noexcept {
    return interpolate(sp3, sat, epoch, true);
}

std::optional<Ecef> interpolate_position_by_full_scan(const Sp3Data& sp3, const util::Satellite& sat,
                                                      const util::Epoch& epoch) noexcept {
    return interpolate(sp3, sat, epoch, false);
}

std::optional<Ecef> Sp3Orbit::position(const util::Satellite& sat, const util::Epoch& epoch) const noexcept {
    return interpolate_position(sp3_, sat, epoch);
}

}  // namespace skarvo::nav
