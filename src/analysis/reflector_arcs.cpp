#include "analysis/reflector_arcs.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>

#include "utils/frequencies.hpp"
#include "utils/time.hpp"

namespace skarvo::analysis {

using util::ObsCode;
using util::ObsKind;

namespace {

constexpr double deg = std::numbers::pi / 180.0;

struct Sample {
    double t;
    double el;
    double az;
};

bool wanted_code(const ObsCode& c, std::span<const ObsCode> codes) noexcept {
    if (codes.empty()) return true;
    return std::any_of(codes.begin(), codes.end(),
                       [&](const ObsCode& w) { return w.band == c.band && w.attribute == c.attribute; });
}

/// Thins `arc` to at most max_points samples with a uniform stride.
void thin(SnrArc& arc, std::size_t max_points) {
    const std::size_t n = arc.t.size();
    if (max_points == 0 || n <= max_points) return;
    const std::size_t step = (n + max_points - 1) / max_points;
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; i += step, ++k) {
        arc.t[k] = arc.t[i];
        arc.snr_dbhz[k] = arc.snr_dbhz[i];
        arc.elevation_deg[k] = arc.elevation_deg[i];
        arc.azimuth_deg[k] = arc.azimuth_deg[i];
    }
    arc.t.resize(k);
    arc.snr_dbhz.resize(k);
    arc.elevation_deg.resize(k);
    arc.azimuth_deg.resize(k);
}

}  // namespace

bool in_sectors(double azimuth_deg, std::span<const AzimuthSector> sectors) noexcept {
    if (sectors.empty()) return true;
    double az = std::fmod(azimuth_deg, 360.0);
    if (az < 0.0) az += 360.0;
    for (const AzimuthSector& s : sectors) {
        const double lo = s.lo_deg, hi = s.hi_deg;
        if (lo <= hi ? (az >= lo && az < hi) : (az >= lo || az < hi)) return true;
    }
    return false;
}

double gap_limit_s(const ArcSelection& selection) noexcept {
    return selection.max_gap_s > 0.0 ? selection.max_gap_s : 3.0 * selection.interval_s;
}

std::vector<SnrArc> select_arcs(const rinex::RinexObsData& data, const util::Satellite& sat,
                                std::span<const SatRecord> records, const SkyFunction& sky,
                                const ArcSelection& sel) {
    std::vector<SnrArc> arcs;
    if (!sel.systems.empty() && std::find(sel.systems.begin(), sel.systems.end(), sat.system) == sel.systems.end())
        return arcs;
    std::vector<ObsCode> codes;
    for (const ObsCode& c : snr_codes(data, records))
        if (wanted_code(c, sel.codes)) codes.push_back(c);
    if (codes.empty()) return arcs;

    // Geometry once per record, shared by the satellite's signals. Records
    // outside a generous band around the window are not needed.
    std::vector<Sample> geo(records.size(), Sample{0.0, std::nan(""), 0.0});
    for (std::size_t i = 0; i < records.size(); ++i) {
        const util::Epoch& epoch = data.epochs[records[i].epoch].epoch;
        geo[i].t = util::unix_seconds(epoch);
        if (const auto d = sky(sat, epoch)) {
            geo[i].el = d->elevation_deg;
            geo[i].az = d->azimuth_deg;
        }
    }

    std::optional<std::int8_t> fcn;
    if (sat.system == util::GnssSystem::GLONASS) fcn = util::resolve_glonass_fcn(sat.prn, data.header.glonass_slots);
    const double max_gap = gap_limit_s(sel);
    const double lo_el = sel.min_elevation_deg, hi_el = sel.max_elevation_deg;

    for (const ObsCode& code : codes) {
        const auto f = util::carrier_frequency(util::system_letter(sat.system), code.band, fcn);
        if (!f) continue;
        SnrArc cur;
        auto close = [&] {
            if (cur.t.size() >= sel.min_points) {
                thin(cur, sel.max_points);
                arcs.push_back(std::move(cur));
            }
            cur = SnrArc{};
        };
        int direction = 0;  // sign of the elevation change inside the current arc
        for (std::size_t i = 0; i < records.size(); ++i) {
            const Sample& g = geo[i];
            const rinex::ObsEntry* o = data.find(data.sat_obs[records[i].sat_obs], code);
            const bool usable = o && o->value > 0.0 && std::isfinite(o->value) && std::isfinite(g.el) &&
                                g.el >= lo_el && g.el <= hi_el && in_sectors(g.az, sel.sectors);
            if (!usable) {
                close();
                direction = 0;
                continue;
            }
            if (!cur.t.empty()) {
                const double dt = g.t - cur.t.back();
                const double de = g.el - cur.elevation_deg.back();
                const int dir = de > 0.0 ? 1 : (de < 0.0 ? -1 : direction);
                // The satellite turned inside the window, or time jumped.
                if (!(dt > 0.0) || dt > max_gap || (direction != 0 && dir != 0 && dir != direction)) {
                    close();
                    direction = 0;
                } else if (direction == 0) {
                    direction = dir;
                }
            }
            if (cur.t.empty()) {
                cur.satellite = sat;
                cur.code = code;
                cur.wavelength_m = util::wavelength(*f);
            }
            cur.t.push_back(g.t);
            cur.snr_dbhz.push_back(o->value);
            cur.elevation_deg.push_back(g.el);
            cur.azimuth_deg.push_back(g.az);
            cur.rising = direction >= 0;
        }
        close();
    }
    return arcs;
}

void arc_delta_snr(const SnrArc& arc, unsigned order, std::vector<double>& x, std::vector<double>& residual) {
    const std::size_t n = arc.t.size();
    x.resize(n);
    residual.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = std::sin(arc.elevation_deg[i] * deg);
        residual[i] = std::pow(10.0, arc.snr_dbhz[i] / 20.0);
    }
    if (n == 0) return;
    if (n < static_cast<std::size_t>(order) + 2) {
        double mean = 0.0;
        for (double v : residual) mean += v;
        mean /= static_cast<double>(n);
        for (double& v : residual) v -= mean;
        return;
    }
    // Powers of x scaled to [-1, 1] keep the design matrix well conditioned.
    const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
    const double mid = 0.5 * (*lo + *hi);
    const double half = *hi > *lo ? 0.5 * (*hi - *lo) : 1.0;
    const auto cols = static_cast<Eigen::Index>(order) + 1;
    Eigen::MatrixXd a(static_cast<Eigen::Index>(n), cols);
    Eigen::Map<Eigen::VectorXd> y(residual.data(), static_cast<Eigen::Index>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const double u = (x[i] - mid) / half;
        double p = 1.0;
        for (Eigen::Index k = 0; k < cols; ++k) {
            a(static_cast<Eigen::Index>(i), k) = p;
            p *= u;
        }
    }
    const Eigen::VectorXd coef = a.colPivHouseholderQr().solve(y);
    y -= a * coef;
}

}  // namespace skarvo::analysis
