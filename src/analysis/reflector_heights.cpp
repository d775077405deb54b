#include "analysis/reflector_heights.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numbers>

#include "analysis/lomb_scargle.hpp"
#include "analysis/morlet.hpp"
#include "utils/pool.hpp"
#include "utils/time.hpp"

namespace skarvo::analysis {

namespace {

constexpr double deg = std::numbers::pi / 180.0;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
/// Scale resolution of the ridge transform (16 scales per octave).
constexpr double ridge_dj = 1.0 / 16.0;
/// Most ridge segments per arc: neighbouring ridge samples are strongly
/// correlated, so an arc counts as a few observations, not hundreds.
constexpr std::size_t max_segments_per_arc = 4;

double median_of(std::vector<double> v) {
    if (v.empty()) return nan;
    const std::size_t m = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m), v.end());
    const double hi = v[m];
    if (v.size() % 2 == 1) return hi;
    const double lo = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(m));
    return 0.5 * (lo + hi);
}

/// 1.4826 times the median absolute deviation from `centre`.
double robust_std(const std::vector<double>& v, double centre) {
    std::vector<double> d(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) d[i] = std::abs(v[i] - centre);
    return 1.4826 * median_of(std::move(d));
}

/// Elevation rate (rad/s) at every sample, by central differences.
std::vector<double> elevation_rate(const SnrArc& arc) {
    const std::size_t n = arc.t.size();
    std::vector<double> rate(n, 0.0);
    if (n < 2) return rate;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t a = i == 0 ? 0 : i - 1, b = i + 1 < n ? i + 1 : n - 1;
        const double dt = arc.t[b] - arc.t[a];
        rate[i] = dt > 0.0 ? (arc.elevation_deg[b] - arc.elevation_deg[a]) * deg / dt : 0.0;
    }
    return rate;
}

/// Linear interpolation of (t, v) at tau (t ascending, tau inside).
double interp(std::span<const double> t, std::span<const double> v, double tau) {
    const auto it = std::upper_bound(t.begin(), t.end(), tau);
    if (it == t.begin()) return v.front();
    if (it == t.end()) return v.back();
    const auto j = static_cast<std::size_t>(it - t.begin());
    const double w = (tau - t[j - 1]) / (t[j] - t[j - 1]);
    return v[j - 1] + w * (v[j] - v[j - 1]);
}

