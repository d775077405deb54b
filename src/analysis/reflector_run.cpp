#include "analysis/reflector_run.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "navigation/nav_data.hpp"
#include "navigation/sky.hpp"
#include "navigation/sp3.hpp"

namespace skarvo::analysis {

namespace {

util::GnssError refused(std::string text) { return util::GnssError(util::ErrorKind::Other, std::move(text)); }

std::string pair_text(const char* name) { return std::string(name) + " must be a pair of numbers (low, high)"; }

/// The most common spacing is what the receiver logged; the first two
/// epochs may straddle a gap. 30 s when the file cannot tell.
double logged_interval(const rinex::RinexObsData& data) {
    double interval = 30.0;
    if (data.epochs.size() >= 2) {
        std::vector<double> steps;
        for (std::size_t i = 1; i < data.epochs.size() && steps.size() < 2000; ++i)
            steps.push_back(util::unix_seconds(data.epochs[i].epoch) - util::unix_seconds(data.epochs[i - 1].epoch));
        std::sort(steps.begin(), steps.end());
        const double med = steps[steps.size() / 2];
        if (med > 0.0 && std::isfinite(med)) interval = med;
    }
    return interval;
}

SkyFunction sky_of(const ReflectorRequest& request, const nav::Ecef& rx) {
    // Both orbit tables answer position queries from several pool threads
    // at once; neither is modified after reading.
    return [sp3 = request.sp3, broadcast = request.broadcast, rx](
               const util::Satellite& sat, const util::Epoch& epoch) -> std::optional<SkyDirection> {
        if (broadcast) {
            const auto pos = broadcast->position(sat, epoch);
            if (!pos) return std::nullopt;
            const auto [az, el] = nav::azimuth_elevation(rx, *pos);
            return SkyDirection{az, el};
        }
        const auto d = nav::sky_direction(*sp3, rx, sat, epoch);
        if (!d) return std::nullopt;
        return SkyDirection{d->first, d->second};
    };
}

}  // namespace

util::Result<ReflectorRun> run_reflector_heights(const rinex::RinexObsData& data, const ReflectorRequest& request) {
    ReflectorRun run;
    if (request.receiver) {
        run.receiver = *request.receiver;
    } else {
        const auto& p = data.header.approx_position;
        if (!p || std::sqrt(p->x * p->x + p->y * p->y + p->z * p->z) < 6.0e6)
            return refused("receiver position needed: the file header has no usable APPROX POSITION XYZ");
        run.receiver = nav::Ecef{p->x, p->y, p->z};
    }

    ReflectorSettings& s = run.settings;
    if (request.elevation.size() != 2) return refused(pair_text("elevation"));
    s.selection.min_elevation_deg = request.elevation[0];
    s.selection.max_elevation_deg = request.elevation[1];
    if (request.heights.size() != 2) return refused(pair_text("heights"));
    s.min_height_m = request.heights[0];
    s.max_height_m = request.heights[1];
    if (!request.azimuth_listed) return refused("azimuth must be a list of (low, high) sectors in degrees");
    for (const std::vector<double>& sector : request.azimuth) {
        if (sector.size() != 2) return refused(pair_text("azimuth sector"));
        s.selection.sectors.push_back({sector[0], sector[1]});
    }
    for (const std::string& t : request.systems) {
        const auto sys = t.size() == 1 ? util::system_from_letter(static_cast<unsigned char>(t[0])) : std::nullopt;
        if (!sys) return refused("Invalid system '" + t + "'");
        s.selection.systems.push_back(*sys);
    }
    for (const std::string& t : request.codes) {
        const auto c = util::parse_obs_code(t);
        if (!c || c->kind != util::ObsKind::Snr) return refused("Invalid SNR code '" + t + "'");
        s.selection.codes.push_back(*c);
    }
    s.height_step_m = request.height_step_m;
    s.poly_order = request.poly_order;
    s.selection.min_points = request.min_points;
    s.selection.max_gap_s = request.max_gap_s.value_or(0.0);
    s.selection.interval_s = logged_interval(data);
    s.min_amplitude = request.min_amplitude;
    s.min_peak_to_noise = request.min_peak_to_noise;
    s.min_coverage = request.min_coverage;
    s.time_resolved = request.time_resolved;
    s.knot_spacing_s = request.knot_spacing_s;
    s.output_step_s = request.output_step_s;
    s.keep_periodograms = request.keep_periodograms;
    if (const auto bad = check_settings(s)) return refused(*bad);

    run.max_gap_s = gap_limit_s(s.selection);
    run.result = reflector_heights(data, sky_of(request, run.receiver), s);
    return run;
}

}  // namespace skarvo::analysis
