// Reflector heights from SNR and the Lomb-Scargle periodogram behind them.
// Results cross as NumPy arrays; NumPy is imported when one of these
// functions is called, so the module itself imports without it.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/lomb_scargle.hpp"
#include "analysis/reflector_run.hpp"
#include "python/bindings.hpp"

namespace skarvo::python {

namespace an = skarvo::analysis;

namespace {

py::array_t<double> doubles(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

template <class Rec, class F>
py::array_t<double> column(const std::vector<Rec>& recs, F f) {
    py::array_t<double> a(static_cast<py::ssize_t>(recs.size()));
    double* p = a.mutable_data();
    for (std::size_t i = 0; i < recs.size(); ++i) p[i] = f(recs[i]);
    return a;
}

template <class Rec, class F>
py::object text_column(const py::module_& np, const std::vector<Rec>& recs, F f) {
    py::list l(recs.size());
    for (std::size_t i = 0; i < recs.size(); ++i) l[i] = py::str(f(recs[i]));
    return np.attr("array")(l, py::arg("dtype") = "U");
}

template <class Rec, class F>
py::object bool_column(const py::module_& np, const std::vector<Rec>& recs, F f) {
    py::array_t<bool> a(static_cast<py::ssize_t>(recs.size()));
    bool* p = a.mutable_data();
    for (std::size_t i = 0; i < recs.size(); ++i) p[i] = f(recs[i]);
    return np.attr("asarray")(a);
}

py::object nan_to_none(double v) { return std::isfinite(v) ? py::object(py::float_(v)) : py::object(py::none()); }

py::dict arcs_dict(const py::module_& np, const std::vector<an::ReflectorArcResult>& arcs) {
    using A = an::ReflectorArcResult;
    py::dict d;
    d["satellite"] = text_column(np, arcs, [](const A& a) { return a.satellite.id(); });
    d["signal"] = text_column(np, arcs, [](const A& a) { return a.signal; });
    d["code"] = text_column(np, arcs, [](const A& a) { return a.code.text(); });
    d["rising"] = bool_column(np, arcs, [](const A& a) { return a.rising; });
    d["t_start"] = column(arcs, [](const A& a) { return a.t_start; });
    d["t_end"] = column(arcs, [](const A& a) { return a.t_end; });
    d["t_mean"] = column(arcs, [](const A& a) { return a.t_mean; });
    d["azimuth_deg"] = column(arcs, [](const A& a) { return a.azimuth_deg; });
    d["min_elevation_deg"] = column(arcs, [](const A& a) { return a.min_elevation_deg; });
    d["max_elevation_deg"] = column(arcs, [](const A& a) { return a.max_elevation_deg; });
    py::array_t<std::int64_t> points(static_cast<py::ssize_t>(arcs.size()));
    for (std::size_t i = 0; i < arcs.size(); ++i) points.mutable_data()[i] = arcs[i].points;
    d["points"] = points;
    d["wavelength_m"] = column(arcs, [](const A& a) { return a.wavelength_m; });
    d["height_m"] = column(arcs, [](const A& a) { return a.height_m; });
    d["amplitude"] = column(arcs, [](const A& a) { return a.amplitude; });
    d["noise"] = column(arcs, [](const A& a) { return a.noise; });
    d["peak_to_noise"] = column(arcs, [](const A& a) { return a.peak_to_noise; });
    d["coverage"] = column(arcs, [](const A& a) { return a.coverage; });
    d["rate_factor_s"] = column(arcs, [](const A& a) { return a.rate_factor_s; });
    d["accepted"] = bool_column(np, arcs, [](const A& a) { return a.verdict == an::ArcVerdict::Accepted; });
    d["reason"] = text_column(np, arcs, [](const A& a) { return std::string(an::verdict_text(a.verdict)); });
    return d;
}

py::list daily_list(const std::vector<an::DailyHeight>& daily) {
    py::list out;
    for (const an::DailyHeight& d : daily) {
        py::dict r;
        r["signal"] = d.signal;
        r["height_m"] = nan_to_none(d.height_m);
        r["std_m"] = nan_to_none(d.std_m);
        r["sigma_median_m"] = nan_to_none(d.sigma_median_m);
        r["mean_m"] = nan_to_none(d.mean_m);
        r["arcs"] = d.arcs;
        r["rejected"] = d.rejected;
        r["t_start"] = nan_to_none(d.t_start);
        r["t_end"] = nan_to_none(d.t_end);
        out.append(r);
    }
    return out;
}

py::dict series_dict(const py::module_& np, const an::HeightSeries& s) {
    using R = an::RidgeSegment;
    py::dict d;
    d["t"] = doubles(s.t);
    d["height_m"] = doubles(s.height_m);
    d["sigma_m"] = doubles(s.sigma_m);
    py::dict seg;
    seg["t"] = column(s.segments, [](const R& r) { return r.t; });
    seg["height_m"] = column(s.segments, [](const R& r) { return r.height_m; });
    seg["rate_factor_s"] = column(s.segments, [](const R& r) { return r.rate_factor_s; });
    std::vector<std::uint8_t> flags = s.outlier;
    py::array_t<bool> out(static_cast<py::ssize_t>(flags.size()));
    for (std::size_t i = 0; i < flags.size(); ++i) out.mutable_data()[i] = flags[i] != 0;
    seg["outlier"] = np.attr("asarray")(out);
    d["segments"] = seg;
    d["residual_rms_m"] = s.residual_rms_m;
    d["knot_spacing_s"] = s.knot_spacing_s;
    return d;
}

/// The numbers of a (low, high) argument; empty when it is not a sequence
/// of numbers (the core refuses any length but two).
std::vector<double> pair_values(const py::handle& h) {
    try {
        return h.cast<std::vector<double>>();
    } catch (const py::cast_error&) {
        return {};
    }
}

/// The sectors of an azimuth argument: None (every azimuth), one pair of
/// numbers (NumPy scalars included), or a list of pairs.
void azimuth_sectors(const py::object& azimuth, an::ReflectorRequest& request) {
    if (azimuth.is_none()) return;
    std::vector<py::object> items;
    try {
        items = azimuth.cast<std::vector<py::object>>();
    } catch (const py::cast_error&) {
        request.azimuth_listed = false;
        return;
    }
    auto number = [](const py::handle& h) {
        if (py::isinstance<py::str>(h) || py::hasattr(h, "__len__")) return false;
        try {
            (void)h.cast<double>();
            return true;
        } catch (const py::cast_error&) {
            return false;
        }
    };
    if (items.size() == 2 && number(items[0]) && number(items[1])) {
        request.azimuth.push_back(pair_values(azimuth));
    } else {
        for (const py::object& it : items) request.azimuth.push_back(pair_values(it));
    }
}

}  // namespace

void bind_lomb_scargle(py::module_& m) {
    m.def(
        "lomb_scargle",
        [](const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& frequencies) {
            if (x.size() != y.size()) raise_value_error("x and y must have the same length");
            const py::module_ np = py::module_::import("numpy");
            std::vector<double> amp;
            {
                // Works on the C++ copies made above.
                py::gil_scoped_release release;
                amp = an::lomb_scargle_amplitude(x, y, frequencies);
            }
            return doubles(amp);
        },
        py::arg("x"), py::arg("y"), py::arg("frequencies"),
        "lomb_scargle(x, y, frequencies)\n--\n\n"
        "Lomb-Scargle amplitude spectrum of y sampled at x (uneven spacing allowed).\n"
        "`frequencies` are in cycles per unit of x; each value is sqrt(4 P / n) with P the\n"
        "classical Lomb-Scargle power, i.e. the amplitude of a sinusoid at that frequency.\n"
        "Subtract the mean of y first. Returns a NumPy array; zeros for fewer than 3 samples.");
}

void bind_reflector_heights(py::module_& m) {
    m.def(
        "reflector_heights",
        [](const PyRinexObsData& obs, const py::object& orbit, std::optional<nav::Ecef> receiver,
           const py::object& elevation, const py::object& azimuth, const py::object& heights, double height_step,
           std::optional<std::vector<std::string>> systems, std::optional<std::vector<std::string>> codes,
           unsigned poly_order, std::size_t min_points, std::optional<double> max_gap, double min_amplitude,
           double min_peak_to_noise, double min_coverage, bool time_resolved, double knot_spacing,
           double output_step, bool periodograms) {
            an::ReflectorRequest request;
            if (py::isinstance<PySp3Data>(orbit))
                request.sp3 = orbit.cast<const PySp3Data&>().data;
            else if (py::isinstance<PyNavData>(orbit))
                request.broadcast = orbit.cast<const PyNavData&>().data;
            else
                throw py::type_error("orbit must be an Sp3Data (from read_sp3) or a NavData (from read_rinex_nav)");
            request.receiver = receiver;
            request.elevation = pair_values(elevation);
            request.heights = pair_values(heights);
            azimuth_sectors(azimuth, request);
            if (systems) request.systems = std::move(*systems);
            if (codes) request.codes = std::move(*codes);
            request.height_step_m = height_step;
            request.poly_order = poly_order;
            request.min_points = min_points;
            request.max_gap_s = max_gap;
            request.min_amplitude = min_amplitude;
            request.min_peak_to_noise = min_peak_to_noise;
            request.min_coverage = min_coverage;
            request.time_resolved = time_resolved;
            request.knot_spacing_s = knot_spacing;
            request.output_step_s = output_step;
            request.keep_periodograms = periodograms;
            const std::shared_ptr<const rinex::RinexObsData> data = obs.data;
            // The result is NumPy columns: without NumPy, say so before the work.
            const py::module_ np = py::module_::import("numpy");
            util::Result<an::ReflectorRun> done = util::GnssError(util::ErrorKind::Other);
            {
                // The observation data and the orbit are immutable and
                // shared; the request is a C++ copy.
                py::gil_scoped_release release;
                done = an::run_reflector_heights(*data, request);
            }
            if (!done) raise_value_error(done.error().message());
            const an::ReflectorRun& run = done.value();
            const an::ReflectorResult& r = run.result;
            const an::ReflectorSettings& s = run.settings;
            py::dict out;
            out["heights_m"] = doubles(r.heights_m);
            out["arcs"] = arcs_dict(np, r.arcs);
            if (periodograms) {
                py::array_t<double> pg({static_cast<py::ssize_t>(r.arcs.size()),
                                        static_cast<py::ssize_t>(r.heights_m.size())});
                double* p = pg.mutable_data();
                for (const an::ReflectorArcResult& a : r.arcs) {
                    std::copy(a.periodogram.begin(), a.periodogram.end(), p);
                    p += r.heights_m.size();
                }
                out["periodograms"] = pg;
            } else {
                out["periodograms"] = py::none();
            }
            out["daily"] = daily_list(r.daily);
            out["series"] = series_dict(np, r.series);
            py::dict settings;
            settings["elevation_deg"] = py::make_tuple(s.selection.min_elevation_deg, s.selection.max_elevation_deg);
            py::list sectors;
            for (const an::AzimuthSector& z : s.selection.sectors) sectors.append(py::make_tuple(z.lo_deg, z.hi_deg));
            settings["azimuth_deg"] = sectors;
            settings["heights_m"] = py::make_tuple(s.min_height_m, s.max_height_m);
            settings["height_step_m"] = s.height_step_m;
            settings["poly_order"] = s.poly_order;
            settings["min_points"] = s.selection.min_points;
            settings["max_gap_s"] = run.max_gap_s;
            settings["interval_s"] = s.selection.interval_s;
            settings["min_amplitude"] = s.min_amplitude;
            settings["min_peak_to_noise"] = s.min_peak_to_noise;
            settings["min_coverage"] = s.min_coverage;
            settings["knot_spacing_s"] = s.knot_spacing_s;
            settings["receiver_m"] = py::make_tuple(run.receiver.x, run.receiver.y, run.receiver.z);
            out["settings"] = settings;
            return out;
        },
        py::arg("obs"), py::arg("orbit"), py::arg("receiver") = py::none(), py::kw_only(),
        py::arg("elevation") = py::make_tuple(5.0, 25.0), py::arg("azimuth") = py::none(),
        py::arg("heights") = py::make_tuple(0.5, 8.0), py::arg("height_step") = 0.01,
        py::arg("systems") = py::none(), py::arg("codes") = py::none(), py::arg("poly_order") = 2u,
        py::arg("min_points") = 20u, py::arg("max_gap") = py::none(), py::arg("min_amplitude") = 2.0,
        py::arg("min_peak_to_noise") = 3.0, py::arg("min_coverage") = 0.75, py::arg("time_resolved") = true,
        py::arg("knot_spacing") = 3600.0, py::arg("output_step") = 900.0, py::arg("periodograms") = false,
        "reflector_heights(obs, orbit, receiver=None, *, elevation=(5.0, 25.0), azimuth=None, "
        "heights=(0.5, 8.0), height_step=0.01, systems=None, codes=None, poly_order=2, min_points=20, "
        "max_gap=None, min_amplitude=2.0, min_peak_to_noise=3.0, min_coverage=0.75, time_resolved=True, "
        "knot_spacing=3600.0, output_step=900.0, periodograms=False)\n--\n\n"
        "Reflector heights below the antenna from the SNR interference of every satellite arc.\n"
        "\n"
        "Each satellite's SNR per S-code is cut into rising and setting arcs inside the elevation\n"
        "window (degrees; optional azimuth sectors (low, high), wrapping through north when\n"
        "low > high), at turns and at gaps longer than `max_gap` seconds (default three sampling\n"
        "intervals); arcs with fewer than `min_points` samples are dropped. SNR becomes linear\n"
        "10^(S/20), a polynomial of `poly_order` in sin(elevation) is removed, and a Lomb-Scargle\n"
        "periodogram over the height grid `heights` (metres, step `height_step`) gives the height\n"
        "at its peak (frequency 2h/wavelength). An arc is accepted when its elevation span covers\n"
        "`min_coverage` of the window, its peak amplitude reaches `min_amplitude` (linear SNR\n"
        "units), the peak over the mean periodogram reaches `min_peak_to_noise`, and the peak is\n"
        "not at the grid's edge; otherwise `reason` names the first failed test.\n"
        "`orbit` is an Sp3Data (epochs more than one record spacing outside a satellite's records\n"
        "get no elevation) or a NavData (broadcast orbits); `receiver` an Ecef (default: the header's approximate position).\n"
        "\n"
        "Returns a dict: \"heights_m\" (the grid), \"arcs\" (columns as NumPy arrays: satellite,\n"
        "signal, code, rising, t_start, t_end, t_mean (Unix s), azimuth_deg, min/max_elevation_deg,\n"
        "points, wavelength_m, height_m, amplitude, noise, peak_to_noise, coverage, rate_factor_s,\n"
        "accepted, reason), \"periodograms\" (arcs x heights, when asked for), \"daily\" (per signal\n"
        "and \"all\": median height_m, std_m = 1.4826 MAD, sigma_median_m, mean_m, arcs, rejected),\n"
        "\"series\" (the height against time from the Morlet ridge of the accepted arcs, fitted as\n"
        "a cubic spline with knots every `knot_spacing` s including the height-rate term, sampled\n"
        "every `output_step` s: t, height_m, sigma_m, segments, residual_rms_m) and \"settings\".\n"
        "Needs NumPy. Raises ValueError for bad settings, TypeError for an orbit of another type.");
}

}  // namespace skarvo::python