/// Ridge of the Morlet transform of the arc's delta-SNR (resampled to its
/// median step), converted to apparent height with the elevation rate and
/// averaged into a few segments. Samples inside the cone of influence, at
/// the edge of the searched periods or outside the height range are left
/// out.
std::vector<RidgeSegment> arc_ridge(const SnrArc& arc, std::span<const double> residual,
                                    std::span<const double> rate, const ReflectorSettings& s) {
    std::vector<RidgeSegment> out;
    const std::size_t n = arc.t.size();
    if (n < 16) return out;
    std::vector<double> steps(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) steps[i] = arc.t[i + 1] - arc.t[i];
    const double dt = median_of(steps);
    if (!(dt > 0.0)) return out;
    const double span = arc.t.back() - arc.t.front();
    const std::size_t m = static_cast<std::size_t>(std::floor(span / dt + 1e-9)) + 1;
    if (m < 16 || m > 100000) return out;

    std::vector<double> tu(m), yu(m), gu(m), au(m);
    double gmin = std::numeric_limits<double>::infinity(), gmax = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        tu[i] = arc.t.front() + static_cast<double>(i) * dt;
        yu[i] = interp(arc.t, residual, tu[i]);
        const double e = interp(arc.t, arc.elevation_deg, tu[i]) * deg;
        const double r = interp(arc.t, rate, tu[i]);
        gu[i] = std::cos(e) * std::abs(r);
        au[i] = r != 0.0 ? std::tan(e) / r : 0.0;
        gmin = std::min(gmin, gu[i]);
        gmax = std::max(gmax, gu[i]);
    }
    if (!(gmin > 0.0)) return out;
    // Periods (s) of the interference for the height range along this arc.
    const double lam = arc.wavelength_m;
    const PeriodBand band{0.8 * lam / (2.0 * s.max_height_m * gmax), 1.25 * lam / (2.0 * s.min_height_m * gmin)};
    auto tr = morlet_transform(yu, dt, ridge_dj, std::nullopt, std::span<const PeriodBand>(&band, 1));
    if (!tr) return out;
    const MorletTransform& w = tr.value();
    std::size_t j_lo = w.periods.size(), j_hi = 0;
    for (std::size_t j = 0; j < w.periods.size(); ++j) {
        if (w.periods[j] >= band.lo_s && w.periods[j] < band.hi_s) {
            j_lo = std::min(j_lo, j);
            j_hi = std::max(j_hi, j);
        }
    }
    if (j_lo == w.periods.size() || j_hi < j_lo + 2) return out;

    struct Point {
        double t, h, a;
    };
    std::vector<Point> pts;
    for (std::size_t i = 0; i < m; ++i) {
        std::size_t best = j_lo;
        double pmax = -1.0;
        for (std::size_t j = j_lo; j <= j_hi; ++j) {
            const double p = w.power[j * m + i];
            if (p > pmax) {
                pmax = p;
                best = j;
            }
        }
        if (best == j_lo || best == j_hi || !(pmax > 0.0)) continue;
        // Parabola through the log-power of the neighbouring scales.
        const double l0 = std::log(w.power[(best - 1) * m + i]), l1 = std::log(pmax),
                     l2 = std::log(w.power[(best + 1) * m + i]);
        const double den = l0 - 2.0 * l1 + l2;
        double off = den < 0.0 ? 0.5 * (l0 - l2) / den : 0.0;
        off = std::clamp(off, -0.5, 0.5);
        const double period = w.periods[best] * std::exp2(off * ridge_dj);
        if (period > w.coi[i]) continue;
        const double h = lam / (2.0 * period * gu[i]);
        if (h < s.min_height_m || h > s.max_height_m) continue;
        pts.push_back({tu[i], h, au[i]});
    }
    if (pts.size() < 3) return out;
    const std::size_t segs = std::min(max_segments_per_arc, std::max<std::size_t>(1, pts.size() / 3));
    for (std::size_t k = 0; k < segs; ++k) {
        const std::size_t a = k * pts.size() / segs, b = (k + 1) * pts.size() / segs;
        RidgeSegment r;
        for (std::size_t i = a; i < b; ++i) {
            r.t += pts[i].t;
            r.height_m += pts[i].h;
            r.rate_factor_s += pts[i].a;
        }
        const double c = static_cast<double>(b - a);
        r.t /= c;
        r.height_m /= c;
        r.rate_factor_s /= c;
        r.samples = static_cast<std::uint32_t>(b - a);
        out.push_back(r);
    }
    return out;
}

/// Uniform cubic B-spline on [t0, t0 + k*delta]: the four basis values and
/// their time derivatives at t, and the index of the first coefficient.
struct SplineRow {
    std::size_t first = 0;
    double b[4] = {0, 0, 0, 0};
    double d[4] = {0, 0, 0, 0};
};

SplineRow spline_row(double t, double t0, double delta, std::size_t intervals) {
    SplineRow r;
    const double u = (t - t0) / delta;
    const double cell = std::clamp(std::floor(u), 0.0, static_cast<double>(intervals - 1));
    const double f = u - cell;
    r.first = static_cast<std::size_t>(cell);
    const double g = 1.0 - f;
    r.b[0] = g * g * g / 6.0;
    r.b[1] = (3.0 * f * f * f - 6.0 * f * f + 4.0) / 6.0;
    r.b[2] = (-3.0 * f * f * f + 3.0 * f * f + 3.0 * f + 1.0) / 6.0;
    r.b[3] = f * f * f / 6.0;
    r.d[0] = -0.5 * g * g / delta;
    r.d[1] = (1.5 * f * f - 2.0 * f) / delta;
    r.d[2] = (-1.5 * f * f + f + 0.5) / delta;
    r.d[3] = 0.5 * f * f / delta;
    return r;
}

}  // namespace

