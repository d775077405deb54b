// SNR series, detrending, the Morlet transform and its companions, the
// parallel SNR analysis and Fresnel zones.
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "analysis/detrend.hpp"
#include "analysis/fresnel.hpp"
#include "analysis/morlet.hpp"
#include "analysis/snr_analysis.hpp"
#include "analysis/snr_series.hpp"
#include "analysis/wavelet_tools.hpp"
#include "python/bindings.hpp"
#include "python/float_input.hpp"
#include "utils/time.hpp"

namespace skarvo::python {

namespace an = skarvo::analysis;

namespace {

/// Python `SnrSeries`: one S-code series of one satellite.
struct PySnrSeries {
    std::string satellite;  // as the caller wrote it
    char system = 'G';
    std::string code;
    std::vector<double> times;
    std::vector<double> values;
};

using BandList = std::vector<std::pair<double, double>>;

/// A new list of Python floats (built directly: outputs reach millions of
/// values).
py::list float_list(std::span<const double> values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (!list) throw py::error_already_set();
    py::list out = py::reinterpret_steal<py::list>(list);
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (!f) throw py::error_already_set();
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), f);
    }
    return out;
}

/// Rows of a row-major block of `rows` x `columns` values as lists.
py::list float_rows(std::span<const double> block, std::size_t rows, std::size_t columns) {
    py::list out(rows);
    for (std::size_t j = 0; j < rows; ++j) out[j] = float_list(block.subspan(j * columns, columns));
    return out;
}

}  // namespace

void bind_snr_series(py::module_& m) {
    py::class_<PySnrSeries> cls(m, "SnrSeries");
    cls.def_property_readonly("satellite", [](const PySnrSeries& s) { return s.satellite; });
    cls.def_property_readonly("system", [](const PySnrSeries& s) { return std::string(1, s.system); });
    cls.def_property_readonly("code", [](const PySnrSeries& s) { return s.code; });
    cls.def_property_readonly(
        "times", [](const PySnrSeries& s) { return float_list(s.times); }, "Unix seconds (file time scale)");
    cls.def_property_readonly(
        "values", [](const PySnrSeries& s) { return float_list(s.values); }, "SNR values (dB-Hz)");
    cls.def(
        "epochs_iso",
        [](const PySnrSeries& s) {
            py::list out(s.times.size());
            for (std::size_t i = 0; i < s.times.size(); ++i) {
                const auto dt = util::datetime_from_unix_seconds(s.times[i]);
                out[i] = py::str(dt ? util::iso_text(*dt) : std::string());
            }
            return out;
        },
        "epochs_iso($self)\n--\n\nEpochs as ISO 8601 strings (computed on demand)");
    cls.def("__repr__", [](const PySnrSeries& s) {
        return "SnrSeries(satellite='" + s.satellite + "', code='" + s.code +
               "', points=" + std::to_string(s.values.size()) + ")";
    });
    finish_class(cls, "SnrSeries", "SNR time series for one satellite and one S-code", nullptr);
}

void add_rinex_snr_methods(py::class_<PyRinexObsData>& cls) {
    cls.def(
        "snr_codes",
        [](const PyRinexObsData& self, const SatelliteText& satellite) {
            std::vector<std::string> out;
            for (const util::ObsCode& c : value_or_raise(an::snr_codes_named(*self.data, satellite.text)))
                out.push_back(c.text());
            return out;
        },
        py::arg("satellite"),
        "snr_codes($self, satellite)\n--\n\nS-codes with data for a satellite (e.g. [\"S1C\", \"S2W\"])\n\n"
        "`satellite` is an identifier such as 'G05' or a Satellite object.");
    cls.def(
        "get_snr_series",
        [](const PyRinexObsData& self, const SatelliteText& satellite, std::optional<std::string> code) {
            an::NamedSnrSeries found = value_or_raise(an::snr_series_named(*self.data, satellite.text, code));
            const char system = util::system_letter(found.satellite.system);
            py::list out;
            for (an::SnrSeriesData& d : found.series) {
                out.append(py::cast(PySnrSeries{satellite.text, system, d.code.text(), std::move(d.times),
                                                std::move(d.values)}));
            }
            return out;
        },
        py::arg("satellite"), py::arg("code") = py::none(),
        "get_snr_series($self, satellite, code=None)\n--\n\n"
        "SNR time series for one satellite: one SnrSeries per S-code, or only\n"
        "the requested code. Times are unix seconds in the file's time scale.\n\n"
        "`satellite` is an identifier such as 'G05' or a Satellite object (as\n"
        "satellites() returns them); `code` an S-code such as 'S1C'. Raises\n"
        "ValueError for an identifier or code that does not parse.");
}

