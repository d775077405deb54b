// The multipath analyzer, its result classes and compute_elevation.
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "analysis/elevation_views.hpp"
#include "analysis/elevations.hpp"
#include "analysis/multipath.hpp"
#include "analysis/quality.hpp"
#include "navigation/sky.hpp"
#include "navigation/sp3.hpp"
#include "python/bindings.hpp"

namespace skarvo::python {

namespace {

using analysis::MpEstimate;
using analysis::MultipathRun;
using analysis::SignalStats;
using analysis::SlipRecord;

std::string iso_of_millis(std::int64_t ms) {
    std::int64_t secs = ms / 1000, rem = ms % 1000;
    if (rem < 0) {
        rem += 1000;
        secs -= 1;
    }
    return util::iso_text(util::DateTime{secs, static_cast<std::uint32_t>(rem) * 1000000u});
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

// ---- MultipathEstimate ---------------------------------------------------------
//
// Results hold hundreds of thousands of estimates, and every read of
// `estimates` builds a new list of them: a plain CPython type without
// per-instance bookkeeping keeps that at a few tens of nanoseconds each.

struct EstimateObject {
    PyObject_HEAD
    MpEstimate value;
};

PyTypeObject* estimate_type = nullptr;

MpEstimate& estimate_of(PyObject* self) { return reinterpret_cast<EstimateObject*>(self)->value; }

PyObject* new_estimate(const MpEstimate& e) {
    PyObject* obj = estimate_type->tp_alloc(estimate_type, 0);
    if (obj) new (&estimate_of(obj)) MpEstimate(e);
    return obj;
}

PyObject* unicode(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

PyObject* est_satellite(PyObject* self, void*) { return unicode(estimate_of(self).sat.id()); }
PyObject* est_system(PyObject* self, void*) {
    return unicode(std::string(1, util::system_letter(estimate_of(self).sat.system)));
}
PyObject* est_epoch(PyObject* self, void*) { return unicode(iso_of_millis(estimate_of(self).epoch_ms)); }
PyObject* est_signal(PyObject* self, void*) { return unicode(estimate_of(self).code.text()); }
PyObject* est_mp_value(PyObject* self, void*) { return PyFloat_FromDouble(estimate_of(self).mp_value_m); }
PyObject* est_elevation(PyObject* self, void*) { return PyFloat_FromDouble(estimate_of(self).elevation_deg); }
PyObject* est_azimuth(PyObject* self, void*) { return PyFloat_FromDouble(estimate_of(self).azimuth_deg); }
PyObject* est_snr(PyObject* self, void*) {
    const MpEstimate& e = estimate_of(self);
    if (!e.has_snr) Py_RETURN_NONE;
    return PyFloat_FromDouble(e.snr);
}

int set_degrees(PyObject* value, double& field) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return -1;
    field = v;
    return 0;
}
int est_set_elevation(PyObject* self, PyObject* value, void*) { return set_degrees(value, estimate_of(self).elevation_deg); }
int est_set_azimuth(PyObject* self, PyObject* value, void*) { return set_degrees(value, estimate_of(self).azimuth_deg); }

PyObject* est_repr(PyObject* self) {
    const MpEstimate& e = estimate_of(self);
    char mp[64];
    std::snprintf(mp, sizeof mp, "%.4f", e.mp_value_m);
    const std::string s = "MultipathEstimate(satellite=" + quote(e.sat.id()) + ", signal=" + quote(e.code.text()) +
                          ", epoch=" + quote(iso_of_millis(e.epoch_ms)) + ", mp_value=" + mp + ")";
    return unicode(s);
}

PyGetSetDef estimate_getset[] = {
    {"satellite", est_satellite, nullptr, "Satellite identifier, e.g. G05", nullptr},
    {"system", est_system, nullptr, "One-letter system code, e.g. G", nullptr},
    {"epoch", est_epoch, nullptr, "Epoch as ISO 8601 text (milliseconds), e.g. 2020-06-25T00:00:30.000Z", nullptr},
    {"signal", est_signal, nullptr, "Pseudorange code of the estimate, e.g. C1C", nullptr},
    {"mp_value", est_mp_value, nullptr, "Bias-corrected code multipath in metres", nullptr},
    {"elevation", est_elevation, est_set_elevation,
     "Elevation in degrees: 45.0 until compute_elevations fills it, NaN when the orbit could not place the "
     "satellite; settable on this copy",
     nullptr},
    {"azimuth", est_azimuth, est_set_azimuth,
     "Azimuth in degrees clockwise from north: 0.0 until compute_elevations fills it, NaN when the orbit could "
     "not place the satellite; settable on this copy",
     nullptr},
    {"snr", est_snr, nullptr, "Signal strength in dB-Hz, or None when the pair has no strength observation", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- results storage -------------------------------------------------------------

// The results of one analysis. compute_elevations holds the mutex for its
// whole call, partly without the GIL; readers take it too, and never wait
// for it while holding the GIL. Recursive: a getter may run again on the
// same thread from a finalizer while the lock is held to build a list.
struct ResultsStore {
    std::recursive_mutex mutex;
    MultipathRun run;
};

struct PyAnalysisResults {
    std::shared_ptr<ResultsStore> store;
};

std::unique_lock<std::recursive_mutex> lock_store(ResultsStore& s) {
    std::unique_lock<std::recursive_mutex> lock(s.mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        // Another thread is filling elevations; let it finish without the GIL.
        py::gil_scoped_release release;
        lock.lock();
    }
    return lock;
}

struct PyMultipathStats {
    SignalStats stats;
};

struct PyCycleSlip {
    SlipRecord slip;
};

struct PyMultipathAnalyzer {
    analysis::MultipathConfig config;
};

std::string format4(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    return buf;
}

py::list estimate_list(const std::vector<MpEstimate>& estimates) {
    py::list out(estimates.size());
    for (std::size_t i = 0; i < estimates.size(); ++i) {
        PyObject* obj = new_estimate(estimates[i]);
        if (!obj) throw py::error_already_set();
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), obj);
    }
    return out;
}

}  // namespace

void bind_multipath_estimate(py::module_& m) {
    static PyType_Slot slots[] = {
        {Py_tp_getset, estimate_getset},
        {Py_tp_repr, reinterpret_cast<void*>(est_repr)},
        {0, nullptr},
    };
    // The dotted name gives the module (no warning); finish_class shortens tp_name.
    static PyType_Spec estimate_layout = {"builtins.MultipathEstimate", static_cast<int>(sizeof(EstimateObject)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject* type = PyType_FromSpec(&estimate_layout);
    if (!type) throw py::error_already_set();
    estimate_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    py::handle cls(type);
    m.attr("MultipathEstimate") = cls;
    finish_class(cls, "MultipathEstimate", "Python-exposed Multipath estimate", nullptr);
}

void bind_multipath_stats(py::module_& m) {
    py::class_<PyMultipathStats> cls(m, "MultipathStats");
    cls.def_property_readonly(
        "signal", [](const PyMultipathStats& s) { return s.stats.label; }, "Signal label, e.g. GPSM1C");
    cls.def_property_readonly(
        "system",
        [](const PyMultipathStats& s) {
            return s.stats.system ? std::string(1, util::system_letter(*s.stats.system)) : std::string();
        },
        "One-letter system code of the first estimate; empty when count is 0");
    cls.def_property_readonly(
        "code", [](const PyMultipathStats& s) { return s.stats.count ? s.stats.code.text() : std::string(); },
        "Pseudorange code of the first estimate, e.g. C1C; empty when count is 0");
    cls.def_property_readonly(
        "count", [](const PyMultipathStats& s) { return s.stats.count; }, "Number of estimates");
    cls.def_property_readonly(
        "rms", [](const PyMultipathStats& s) { return s.stats.rms; }, "Root mean square in metres");
    cls.def_property_readonly(
        "mean", [](const PyMultipathStats& s) { return s.stats.mean; }, "Mean in metres");
    cls.def_property_readonly(
        "std_dev", [](const PyMultipathStats& s) { return s.stats.std_dev; },
        "Population standard deviation (divisor n) in metres");
    cls.def_property_readonly(
        "min", [](const PyMultipathStats& s) { return s.stats.min; }, "Smallest value in metres");
    cls.def_property_readonly(
        "max", [](const PyMultipathStats& s) { return s.stats.max; }, "Largest value in metres");
    cls.def_property_readonly(
        "weighted_rms", [](const PyMultipathStats& s) { return s.stats.weighted_rms; },
        "Elevation-weighted RMS in metres: weight 1 at 30 degrees and above, 4 sin^2 e below (0.268 at "
        "15 degrees), 0 at or below the horizon and for unknown (NaN) elevations; equals rms until "
        "compute_elevations supplies real elevations");
    cls.def_property_readonly(
        "cycle_slips", [](const PyMultipathStats& s) { return s.stats.cycle_slips; },
        "Number of distinct cycle slips that can cut this signal's arcs: reported slips of any satellite with "
        "a pair under this label, recorded on that pair's first or second phase; each slip counts once");
    cls.def("__repr__", [](const PyMultipathStats& s) {
        return "MultipathStats(signal=" + quote(s.stats.label) + ", rms=" + format4(s.stats.rms) +
               ", count=" + std::to_string(s.stats.count) + ")";
    });
    finish_class(cls, "MultipathStats", "Python-exposed Multipath statistics", nullptr);
}

void bind_cycle_slip(py::module_& m) {
    py::class_<PyCycleSlip> cls(m, "CycleSlip");
    cls.def_property_readonly(
        "satellite", [](const PyCycleSlip& s) { return s.slip.sat.id(); }, "Satellite identifier, e.g. G05");
    cls.def_property_readonly(
        "epoch", [](const PyCycleSlip& s) { return iso_of_millis(s.slip.epoch_ms); },
        "Epoch of the slip (the later of the two compared epochs) as ISO 8601 text");
    cls.def_property_readonly(
        "method", [](const PyCycleSlip& s) { return std::string(analysis::slip_method_name(s.slip.method)); },
        "Test that found the slip: 'gf' (geometry-free), 'code_phase' or 'lli' (loss-of-lock flag)");
    cls.def_property_readonly(
        "signal",
        [](const PyCycleSlip& s) { return s.slip.code_count ? s.slip.codes[0].text() : std::string(); },
        "Phase code of the slip, e.g. L1C");
    cls.def_property_readonly(
        "system", [](const PyCycleSlip& s) { return std::string(1, util::system_letter(s.slip.sat.system)); },
        "One-letter system code");
    cls.def_property_readonly(
        "magnitude", [](const PyCycleSlip& s) { return s.slip.magnitude; },
        "Change that triggered the slip in metres (1.0 for lli)");
    cls.def_property_readonly(
        "threshold", [](const PyCycleSlip& s) { return s.slip.threshold; },
        "Threshold that was exceeded in metres (0.0 for lli)");
    cls.def("__repr__", [](const PyCycleSlip& s) {
        return "CycleSlip(satellite=" + quote(s.slip.sat.id()) + ", epoch=" + quote(iso_of_millis(s.slip.epoch_ms)) +
               ", method=" + quote(analysis::slip_method_name(s.slip.method)) +
               ", signal=" + quote(s.slip.code_count ? s.slip.codes[0].text() : std::string()) + ")";
    });
    finish_class(cls, "CycleSlip", "Python-exposed Cycle slip", nullptr);
}

void bind_analysis_results(py::module_& m) {
    py::class_<PyAnalysisResults> cls(m, "AnalysisResults");
    cls.def_property_readonly(
        "estimates",
        [](const PyAnalysisResults& r) {
            auto lock = lock_store(*r.store);
            return estimate_list(r.store->run.estimates);
        },
        "All estimates (new copies on every read): by signal label, then satellite, arc and time");
    cls.def_property_readonly(
        "statistics",
        [](const PyAnalysisResults& r) {
            auto lock = lock_store(*r.store);
            py::list out;
            for (const SignalStats& s : r.store->run.statistics) out.append(py::cast(PyMultipathStats{s}));
            return out;
        },
        "Per-signal statistics, sorted by signal label (new copies on every read)");
    cls.def_property_readonly(
        "cycle_slips",
        [](const PyAnalysisResults& r) {
            auto lock = lock_store(*r.store);
            py::list out;
            for (const SlipRecord& s : r.store->run.slips.slips) out.append(py::cast(PyCycleSlip{s}));
            return out;
        },
        "Cycle slips of the analysed systems (and of the phases the code lists select), by epoch, satellite "
        "identifier and phase code (new copies on every read)");
    cls.def_property_readonly(
        "cycle_slip_counts",
        [](const PyAnalysisResults& r) {
            auto lock = lock_store(*r.store);
            py::dict out;
            for (const analysis::SlipCount& c : r.store->run.slips.counts)
                out[py::str(std::string(util::system_short_name(c.system)) + c.phase.text())] = c.count;
            return out;
        },
        "Slip counts per analysed system and phase code, e.g. {'GPSL1C': 3}; a gf slip counts for both "
        "its phases");
    cls.def(
        "total_estimates",
        [](const PyAnalysisResults& r) {
            auto lock = lock_store(*r.store);
            return r.store->run.estimates.size();
        },
        "total_estimates($self)\n--\n\nNumber of estimates");
    cls.def(
        "total_cycle_slips",
        [](const PyAnalysisResults& r) {
            auto lock = lock_store(*r.store);
            return r.store->run.slips.slips.size();
        },
        "total_cycle_slips($self)\n--\n\nNumber of cycle slips");
    cls.def(
        "compute_elevations",
        [](PyAnalysisResults& r, py::handle sp3, const nav::Ecef& receiver) {
            const OrbitArg orbit = orbit_argument(sp3, "compute_elevations", "sp3");
            const std::shared_ptr<ResultsStore> store = r.store;
            auto lock = lock_store(*store);
            analysis::ElevationCounts n;
            {
                // The orbit is immutable and the estimates are guarded by the
                // store's mutex, held for the whole call.
                py::gil_scoped_release release;
                n = analysis::attach_elevations(*orbit.source, receiver, store->run);
            }
            return py::make_tuple(n.computed, n.failed);
        },
        py::arg("sp3"), py::arg("receiver"),
        "compute_elevations($self, sp3, receiver)\n--\n\nCompute elevations and azimuths for all estimates "
        "using SP3 data\nReturns (computed_count, failed_count)\n\nEstimates above the horizon count as "
        "computed. Those the orbit cannot place (satellite missing, epoch outside the orbit's span) count as "
        "failed and get NaN elevation and azimuth, unless an earlier call placed them; those at or below the "
        "horizon count as failed with their real elevation. Then every signal's weighted_rms is recomputed "
        "(unknown elevations weigh 0).\n\n`sp3` is an Sp3Data (precise orbits) or a NavData (broadcast orbits "
        "of read_rinex_nav).");
    cls.def(
        "apply_elevation_mask",
        [](const PyAnalysisResults& r, std::optional<double> cutoff) {
            auto lock = lock_store(*r.store);
            std::optional<util::Result<MultipathRun>> masked;
            {
                // Reads the estimates under the store's mutex; the result is
                // a new run no other thread can see yet.
                py::gil_scoped_release release;
                masked.emplace(analysis::mask_at_cutoff(r.store->run, cutoff));
            }
            if (!*masked) raise_value_error(masked->error().message());
            auto out = std::make_shared<ResultsStore>();
            out->run = std::move(*masked).value();
            return PyAnalysisResults{std::move(out)};
        },
        py::arg("cutoff") = py::none(),
        "apply_elevation_mask($self, cutoff=None)\n--\n\nNew results with only the estimates at or above the "
        "elevation mask\n\nKeeps the estimates whose elevation is known and at least `cutoff` degrees "
        "(default: the analyzer's elevation_cutoff) and recomputes every statistic (count, rms, weighted_rms, "
        "mean, std_dev, min, max) from them.\n\n"
        "Use it after compute_elevations: analyze() only knows the placeholder elevation of 45 degrees, so "
        "before that the mask keeps every estimate or none. Estimates whose satellite the orbit could not "
        "place (elevation NaN) are dropped. A signal left without estimates stays listed with count 0. "
        "Cycle slips, their counts and each signal's cycle_slips are kept as they are. These results are "
        "not changed.");
    cls.def(
        "multipath_by_elevation",
        [](const PyAnalysisResults& r, double bin_width) {
            auto lock = lock_store(*r.store);
            std::optional<util::Result<std::vector<std::pair<std::string, analysis::ElevationBins>>>> bins;
            {
                py::gil_scoped_release release;
                bins.emplace(analysis::run_by_elevation(r.store->run, bin_width));
            }
            if (!*bins) raise_value_error(bins->error().message());
            py::dict out;
            for (auto& [label, b] : bins->value())
                out[py::str(label)] = py::make_tuple(py::cast(b.count), py::cast(b.value));
            return out;
        },
        py::arg("bin_width") = 10.0,
        "multipath_by_elevation($self, bin_width=10.0)\n--\n\nRMS of the multipath estimates per signal and "
        "elevation bin\n\nReturns {signal: (counts, rms)}: one entry per statistics record, each with one "
        "count and one RMS in metres (NaN for an empty bin) per bin [0, w), [w, 2w), ... up to 90 degrees "
        "(the last bin holds 90 itself). Only estimates placed by an orbit (compute_elevations) at or above "
        "the horizon are counted.");
    cls.def("__repr__", [](const PyAnalysisResults& r) {
        auto lock = lock_store(*r.store);
        const MultipathRun& run = r.store->run;
        return "AnalysisResults(estimates=" + std::to_string(run.estimates.size()) +
               ", signals=" + std::to_string(run.statistics.size()) +
               ", cycle_slips=" + std::to_string(run.slips.slips.size()) + ")";
    });
    add_results_array_methods(cls, [](py::handle self, const std::function<void(const MultipathRun&)>& use) {
        const std::shared_ptr<ResultsStore> store = self.cast<const PyAnalysisResults&>().store;
        auto lock = lock_store(*store);
        use(store->run);
    });
    finish_class(cls, "AnalysisResults", "Python-exposed Analysis results", nullptr);
}

void bind_multipath_analyzer(py::module_& m) {
    py::class_<PyMultipathAnalyzer> cls(m, "MultipathAnalyzer");
    cls.def(py::init([](const PyRinexObsData& obs, double elevation_cutoff,
                        std::optional<std::vector<std::string>> systems, std::optional<double> bias_window_seconds,
                        double min_arc_seconds, double arc_gap_factor,
                        std::optional<std::vector<std::string>> include_codes,
                        std::optional<std::vector<std::string>> exclude_codes,
                        std::optional<std::uint64_t> max_epochs, bool detect_cycle_slips, double ion_delta_base,
                        double ion_delta_rate, double cp_delta_base, double cp_delta_rate) {
                analysis::MultipathOptions o;
                o.elevation_cutoff_deg = elevation_cutoff;
                o.systems = std::move(systems);
                o.bias_window_s = bias_window_seconds;
                o.min_arc_s = min_arc_seconds;
                o.arc_gap_factor = arc_gap_factor;
                o.include_codes = std::move(include_codes);
                o.exclude_codes = std::move(exclude_codes);
                o.max_epochs = max_epochs;
                o.detect_cycle_slips = detect_cycle_slips;
                o.ion_delta_base_m = ion_delta_base;
                o.ion_delta_rate_m_per_s = ion_delta_rate;
                o.cp_delta_base_m = cp_delta_base;
                o.cp_delta_rate_m_per_s = cp_delta_rate;
                auto config = analysis::make_multipath_config(obs.data, o);
                if (!config) raise_value_error(config.error().message());
                return PyMultipathAnalyzer{std::move(config).value()};
            }),
            py::arg("obs_data"), py::arg("elevation_cutoff") = 10.0, py::arg("systems") = py::none(),
            py::arg("bias_window_seconds") = 1500.0, py::arg("min_arc_seconds") = 300.0,
            py::arg("arc_gap_factor") = 5.0, py::arg("include_codes") = py::none(),
            py::arg("exclude_codes") = py::none(), py::arg("max_epochs") = py::none(),
            py::arg("detect_cycle_slips") = true, py::arg("ion_delta_base") = 0.10, py::arg("ion_delta_rate") = 0.003,
            py::arg("cp_delta_base") = 5.0, py::arg("cp_delta_rate") = 0.10);
    cls.def(
        "analyze",
        [](const PyMultipathAnalyzer& a) {
            const analysis::MultipathConfig config = a.config;  // settings and a reference to the shared data
            auto store = std::make_shared<ResultsStore>();
            {
                // The observation data are immutable and the settings are a
                // private copy: nothing here touches Python objects.
                py::gil_scoped_release release;
                store->run = analysis::run_multipath_analysis(config);
            }
            return PyAnalysisResults{std::move(store)};
        },
        "analyze($self)\n--\n\nRun the code-multipath analysis: pair each pseudorange with two carrier phases, "
        "form the multipath combination, detect cycle slips, cut arcs, remove each arc's bias and compute "
        "per-signal statistics. Returns a new AnalysisResults; the interpreter lock is released meanwhile.");
    finish_class(cls, "MultipathAnalyzer", "Python-exposed Multipath Analyzer",
                 "(obs_data, elevation_cutoff=10.0, systems=None, bias_window_seconds=1500.0, "
                 "min_arc_seconds=300.0, arc_gap_factor=5.0, include_codes=None, exclude_codes=None, "
                 "max_epochs=None, detect_cycle_slips=True, ion_delta_base=0.10, ion_delta_rate=0.003, "
                 "cp_delta_base=5.0, cp_delta_rate=0.10)");
}

void bind_compute_elevation(py::module_& m) {
    m.def(
        "compute_elevation",
        [](py::handle sp3, const nav::Ecef& receiver, const SatelliteText& satellite, const util::Epoch& epoch) {
            const OrbitArg orbit = orbit_argument(sp3, "compute_elevation", "sp3");
            return nav::compute_elevation(*orbit.source, receiver, satellite.text, epoch);
        },
        py::arg("sp3"), py::arg("receiver"), py::arg("satellite"), py::arg("epoch"),
        "compute_elevation(sp3, receiver, satellite, epoch)\n--\n\nCompute satellite elevation from SP3 and "
        "receiver position");
}

}  // namespace skarvo::python