const char* verdict_text(ArcVerdict v) noexcept {
    switch (v) {
        case ArcVerdict::Accepted: return "accepted";
        case ArcVerdict::Coverage: return "coverage";
        case ArcVerdict::Amplitude: return "amplitude";
        case ArcVerdict::PeakToNoise: return "peak_to_noise";
        case ArcVerdict::Edge: return "edge";
    }
    return "accepted";
}

std::vector<double> height_grid(const ReflectorSettings& s) {
    std::vector<double> h;
    const double count = std::floor((s.max_height_m - s.min_height_m) / s.height_step_m + 1e-9) + 1.0;
    const auto n = static_cast<std::size_t>(count);
    h.reserve(n);
    for (std::size_t k = 0; k < n; ++k) h.push_back(s.min_height_m + static_cast<double>(k) * s.height_step_m);
    return h;
}

std::optional<std::string> check_settings(const ReflectorSettings& s) {
    const ArcSelection& a = s.selection;
    auto finite = [](double v) { return std::isfinite(v); };
    if (!finite(a.min_elevation_deg) || !finite(a.max_elevation_deg) || a.min_elevation_deg < 0.0 ||
        a.max_elevation_deg > 90.0 || !(a.min_elevation_deg < a.max_elevation_deg))
        return "elevation window must satisfy 0 <= low < high <= 90 degrees";
    for (const AzimuthSector& z : a.sectors)
        if (!finite(z.lo_deg) || !finite(z.hi_deg) || z.lo_deg < 0.0 || z.lo_deg >= 360.0 || z.hi_deg < 0.0 ||
            z.hi_deg > 360.0 || z.lo_deg == z.hi_deg)
            return "azimuth sectors must be pairs (low, high) of distinct degrees in [0, 360]";
    if (!finite(s.min_height_m) || !finite(s.max_height_m) || !(s.min_height_m > 0.0) ||
        !(s.min_height_m < s.max_height_m) || s.max_height_m > 500.0)
        return "heights must satisfy 0 < low < high <= 500 metres";
    if (!finite(s.height_step_m) || !(s.height_step_m > 0.0))
        return "height_step must be positive";
    if ((s.max_height_m - s.min_height_m) / s.height_step_m > 50000.0)
        return "height grid too fine: at most 50000 heights";
    if (s.poly_order > 10) return "poly_order must lie in [0, 10]";
    if (a.min_points < 8) return "min_points must be at least 8";
    if (!finite(a.max_gap_s) || a.max_gap_s < 0.0) return "max_gap must be zero (automatic) or positive";
    if (!finite(a.interval_s) || !(a.interval_s > 0.0)) return "interval must be positive";
    if (!finite(s.min_amplitude) || s.min_amplitude < 0.0) return "min_amplitude must be zero or positive";
    if (!finite(s.min_peak_to_noise) || s.min_peak_to_noise < 0.0) return "min_peak_to_noise must be zero or positive";
    if (!finite(s.min_coverage) || s.min_coverage < 0.0 || s.min_coverage > 1.0)
        return "min_coverage must lie in [0, 1]";
    if (!finite(s.knot_spacing_s) || !(s.knot_spacing_s >= 600.0)) return "knot_spacing must be at least 600 seconds";
    if (!finite(s.output_step_s) || !(s.output_step_s >= 1.0)) return "output_step must be at least 1 second";
    return std::nullopt;
}

