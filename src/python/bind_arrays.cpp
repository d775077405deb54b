// NumPy, pandas and xarray views of observation data, analysis results and
// wavelet transforms. The three libraries are imported when a method runs,
// so the module imports without them and says which one is missing.
//
// Large columns are allocated as NumPy arrays first and filled by the core
// with the GIL released: the new arrays are not yet visible to any other
// Python code, and the sources are immutable or guarded by their own lock.
// Transform results are handed over without a copy: the array's base is a
// capsule that owns the C++ buffer.
#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/morlet.hpp"
#include "analysis/multipath.hpp"
#include "analysis/result_columns.hpp"
#include "analysis/wavelet_tools.hpp"
#include "python/bindings.hpp"
#include "python/float_input.hpp"
#include "rinex/obs_columns.hpp"
#include "rinex/obs_queries.hpp"

namespace skarvo::python {

using namespace pybind11::literals;

namespace {

constexpr const char* frames_hint = "pip install 'skarvo_mp[frames]'";

/// Imports an optional dependency, or raises ModuleNotFoundError naming the
/// method that needs it and how to install it.
py::module_ import_optional(const char* module, const char* library, const std::string& what, const char* hint) {
    try {
        return py::module_::import(module);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        raise(PyExc_ModuleNotFoundError, what + " needs " + library + ", which could not be imported (" +
                                             std::string(e.what()) + "); install it with: " + hint);
    }
}

py::module_ require_numpy(const std::string& what) { return import_optional("numpy", "NumPy", what, "pip install numpy"); }

py::ssize_t ssize(std::size_t n) { return static_cast<py::ssize_t>(n); }

py::array datetime_ms(std::size_t n) {
    return py::array(py::dtype("datetime64[ms]"), std::vector<py::ssize_t>{ssize(n)});
}

std::int64_t* ms_data(py::array& a) { return static_cast<std::int64_t*>(a.mutable_data()); }

py::array datetime_ms(const std::vector<std::int64_t>& values) {
    py::array a = datetime_ms(values.size());
    if (!values.empty()) std::memcpy(ms_data(a), values.data(), values.size() * sizeof(std::int64_t));
    return a;
}

/// A NumPy array of str (dtype '<U...').
py::array str_array(const py::module_& np, const std::vector<std::string>& items) {
    py::list list(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) list[i] = py::str(items[i]);
    return np.attr("array")(list, "dtype"_a = "U");
}

py::array satellite_ids(const py::module_& np, const std::vector<util::Satellite>& sats) {
    std::vector<std::string> ids;
    ids.reserve(sats.size());
    for (const util::Satellite& s : sats) ids.push_back(s.id());
    return str_array(np, ids);
}

py::array code_texts(const py::module_& np, const std::vector<util::ObsCode>& codes) {
    std::vector<std::string> texts;
    texts.reserve(codes.size());
    for (const util::ObsCode& c : codes) texts.push_back(c.text());
    return str_array(np, texts);
}

template <class T>
py::array_t<T> copy_array(const std::vector<T>& v) {
    return py::array_t<T>(ssize(v.size()), v.data());
}

/// The vector's buffer as an array of `shape`, owned by a capsule: no copy.
py::array_t<double> capsule_array(std::vector<double>&& v, std::vector<py::ssize_t> shape) {
    auto heap = std::make_unique<std::vector<double>>(std::move(v));
    double* ptr = heap->data();
    py::capsule owner(heap.get(), [](void* p) { delete static_cast<std::vector<double>*>(p); });
    heap.release();
    return py::array_t<double>(std::move(shape), ptr, owner);
}

// ---- RinexObsData -----------------------------------------------------------

py::dict obs_table_numpy(const std::shared_ptr<const rinex::RinexObsData>& data, const py::module_& np) {
    rinex::ObsTableLayout layout;
    {
        py::gil_scoped_release release;
        layout = rinex::obs_table_layout(*data);
    }
    const std::size_t n = layout.rows;
    py::array time = datetime_ms(n);
    py::array_t<std::int32_t> sat(ssize(n));
    py::array_t<std::int16_t> code(ssize(n));
    py::array_t<double> value(ssize(n));
    py::array_t<std::int8_t> lli(ssize(n)), ssi(ssize(n));
    const rinex::ObsTableColumns cols{ms_data(time),      sat.mutable_data(), code.mutable_data(),
                                      value.mutable_data(), lli.mutable_data(), ssi.mutable_data()};
    {
        py::gil_scoped_release release;
        rinex::fill_obs_table(*data, layout, cols);
    }
    py::dict out;
    out["time"] = time;
    out["satellite"] = sat;
    out["code"] = code;
    out["value"] = value;
    out["lli"] = lli;
    out["ssi"] = ssi;
    out["satellites"] = satellite_ids(np, layout.satellites);
    out["codes"] = code_texts(np, layout.codes);
    return out;
}

struct Grid {
    py::array time;
    py::array sv;
    std::vector<py::array_t<double>> blocks;  // per field: codes x times x satellites
    std::vector<std::string> names;
};

Grid obs_grid(const std::shared_ptr<const rinex::RinexObsData>& data, const py::module_& np,
              std::initializer_list<rinex::GridField> fields) {
    rinex::ObsGridLayout layout;
    {
        py::gil_scoped_release release;
        layout = rinex::obs_grid_layout(*data);
    }
    Grid g;
    g.time = datetime_ms(layout.times_ms);
    g.sv = satellite_ids(np, layout.satellites);
    for (const rinex::GridField field : fields) {
        py::array_t<double> block({ssize(layout.codes.size()), ssize(layout.times_ms.size()),
                                   ssize(layout.satellites.size())});
        const std::span<double> cells(block.mutable_data(), static_cast<std::size_t>(block.size()));
        {
            py::gil_scoped_release release;
            rinex::fill_obs_grid(*data, layout, cells, field);
        }
        g.blocks.push_back(std::move(block));
    }
    g.names = std::move(layout.names);
    return g;
}

py::dict obs_to_numpy(const PyRinexObsData& self, bool wide) {
    const py::module_ np = require_numpy("RinexObsData.to_numpy()");
    if (!wide) return obs_table_numpy(self.data, np);
    Grid g = obs_grid(self.data, np, {rinex::GridField::Value});
    py::dict out;
    out["time"] = g.time;
    out["sv"] = g.sv;
    for (std::size_t k = 0; k < g.names.size(); ++k) out[py::str(g.names[k])] = g.blocks[0][py::int_(k)];
    return out;
}

/// A pandas nullable Int8 array: -1 marks an absent digit.
py::object nullable_digits(const py::module_& pd, const py::object& digits) {
    return pd.attr("arrays").attr("IntegerArray")(digits, digits.attr("__lt__")(0));
}

py::object categorical(const py::module_& pd, const py::object& codes, const py::object& categories) {
    return pd.attr("Categorical").attr("from_codes")(codes, "categories"_a = categories);
}

py::object obs_to_pandas(const PyRinexObsData& self) {
    const py::module_ pd = import_optional("pandas", "pandas", "RinexObsData.to_pandas()", frames_hint);
    const py::module_ np = require_numpy("RinexObsData.to_pandas()");
    py::dict d = obs_table_numpy(self.data, np);
    py::dict cols;
    cols["time"] = d["time"];
    cols["satellite"] = categorical(pd, d["satellite"], d["satellites"]);
    cols["code"] = categorical(pd, d["code"], d["codes"]);
    cols["value"] = d["value"];
    cols["lli"] = nullable_digits(pd, d["lli"]);
    cols["ssi"] = nullable_digits(pd, d["ssi"]);
    return pd.attr("DataFrame")(cols);
}

py::object obs_to_xarray(const PyRinexObsData& self, bool indicators) {
    const py::module_ xr = import_optional("xarray", "xarray", "RinexObsData.to_xarray()", frames_hint);
    const py::module_ np = require_numpy("RinexObsData.to_xarray()");
    Grid g = indicators ? obs_grid(self.data, np, {rinex::GridField::Value, rinex::GridField::Lli, rinex::GridField::Ssi})
                        : obs_grid(self.data, np, {rinex::GridField::Value});
    const py::tuple dims = py::make_tuple("time", "sv");
    py::dict vars;
    for (std::size_t k = 0; k < g.names.size(); ++k) {
        vars[py::str(g.names[k])] = py::make_tuple(dims, g.blocks[0][py::int_(k)]);
        if (indicators) {
            vars[py::str(g.names[k] + "lli")] = py::make_tuple(dims, g.blocks[1][py::int_(k)]);
            vars[py::str(g.names[k] + "ssi")] = py::make_tuple(dims, g.blocks[2][py::int_(k)]);
        }
    }
    py::dict coords;
    coords["time"] = g.time;
    coords["sv"] = g.sv;

    const rinex::RinexHeader& h = self.data->header;
    py::dict attrs;
    attrs["version"] = py::float_(py::str(h.version.text()));
    if (const std::optional<double> interval = rinex::nominal_interval(*self.data)) attrs["interval"] = *interval;
    attrs["rinextype"] = "obs";
    if (!h.time_system.empty()) attrs["time_system"] = h.time_system;
    if (h.approx_position) {
        const rinex::Xyz& p = *h.approx_position;
        py::list pos;
        pos.append(p.x);
        pos.append(p.y);
        pos.append(p.z);
        attrs["position"] = pos;
    }
    if (!h.marker_name.empty()) attrs["marker_name"] = h.marker_name;
    if (!h.receiver_type.empty())
        attrs["rxmodel"] = h.receiver_version.empty() ? h.receiver_type : h.receiver_type + " " + h.receiver_version;
    if (!h.antenna_type.empty()) attrs["antenna_type"] = h.antenna_type;
    return xr.attr("Dataset")(vars, coords, attrs);
}

// ---- AnalysisResults ----------------------------------------------------------

py::dict estimates_numpy(const analysis::MultipathRun& run, const py::module_& np) {
    analysis::EstimateTableLayout layout;
    {
        py::gil_scoped_release release;
        layout = analysis::estimate_table_layout(run.estimates);
    }
    const std::size_t n = run.estimates.size();
    py::array_t<std::int32_t> sat(ssize(n));
    py::array system(py::dtype("U1"), std::vector<py::ssize_t>{ssize(n)});
    py::array time = datetime_ms(n);
    py::array_t<std::int16_t> signal(ssize(n));
    py::array_t<double> mp(ssize(n)), elevation(ssize(n)), azimuth(ssize(n)), snr(ssize(n));
    const analysis::EstimateColumns cols{sat.mutable_data(),       static_cast<char32_t*>(system.mutable_data()),
                                         ms_data(time),            signal.mutable_data(),
                                         mp.mutable_data(),        elevation.mutable_data(),
                                         azimuth.mutable_data(),   snr.mutable_data()};
    {
        py::gil_scoped_release release;
        analysis::fill_estimate_table(run.estimates, layout, cols);
    }
    py::dict out;
    out["satellite"] = sat;
    out["system"] = system;
    out["time"] = time;
    out["signal"] = signal;
    out["mp"] = mp;
    out["elevation"] = elevation;
    out["azimuth"] = azimuth;
    out["snr"] = snr;
    out["satellites"] = satellite_ids(np, layout.satellites);
    out["signals"] = code_texts(np, layout.signals);
    return out;
}

py::dict statistics_numpy(const analysis::MultipathRun& run, const py::module_& np) {
    const analysis::StatsTable t = analysis::stats_table(run.statistics);
    py::dict out;
    out["signal"] = str_array(np, t.signal);
    out["system"] = str_array(np, t.system);
    out["code"] = str_array(np, t.code);
    out["count"] = copy_array(t.count);
    out["rms"] = copy_array(t.rms);
    out["mean"] = copy_array(t.mean);
    out["std_dev"] = copy_array(t.std_dev);
    out["min"] = copy_array(t.min);
    out["max"] = copy_array(t.max);
    out["weighted_rms"] = copy_array(t.weighted_rms);
    out["cycle_slips"] = copy_array(t.cycle_slips);
    return out;
}

py::dict slips_numpy(const analysis::MultipathRun& run, const py::module_& np) {
    const analysis::SlipTable t = analysis::slip_table(run.slips.slips);
    py::dict out;
    out["satellite"] = str_array(np, t.satellite);
    out["system"] = str_array(np, t.system);
    out["time"] = datetime_ms(t.time_ms);
    out["method"] = str_array(np, t.method);
    out["signal"] = str_array(np, t.signal);
    out["magnitude"] = copy_array(t.magnitude);
    out["threshold"] = copy_array(t.threshold);
    return out;
}

py::dict results_to_numpy(py::handle self, ResultsAccess access, const char* what) {
    const py::module_ np = require_numpy(what);
    py::dict out;
    access(self, [&](const analysis::MultipathRun& run) {
        out["estimates"] = estimates_numpy(run, np);
        out["statistics"] = statistics_numpy(run, np);
        out["cycle_slips"] = slips_numpy(run, np);
    });
    return out;
}

py::object results_to_pandas(py::handle self, ResultsAccess access, const std::string& table) {
    const char* what = "AnalysisResults.to_pandas()";
    if (table != "estimates" && table != "statistics" && table != "cycle_slips")
        raise_value_error("table must be 'estimates', 'statistics' or 'cycle_slips', got '" + table + "'");
    const py::module_ pd = import_optional("pandas", "pandas", what, frames_hint);
    const py::module_ np = require_numpy(what);
    py::dict d;
    access(self, [&](const analysis::MultipathRun& run) {
        if (table == "estimates") d = estimates_numpy(run, np);
        else if (table == "statistics") d = statistics_numpy(run, np);
        else d = slips_numpy(run, np);
    });
    py::object frame_of = pd.attr("DataFrame");
    if (table != "estimates") {
        py::dict cols;
        for (auto item : d) {
            const std::string key = py::str(item.first);
            const bool label = key == "satellite" || key == "system" || key == "method" || key == "signal" ||
                               key == "code";
            cols[item.first] = label && table == "cycle_slips" ? pd.attr("Categorical")(item.second)
                                                                : py::reinterpret_borrow<py::object>(item.second);
        }
        return frame_of(cols);
    }
    py::dict cols;
    cols["satellite"] = categorical(pd, d["satellite"], d["satellites"]);
    cols["system"] = pd.attr("Categorical")(d["system"]);
    cols["time"] = d["time"];
    cols["signal"] = categorical(pd, d["signal"], d["signals"]);
    cols["mp"] = d["mp"];
    cols["elevation"] = d["elevation"];
    cols["azimuth"] = d["azimuth"];
    cols["snr"] = d["snr"];
    return frame_of(cols);
}

void add_method(py::handle cls, const char* name, py::cpp_function fn) { cls.attr(name) = fn; }

}  // namespace

void add_rinex_array_methods(py::class_<PyRinexObsData>& cls) {
    cls.def("to_numpy", &obs_to_numpy, py::arg("wide") = false,
            "to_numpy($self, wide=False)\n--\n\n"
            "The observations as NumPy arrays (needs NumPy).\n\n"
            "Long form (default): a dict of equal-length 1-D arrays, one row per stored\n"
            "observation in file order: 'time' (datetime64[ms], the epoch's calendar fields\n"
            "as written, no time scale applied), 'satellite' (int32 index into\n"
            "'satellites'), 'code' (int16 index into 'codes'), 'value' (float64), 'lli' and\n"
            "'ssi' (int8, -1 where absent); plus the lookup arrays 'satellites' (str, in\n"
            "the order of satellites()) and 'codes' (str, sorted).\n\n"
            "wide=True: 'time' (datetime64[ms], distinct epoch times with data, ascending),\n"
            "'sv' (str) and one float64 array of shape (time, sv) per observation code, NaN\n"
            "where absent (version 2 files use the header's two-letter types as names).\n"
            "Records sharing a time tag are merged, the later one winning.");
    cls.def("to_pandas", &obs_to_pandas,
            "to_pandas($self)\n--\n\n"
            "The long table of to_numpy() as a pandas DataFrame (needs pandas): satellite and\n"
            "code as categoricals, lli and ssi as nullable Int8 (<NA> where absent).");
    cls.def("to_xarray", &obs_to_xarray, py::arg("indicators") = false,
            "to_xarray($self, indicators=False)\n--\n\n"
            "The wide layout of to_numpy(wide=True) as an xarray.Dataset (needs xarray):\n"
            "dimensions 'time' and 'sv', one float64 variable per observation code, NaN where\n"
            "absent, and header fields in attrs (version, interval, rinextype, time_system,\n"
            "position, marker_name, rxmodel, antenna_type). indicators=True adds the\n"
            "variables <code>lli and <code>ssi (float64 digits, NaN where absent).");
}

void add_results_array_methods(py::handle cls, ResultsAccess access) {
    add_method(cls, "to_numpy",
               py::cpp_function([access](py::handle self) { return results_to_numpy(self, access, "AnalysisResults.to_numpy()"); },
                                py::name("to_numpy"), py::is_method(cls),
                                "to_numpy($self)\n--\n\n"
                                "The results as NumPy arrays (needs NumPy): a dict with\n"
                                "'estimates': equal-length columns in the order of `estimates`: 'satellite'\n"
                                "(int32 index into 'satellites'), 'system' (str), 'time' (datetime64[ms]),\n"
                                "'signal' (int16 index into 'signals'), 'mp' (metres), 'elevation' and\n"
                                "'azimuth' (degrees, as stored), 'snr' (dB-Hz, NaN where absent), plus the\n"
                                "lookup arrays 'satellites' and 'signals';\n"
                                "'statistics': one entry per signal label, the fields of MultipathStats;\n"
                                "'cycle_slips': one entry per slip, the fields of CycleSlip with 'time'\n"
                                "(datetime64[ms]) for the epoch."));
    add_method(cls, "to_pandas",
               py::cpp_function([access](py::handle self,
                                         const std::string& table) { return results_to_pandas(self, access, table); },
                                py::name("to_pandas"), py::is_method(cls), py::arg("table") = "estimates",
                                "to_pandas($self, table='estimates')\n--\n\n"
                                "One table of to_numpy() as a pandas DataFrame (needs pandas): 'estimates'\n"
                                "(labels as categoricals), 'statistics' or 'cycle_slips'."));
}

// ---- transforms -----------------------------------------------------------------

void bind_morlet_cwt_array(py::module_& m) {
    m.def(
        "morlet_cwt_array",
        [](const FloatVec& y, double dt, double dj, std::optional<double> s0) {
            require_numpy("morlet_cwt_array()");
            util::Result<analysis::MorletTransform> r = util::GnssError(util::ErrorKind::Other);
            {
                // The input is a C++ copy; the transform touches no Python object.
                py::gil_scoped_release release;
                r = analysis::morlet_transform(y.v, dt, dj, s0);
            }
            analysis::MorletTransform t = value_or_raise(std::move(r));
            const py::ssize_t rows = ssize(t.scales.size()), n = ssize(t.n);
            py::dict out;
            out["power"] = capsule_array(std::move(t.power), {rows, n});
            out["scales"] = capsule_array(std::move(t.scales), {rows});
            out["periods"] = capsule_array(std::move(t.periods), {rows});
            out["coi"] = capsule_array(std::move(t.coi), {n});
            return out;
        },
        py::arg("y"), py::arg("dt"), py::arg("dj") = 0.125, py::arg("s0") = py::none(),
        "morlet_cwt_array(y, dt, dj=0.125, s0=None)\n--\n\n"
        "morlet_cwt with NumPy arrays (needs NumPy): {\"power\": float64 (scales, n),\n"
        "\"scales\", \"periods\", \"coi\": float64 1-D}. The arrays own the transform's\n"
        "buffers (no copy); `y` may be a float64 array.");
}

void bind_band_power_array(py::module_& m) {
    m.def(
        "band_power_array",
        [](const FloatVec& y, double dt, const std::vector<std::pair<double, double>>& bands, double dj) {
            require_numpy("band_power_array()");
            const std::vector<analysis::PeriodBand> b = period_bands_arg(bands);
            util::Result<analysis::SeriesBandPower> r = util::GnssError(util::ErrorKind::Other);
            {
                // Works on C++ copies of the arguments only.
                py::gil_scoped_release release;
                r = analysis::series_band_power(y.v, dt, b, dj);
            }
            analysis::SeriesBandPower p = value_or_raise(std::move(r));
            return capsule_array(std::move(p.power), {ssize(b.size()), ssize(p.n)});
        },
        py::arg("y"), py::arg("dt"), py::arg("bands"), py::arg("dj") = 0.125,
        "band_power_array(y, dt, bands, dj=0.125)\n--\n\n"
        "band_power as one float64 array of shape (len(bands), n) (needs NumPy; no copy).");
}

void bind_scalogram_array(py::module_& m) {
    m.def(
        "scalogram_array",
        [](const FloatVec& t, const FloatVec& values, double interval, std::uint64_t max_columns) {
            require_numpy("scalogram_array()");
            util::Result<analysis::Scalogram> r = util::GnssError(util::ErrorKind::Other);
            {
                // Reads only the C++ copies of the arguments.
                py::gil_scoped_release release;
                r = analysis::scalogram(t.v, values.v, interval, static_cast<std::size_t>(max_columns));
            }
            analysis::Scalogram s = value_or_raise(std::move(r));
            const std::size_t cols = s.t.size(), rows = s.periods.size();
            py::dict out;
            out["t"] = capsule_array(std::move(s.t), {ssize(cols)});
            out["periods"] = capsule_array(std::move(s.periods), {ssize(rows)});
            out["power"] = capsule_array(std::move(s.power), {ssize(rows), ssize(cols)});
            out["significance"] = capsule_array(std::move(s.significance), {ssize(rows)});
            out["coi"] = capsule_array(std::move(s.coi), {ssize(cols)});
            out["interval"] = s.interval;
            return out;
        },
        py::arg("t"), py::arg("values"), py::arg("interval"), py::arg("max_columns") = 600,
        "scalogram_array(t, values, interval, max_columns=600)\n--\n\n"
        "scalogram with NumPy arrays (needs NumPy): \"power\" float64 (periods, columns),\n"
        "\"t\", \"periods\", \"significance\", \"coi\" float64 1-D, \"interval\" float.");
}

void bind_analyze_snr_wavelets_array(py::module_& m) {
    m.def(
        "analyze_snr_wavelets_array",
        [](const PyRinexObsData& obs, std::optional<std::vector<SatelliteText>> satellites,
           std::optional<double> interval, std::optional<std::vector<std::pair<double, double>>> bands) {
            const py::module_ np = require_numpy("analyze_snr_wavelets_array()");
            analysis::SnrWaveletRun run = run_snr_wavelets(obs, satellites, interval, bands);
            std::vector<double> band_block;
            for (const analysis::PeriodBand& b : run.bands) {
                band_block.push_back(b.lo_s);
                band_block.push_back(b.hi_s);
            }
            struct Arrays {
                py::object series(std::vector<double>& v) {
                    const py::ssize_t n = ssize(v.size());
                    return capsule_array(std::move(v), {n});
                }
                py::object orders(const std::vector<unsigned>& o) {
                    return copy_array(std::vector<std::int64_t>(o.begin(), o.end()));
                }
                py::object rows(std::vector<double>& block, std::size_t rows, std::size_t columns) {
                    return capsule_array(std::move(block), {ssize(rows), ssize(columns)});
                }
            } as;
            const py::ssize_t band_count = ssize(run.bands.size());
            return snr_wavelet_dict(run, capsule_array(std::move(band_block), {band_count, 2}), as);
        },
        py::arg("obs"), py::arg("satellites") = py::none(), py::arg("interval") = py::none(),
        py::arg("bands") = py::none(),
        "analyze_snr_wavelets_array(obs, satellites=None, interval=None, bands=None)\n--\n\n"
        "analyze_snr_wavelets with NumPy arrays (needs NumPy): \"bands\" float64 (n, 2);\n"
        "per satellite \"t\", \"v\" float64, \"orders\" int64, band-power \"t\" float64 and\n"
        "\"power\" float64 (bands, bins). Same values and keys as analyze_snr_wavelets.");
}

}  // namespace skarvo::python