void bind_morlet_cwt(py::module_& m) {
    m.def(
        "morlet_cwt",
        [](const FloatVec& y, double dt, double dj, std::optional<double> s0) {
            util::Result<an::MorletTransform> r = util::GnssError(util::ErrorKind::Other);
            {
                // The input is a C++ copy; the transform touches no Python object.
                py::gil_scoped_release release;
                r = an::morlet_transform(y.v, dt, dj, s0);
            }
            const an::MorletTransform t = value_or_raise(std::move(r));
            py::list power(t.scales.size());
            for (std::size_t j = 0; j < t.scales.size(); ++j) power[j] = float_list(t.row(j));
            py::dict out;
            out["power"] = power;
            out["scales"] = float_list(t.scales);
            out["periods"] = float_list(t.periods);
            out["coi"] = float_list(t.coi);
            return out;
        },
        py::arg("y"), py::arg("dt"), py::arg("dj") = 0.125, py::arg("s0") = py::none(),
        "morlet_cwt(y, dt, dj=0.125, s0=None)\n--\n\n"
        "Morlet continuous wavelet transform (Torrence & Compo 1998).\n"
        "Returns {\"power\", \"scales\", \"periods\", \"coi\"}; `power` has one row per scale.");
}

void bind_band_power(py::module_& m) {
    m.def(
        "band_power",
        [](const FloatVec& y, double dt, const BandList& bands, double dj) {
            const std::vector<an::PeriodBand> b = period_bands_arg(bands);
            util::Result<an::SeriesBandPower> r = util::GnssError(util::ErrorKind::Other);
            {
                // Works on C++ copies of the arguments only.
                py::gil_scoped_release release;
                r = an::series_band_power(y.v, dt, b, dj);
            }
            const an::SeriesBandPower p = value_or_raise(std::move(r));
            return float_rows(p.power, b.size(), p.n);
        },
        py::arg("y"), py::arg("dt"), py::arg("bands"), py::arg("dj") = 0.125,
        "band_power(y, dt, bands, dj=0.125)\n--\n\n"
        "Scale-averaged wavelet power of `y` for each `(lo, hi)` period band (s).");
}

void bind_red_noise_significance(py::module_& m) {
    m.def(
        "red_noise_significance",
        [](const FloatVec& y, double dt, const FloatVec& periods, double confidence) {
            return float_list(an::red_noise_significance(y.v, dt, periods.v, confidence));
        },
        py::arg("y"), py::arg("dt"), py::arg("periods"), py::arg("confidence") = 0.95,
        "red_noise_significance(y, dt, periods, confidence=0.95)\n--\n\n"
        "Red-noise significance level per period (T&C eq. 16-18).");
}

void bind_period_bands(py::module_& m) {
    m.def(
        "period_bands",
        [](double dt) {
            py::list out;
            for (const an::PeriodBand& b : an::period_bands(dt)) out.append(py::make_tuple(b.lo_s, b.hi_s));
            return out;
        },
        py::arg("dt"),
        "period_bands(dt)\n--\n\nInterval-adaptive period bands (s) for SNR band power.");
}