ReflectorArcResult estimate_arc(const SnrArc& arc, std::span<const double> heights, const ReflectorSettings& s) {
    ReflectorArcResult r;
    r.satellite = arc.satellite;
    r.code = arc.code;
    r.signal = std::string(util::system_short_name(arc.satellite.system)) + " " + arc.code.text();
    r.wavelength_m = arc.wavelength_m;
    r.rising = arc.rising;
    const std::size_t n = arc.t.size();
    r.points = static_cast<std::uint32_t>(n);
    if (n == 0) return r;
    r.t_start = arc.t.front();
    r.t_end = arc.t.back();
    double st = 0.0, sx = 0.0, sy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        st += arc.t[i];
        sx += std::cos(arc.azimuth_deg[i] * deg);
        sy += std::sin(arc.azimuth_deg[i] * deg);
    }
    r.t_mean = st / static_cast<double>(n);
    r.azimuth_deg = std::fmod(std::atan2(sy, sx) / deg + 360.0, 360.0);
    const auto [emin, emax] = std::minmax_element(arc.elevation_deg.begin(), arc.elevation_deg.end());
    r.min_elevation_deg = *emin;
    r.max_elevation_deg = *emax;
    const ArcSelection& sel = s.selection;
    r.coverage = (*emax - *emin) / (sel.max_elevation_deg - sel.min_elevation_deg);

    thread_local std::vector<double> x, y, freqs, amp, scratch;
    arc_delta_snr(arc, s.poly_order, x, y);
    freqs.resize(heights.size());
    for (std::size_t k = 0; k < heights.size(); ++k) freqs[k] = 2.0 * heights[k] / arc.wavelength_m;
    amp.resize(heights.size());
    lomb_scargle_amplitude(x, y, freqs, amp, scratch);

    const auto peak = std::max_element(amp.begin(), amp.end());
    const auto k = static_cast<std::size_t>(peak - amp.begin());
    double total = 0.0;
    for (double a : amp) total += a;
    r.noise = amp.empty() ? 0.0 : total / static_cast<double>(amp.size());
    r.amplitude = amp.empty() ? 0.0 : *peak;
    r.height_m = heights.empty() ? nan : heights[k];
    const bool edge = k == 0 || k + 1 >= amp.size();
    if (!edge) {
        // Vertex of the parabola through the peak and its neighbours.
        const double a0 = amp[k - 1], a1 = amp[k], a2 = amp[k + 1];
        const double den = a0 - 2.0 * a1 + a2;
        if (den < 0.0) {
            const double off = std::clamp(0.5 * (a0 - a2) / den, -0.5, 0.5);
            r.height_m = heights[k] + off * (heights[k + 1] - heights[k]);
            r.amplitude = a1 - 0.25 * (a0 - a2) * off;
        }
    }
    r.peak_to_noise = r.noise > 0.0 ? r.amplitude / r.noise : 0.0;

    const std::vector<double> rate = elevation_rate(arc);
    double fsum = 0.0;
    std::size_t fcount = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (rate[i] == 0.0) continue;
        fsum += std::tan(arc.elevation_deg[i] * deg) / rate[i];
        ++fcount;
    }
    r.rate_factor_s = fcount ? fsum / static_cast<double>(fcount) : 0.0;

    if (r.coverage < s.min_coverage) r.verdict = ArcVerdict::Coverage;
    else if (r.amplitude < s.min_amplitude) r.verdict = ArcVerdict::Amplitude;
    else if (r.peak_to_noise < s.min_peak_to_noise) r.verdict = ArcVerdict::PeakToNoise;
    else if (edge) r.verdict = ArcVerdict::Edge;

    if (s.keep_periodograms) r.periodogram.assign(amp.begin(), amp.end());
    if (s.time_resolved && r.verdict == ArcVerdict::Accepted) r.ridge = arc_ridge(arc, y, rate, s);
    return r;
}

std::vector<DailyHeight> daily_heights(std::span<const ReflectorArcResult> arcs) {
    struct Group {
        std::vector<double> h;
        std::uint32_t rejected = 0;
        double t_start = std::numeric_limits<double>::infinity(), t_end = -std::numeric_limits<double>::infinity();
    };
    std::map<std::string, Group> groups;
    Group all;
    for (const ReflectorArcResult& a : arcs) {
        Group& g = groups[a.signal];
        for (Group* target : {&g, &all}) {
            if (a.verdict != ArcVerdict::Accepted) {
                ++target->rejected;
                continue;
            }
            target->h.push_back(a.height_m);
            target->t_start = std::min(target->t_start, a.t_start);
            target->t_end = std::max(target->t_end, a.t_end);
        }
    }
    std::vector<DailyHeight> out;
    auto summary = [](const std::string& name, const Group& g) {
        DailyHeight d;
        d.signal = name;
        d.arcs = static_cast<std::uint32_t>(g.h.size());
        d.rejected = g.rejected;
        if (g.h.empty()) {
            d.height_m = d.mean_m = d.std_m = d.sigma_median_m = d.t_start = d.t_end = nan;
            return d;
        }
        d.height_m = median_of(g.h);
        double sum = 0.0;
        for (double v : g.h) sum += v;
        d.mean_m = sum / static_cast<double>(g.h.size());
        d.std_m = robust_std(g.h, d.height_m);
        d.sigma_median_m = 1.2533 * d.std_m / std::sqrt(static_cast<double>(g.h.size()));
        d.t_start = g.t_start;
        d.t_end = g.t_end;
        return d;
    };
    for (const auto& [name, g] : groups) out.push_back(summary(name, g));
    if (!arcs.empty()) out.push_back(summary("all", all));
    return out;
}

namespace {

/// Least-squares spline with the height-rate term over the segments not
/// excluded by `skip`; returns the coefficients and, when asked, the normal
/// matrix.
Eigen::VectorXd fit_spline(const std::vector<RidgeSegment>& segs, const std::vector<SplineRow>& rows,
                           const std::vector<std::uint8_t>& skip, const Eigen::MatrixXd& penalty, double mu,
                           Eigen::MatrixXd* normal_out) {
    const Eigen::Index p = penalty.rows();
    Eigen::MatrixXd normal = mu * penalty;
    Eigen::VectorXd rhs = Eigen::VectorXd::Zero(p);
    for (std::size_t i = 0; i < segs.size(); ++i) {
        if (skip[i]) continue;
        double row[4];
        for (int q = 0; q < 4; ++q) row[q] = rows[i].b[q] + segs[i].rate_factor_s * rows[i].d[q];
        const auto f = static_cast<Eigen::Index>(rows[i].first);
        for (int a = 0; a < 4; ++a) {
            rhs(f + a) += row[a] * segs[i].height_m;
            for (int b = 0; b < 4; ++b) normal(f + a, f + b) += row[a] * row[b];
        }
    }
    Eigen::VectorXd coef = normal.ldlt().solve(rhs);
    if (normal_out) *normal_out = std::move(normal);
    return coef;
}

double spline_value(const Eigen::VectorXd& coef, const SplineRow& row) {
    const auto f = static_cast<Eigen::Index>(row.first);
    double h = 0.0;
    for (int a = 0; a < 4; ++a) h += coef(f + a) * row.b[a];
    return h;
}

/// Most spline intervals of the time-resolved height (dense normal matrix).
constexpr std::size_t max_spline_intervals = 500;
/// Most output samples of the time-resolved height.
constexpr double max_output_samples = 100000.0;

/// Groups of arcs left out in turn to estimate the spread of the fit.
constexpr std::size_t jackknife_groups = 10;

}  // namespace