void bind_detrend_arc(py::module_& m) {
    m.def(
        "detrend_arc",
        [](const FloatVec& t, const FloatVec& values, std::uint64_t max_order) {
            auto r = value_or_raise(an::detrend_arc(t.v, values.v, static_cast<std::size_t>(max_order)));
            return py::make_tuple(float_list(r.residual), r.order);
        },
        py::arg("t"), py::arg("values"), py::arg("max_order") = 9,
        "detrend_arc(t, values, max_order=9)\n--\n\n"
        "Remove the best polynomial trend (order 2..max_order). Returns (residual, order).");
}

void bind_split_arcs(py::module_& m) {
    m.def(
        "split_arcs",
        [](const FloatVec& times, double dt, double gap_factor) {
            py::list out;
            for (const an::ArcRange& a : an::split_arcs(times.v, dt, gap_factor)) out.append(py::make_tuple(a.start, a.stop));
            return out;
        },
        py::arg("times"), py::arg("dt"), py::arg("gap_factor") = 5.0,
        "split_arcs(times, dt, gap_factor=5.0)\n--\n\n"
        "Split increasing times into contiguous arcs at gaps > gap_factor·dt.\n"
        "Returns (start, stop) index pairs.");
}

void bind_fresnel_zone(py::module_& m) {
    m.def(
        "fresnel_zone",
        [](double elevation, double antenna_height, std::optional<double> wavelength) {
            const an::FresnelZone z = an::fresnel_zone(elevation, antenna_height, wavelength);
            return py::make_tuple(z.a_m, z.b_m, z.dist_m);
        },
        py::arg("elevation"), py::arg("antenna_height"), py::arg("wavelength") = py::none(),
        "fresnel_zone(elevation, antenna_height, wavelength=None)\n--\n\n"
        "First Fresnel zone (a, b, distance) in metres for a horizontal reflector\n"
        "`antenna_height` below the antenna. Wavelength defaults to GPS L1.\n\n"
        "`a` and `b` are the semi-major axis (along the satellite's azimuth) and the\n"
        "semi-minor axis of the zone. `distance` is the horizontal distance from the\n"
        "antenna to the specular reflection point, antenna_height / tan(elevation); the\n"
        "zone's centre lies beyond it, at (antenna_height + wavelength / (2 sin e)) /\n"
        "tan e, so the zone reaches from centre - a to centre + a along the azimuth.\n"
        "Elevations below 0.5 degrees are taken as 0.5.");
}

void bind_fresnel_map(py::module_& m) {
    m.def(
        "fresnel_map",
        [](const std::vector<std::tuple<SatelliteText, FloatVec, FloatVec>>& tracks, double antenna_height,
           double min_elevation, std::optional<double> wavelength) {
            std::vector<an::SkyTrack> sky;
            sky.reserve(tracks.size());
            for (const auto& [sat, az, el] : tracks) sky.push_back({sat.text, az.v, el.v});
            const auto prints = an::fresnel_map(sky, antenna_height, min_elevation, wavelength);
            py::list out;
            for (const an::FresnelFootprint& f : prints) {
                py::dict d;
                d["sat"] = sky[f.track].satellite;
                d["az"] = f.az_deg;
                d["el"] = f.el_deg;
                d["a"] = f.zone.a_m;
                d["b"] = f.zone.b_m;
                d["dist"] = f.zone.dist_m;
                out.append(d);
            }
            return out;
        },
        py::arg("tracks"), py::arg("antenna_height"), py::arg("min_elevation") = 5.0,
        py::arg("wavelength") = py::none(),
        "fresnel_map(tracks, antenna_height, min_elevation=5.0, wavelength=None)\n--\n\n"
        "Fresnel footprints along satellite tracks, one per 10°×10° az/el cell.\n"
        "`tracks` is a list of (satellite, azimuths, elevations) in degrees.\n"
        "Returns dicts with keys sat, az, el, a, b, dist.");
}