HeightSeries height_series(std::span<const ReflectorArcResult> arcs, double t_first, double t_last,
                           const ReflectorSettings& s) {
    HeightSeries out;
    std::vector<std::size_t> arc_of;
    for (std::size_t k = 0; k < arcs.size(); ++k) {
        if (arcs[k].verdict != ArcVerdict::Accepted) continue;
        for (const RidgeSegment& r : arcs[k].ridge) {
            out.segments.push_back(r);
            arc_of.push_back(k);
        }
    }
    {
        std::vector<std::size_t> order(out.segments.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return out.segments[a].t < out.segments[b].t; });
        std::vector<RidgeSegment> segs;
        std::vector<std::size_t> arcs_sorted;
        for (std::size_t i : order) {
            segs.push_back(out.segments[i]);
            arcs_sorted.push_back(arc_of[i]);
        }
        out.segments = std::move(segs);
        arc_of = std::move(arcs_sorted);
    }
    const std::size_t n = out.segments.size();
    out.outlier.assign(n, 0);
    const double span = t_last - t_first;
    if (n < 4 || !(span > 0.0)) return out;

    // Knots: as close to the requested spacing as the span allows, and few
    // enough that every coefficient has data to lean on.
    // The normal matrix is dense, so the number of knots is capped: a long
    // span gets wider knot spacing instead of an unbounded system.
    std::size_t intervals = static_cast<std::size_t>(
        std::clamp(std::round(span / s.knot_spacing_s), 1.0, static_cast<double>(max_spline_intervals)));
    while (intervals > 1 && intervals + 3 > n / 2) --intervals;
    const double delta = span / static_cast<double>(intervals);
    out.knot_spacing_s = delta;
    const auto p = static_cast<Eigen::Index>(intervals + 3);

    std::vector<SplineRow> rows(n);
    for (std::size_t i = 0; i < n; ++i) rows[i] = spline_row(out.segments[i].t, t_first, delta, intervals);
    // A light penalty on second differences bridges stretches without data.
    Eigen::MatrixXd penalty = Eigen::MatrixXd::Zero(p, p);
    for (Eigen::Index k = 1; k + 1 < p; ++k) {
        const Eigen::Index idx[3] = {k - 1, k, k + 1};
        const double c[3] = {1.0, -2.0, 1.0};
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) penalty(idx[a], idx[b]) += c[a] * c[b];
    }
    const double mu = 0.01 * static_cast<double>(n) / static_cast<double>(p);

    Eigen::VectorXd coef;
    Eigen::MatrixXd normal;
    std::vector<double> resid(n, 0.0);
    double sigma0 = 0.0;
    for (int pass = 0; pass < 4; ++pass) {
        coef = fit_spline(out.segments, rows, out.outlier, penalty, mu, &normal);
        std::vector<double> kept;
        double ss = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            double model = 0.0;
            const auto f = static_cast<Eigen::Index>(rows[i].first);
            for (int q = 0; q < 4; ++q)
                model += coef(f + q) * (rows[i].b[q] + out.segments[i].rate_factor_s * rows[i].d[q]);
            resid[i] = out.segments[i].height_m - model;
            if (!out.outlier[i]) {
                kept.push_back(resid[i]);
                ss += resid[i] * resid[i];
            }
        }
        const double dof = static_cast<double>(kept.size()) - static_cast<double>(p);
        sigma0 = std::sqrt(ss / std::max(1.0, dof));
        out.residual_rms_m = std::sqrt(ss / static_cast<double>(std::max<std::size_t>(kept.size(), 1)));
        if (pass == 3) break;
        const double spread = std::max(robust_std(kept, median_of(kept)), 1e-3);
        bool changed = false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t flag = std::abs(resid[i]) > 3.0 * spread ? 1 : 0;
            if (flag != out.outlier[i]) changed = true;
            out.outlier[i] = flag;
        }
        if (!changed) break;
    }

    // Segments of one arc share its errors, so the formal covariance is too
    // optimistic; the spread of fits that leave out groups of whole arcs
    // (delete-a-group jackknife) is the honest one. The larger is reported.
    std::vector<Eigen::VectorXd> jack;
    for (std::size_t g = 0; g < jackknife_groups; ++g) {
        std::vector<std::uint8_t> skip = out.outlier;
        std::size_t left = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (arc_of[i] % jackknife_groups == g) skip[i] = 1;
            if (!skip[i]) ++left;
        }
        if (left >= static_cast<std::size_t>(p)) jack.push_back(fit_spline(out.segments, rows, skip, penalty, mu, nullptr));
    }
    const Eigen::MatrixXd cov = normal.ldlt().solve(Eigen::MatrixXd::Identity(p, p));
    const double step = std::max(s.output_step_s, span / max_output_samples);
    const auto steps = static_cast<std::size_t>(std::floor(span / step + 1e-9));
    std::vector<double> kept_t;
    for (std::size_t i = 0; i < n; ++i)
        if (!out.outlier[i]) kept_t.push_back(out.segments[i].t);  // sorted: segments are in time order
    for (std::size_t k = 0; k <= steps; ++k) {
        const double t = t_first + static_cast<double>(k) * step;
        const SplineRow row = spline_row(t, t_first, delta, intervals);
        const auto f = static_cast<Eigen::Index>(row.first);
        const double h = spline_value(coef, row);
        double var = 0.0;
        for (int a = 0; a < 4; ++a)
            for (int b = 0; b < 4; ++b) var += row.b[a] * row.b[b] * cov(f + a, f + b);
        double sigma = sigma0 * std::sqrt(std::max(var, 0.0));
        if (jack.size() >= 2) {
            double mean = 0.0;
            for (const auto& c : jack) mean += spline_value(c, row);
            mean /= static_cast<double>(jack.size());
            double jv = 0.0;
            for (const auto& c : jack) jv += (spline_value(c, row) - mean) * (spline_value(c, row) - mean);
            const double g = static_cast<double>(jack.size());
            sigma = std::max(sigma, std::sqrt((g - 1.0) / g * jv));
        }
        const auto near = std::lower_bound(kept_t.begin(), kept_t.end(), t - delta);
        const bool supported = near != kept_t.end() && *near <= t + delta;
        out.t.push_back(t);
        out.height_m.push_back(supported ? h : nan);
        out.sigma_m.push_back(supported ? sigma : nan);
    }
    return out;
}

ReflectorResult reflector_heights(const rinex::RinexObsData& data, const SkyFunction& sky,
                                  const ReflectorSettings& s) {
    ReflectorResult out;
    out.heights_m = height_grid(s);

    std::vector<util::Satellite> sats;
    for (const rinex::SatObs& so : data.sat_obs) sats.push_back(so.sat);
    std::sort(sats.begin(), sats.end(), util::satellite_less);
    sats.erase(std::unique(sats.begin(), sats.end()), sats.end());
    const std::vector<std::vector<SatRecord>> records = satellite_records(data, sats);

    std::vector<std::vector<SnrArc>> per_sat(sats.size());
    util::parallel_for(sats.size(),
                 [&](std::size_t i) { per_sat[i] = select_arcs(data, sats[i], records[i], sky, s.selection); });
    std::vector<SnrArc> arcs;
    for (auto& v : per_sat)
        for (auto& a : v) arcs.push_back(std::move(a));
    per_sat.clear();

    out.arcs.resize(arcs.size());
    util::parallel_for(arcs.size(), [&](std::size_t i) { out.arcs[i] = estimate_arc(arcs[i], out.heights_m, s); });
    out.daily = daily_heights(out.arcs);
    if (s.time_resolved && !data.epochs.empty()) {
        const double t_first = util::unix_seconds(data.epochs.front().epoch);
        const double t_last = util::unix_seconds(data.epochs.back().epoch);
        out.series = height_series(out.arcs, t_first, t_last, s);
    }
    return out;
}

}  // namespace skarvo::analysis