void bind_scalogram(py::module_& m) {
    m.def(
        "scalogram",
        [](const FloatVec& t, const FloatVec& values, double interval, std::uint64_t max_columns) {
            util::Result<an::Scalogram> r = util::GnssError(util::ErrorKind::Other);
            {
                // Reads only the C++ copies of the arguments.
                py::gil_scoped_release release;
                r = an::scalogram(t.v, values.v, interval, static_cast<std::size_t>(max_columns));
            }
            const an::Scalogram s = value_or_raise(std::move(r));
            py::dict out;
            out["t"] = float_list(s.t);
            out["periods"] = float_list(s.periods);
            out["power"] = float_rows(s.power, s.periods.size(), s.t.size());
            out["significance"] = float_list(s.significance);
            out["coi"] = float_list(s.coi);
            out["interval"] = s.interval;
            return out;
        },
        py::arg("t"), py::arg("values"), py::arg("interval"), py::arg("max_columns") = 600,
        "scalogram(t, values, interval, max_columns=600)\n--\n\n"
        "Wavelet scalogram of the longest arc: {\"t\", \"periods\", \"power\",\n"
        "\"significance\", \"coi\", \"interval\"}. Needs at least 40 samples.");
}

std::vector<an::PeriodBand> period_bands_arg(const BandList& bands) {
    std::vector<an::PeriodBand> out;
    out.reserve(bands.size());
    for (const auto& [lo, hi] : bands) out.push_back({lo, hi});
    return out;
}

an::SnrWaveletRun run_snr_wavelets(const PyRinexObsData& obs,
                                   const std::optional<std::vector<SatelliteText>>& satellites,
                                   std::optional<double> interval,
                                   const std::optional<std::vector<std::pair<double, double>>>& bands) {
    an::SnrWaveletRequest request;
    if (satellites) {
        request.satellites.emplace();
        for (const SatelliteText& s : *satellites) request.satellites->push_back(s.text);
    }
    request.interval = interval;
    if (bands) request.bands = period_bands_arg(*bands);
    const std::shared_ptr<const rinex::RinexObsData> data = obs.data;
    util::Result<an::SnrWaveletRun> r = util::GnssError(util::ErrorKind::Other);
    {
        // The observation data is immutable and shared; the request is a
        // C++ copy.
        py::gil_scoped_release release;
        r = an::run_snr_wavelets(*data, request);
    }
    return value_or_raise(std::move(r));
}

void bind_analyze_snr_wavelets(py::module_& m) {
    m.def(
        "analyze_snr_wavelets",
        [](const PyRinexObsData& obs, std::optional<std::vector<SatelliteText>> satellites,
           std::optional<double> interval, std::optional<BandList> bands) {
            an::SnrWaveletRun run = run_snr_wavelets(obs, satellites, interval, bands);
            py::list band_list;
            for (const an::PeriodBand& b : run.bands) {
                py::list pair;
                pair.append(b.lo_s);
                pair.append(b.hi_s);
                band_list.append(pair);
            }
            struct Lists {
                py::object series(const std::vector<double>& v) { return float_list(v); }
                py::object orders(const std::vector<unsigned>& o) { return py::cast(o); }
                py::object rows(const std::vector<double>& block, std::size_t rows, std::size_t columns) {
                    return float_rows(block, rows, columns);
                }
            } as;
            return snr_wavelet_dict(run, std::move(band_list), as);
        },
        py::arg("obs"), py::arg("satellites") = py::none(), py::arg("interval") = py::none(),
        py::arg("bands") = py::none(),
        "analyze_snr_wavelets(obs, satellites=None, interval=None, bands=None)\n--\n\n"
        "δSNR residuals and band power per satellite, computed in parallel.\n"
        "Returns {\"bands\", \"interval\", \"residuals\": {sat: {code, t0, t, v, orders}},\n"
        "\"band_power\": {sat: {t, power}}}.");
}

}  // namespace skarvo::python
