// The module object: registration of classes, functions and constants in
// their documented order, a single cached module per process, and refusal of
// sub-interpreters.
#include <cstring>

#include "python/bindings.hpp"
#include "utils/frequencies.hpp"

namespace skarvo::python {
namespace {

using BindFn = void (*)(py::module_&);

struct Entry {
    const char* name;
    BindFn bind;
};

// The registration order: thirteen classes, then the functions.
constexpr Entry registration_order[] = {
    {"GnssSystem", bind_gnss_system},
    {"Satellite", bind_satellite},
    {"Epoch", bind_epoch},
    {"Ecef", bind_ecef},
    {"Geodetic", bind_geodetic},
    {"RinexObsData", bind_rinex_obs_data},
    {"MultipathEstimate", bind_multipath_estimate},
    {"MultipathStats", bind_multipath_stats},
    {"CycleSlip", bind_cycle_slip},
    {"AnalysisResults", bind_analysis_results},
    {"MultipathAnalyzer", bind_multipath_analyzer},
    {"SnrSeries", bind_snr_series},
    {"Sp3Data", bind_sp3_data},

    {"read_rinex_obs", bind_read_rinex_obs},
    {"read_rinex_obs_bytes", bind_read_rinex_obs_bytes},
    {"read_sp3", bind_read_sp3},
    {"get_frequency", bind_get_frequency},
    {"get_wavelength", bind_get_wavelength},
    {"calculate_azel", bind_calculate_azel},
    {"compute_elevation", bind_compute_elevation},
    {"version", bind_version},
    {"morlet_cwt", bind_morlet_cwt},
    {"band_power", bind_band_power},
    {"red_noise_significance", bind_red_noise_significance},
    {"period_bands", bind_period_bands},
    {"detrend_arc", bind_detrend_arc},
    {"split_arcs", bind_split_arcs},
    {"fresnel_zone", bind_fresnel_zone},
    {"fresnel_map", bind_fresnel_map},
    {"scalogram", bind_scalogram},
    {"analyze_snr_wavelets", bind_analyze_snr_wavelets},
    {"NavData", bind_nav_data},
    {"read_rinex_nav", bind_read_rinex_nav},
    {"lomb_scargle", bind_lomb_scargle},
    {"reflector_heights", bind_reflector_heights},
    {"decode_file", bind_decode_file},
    {"morlet_cwt_array", bind_morlet_cwt_array},
    {"band_power_array", bind_band_power_array},
    {"scalogram_array", bind_scalogram_array},
    {"analyze_snr_wavelets_array", bind_analyze_snr_wavelets_array},
    {"station_quality", bind_station_quality},
    {"read_sp3_files", bind_read_sp3_files},
    {"partner_bands", bind_partner_bands},
};

struct Constant {
    const char* name;
    double value;
};

constexpr Constant constants[] = {
    {"SPEED_OF_LIGHT", util::speed_of_light},
    {"GM_WGS84", util::gm_wgs84},
    {"EARTH_RADIUS", util::earth_radius},
    {"GPS_L1_WAVELENGTH", util::gps_l1_wavelength},
};

void init_module(py::module_& m) {
    // Docstrings carry their own text signatures.
    static py::options options;
    options.disable_function_signatures();

    py::list all;
    m.attr("__all__") = all;
    for (const Entry& e : registration_order) {
        e.bind(m);
        if (py::hasattr(m, e.name)) all.append(e.name);
    }
    for (const Constant& c : constants) {
        m.attr(c.name) = py::float_(c.value);
        all.append(c.name);
    }
    // The usual attribute of a Python package (not part of __all__).
    m.attr("__version__") = m.attr("version")();
    cap_error_messages(m);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "skarvo_mp",
    "Python module definition",
    // Not -1: a repeated import calls the init function again, which hands
    // back the cached module instead of a copy of its dict.
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;

}  // namespace
}  // namespace skarvo::python

extern "C" PYBIND11_EXPORT PyObject* PyInit_skarvo_mp() {
    namespace sp = skarvo::python;
    PYBIND11_CHECK_PYTHON_VERSION
    // Only the main interpreter can own the module, whichever interpreter
    // tries first. Refuse before the binding layer sets up its process-wide
    // state: that takes the interpreter lock through PyGILState_Ensure, which
    // in a sub-interpreter switches to the main interpreter's thread state
    // and waits for ever on the lock this thread already holds.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "skarvo_mp does not support sub-interpreters: it can be imported only in the "
                        "main interpreter");
        return nullptr;
    }
    if (sp::cached_module) {
        Py_INCREF(sp::cached_module);
        return sp::cached_module;
    }
    try {
        pybind11::detail::ensure_internals();
        PyObject* raw = PyModule_Create(&sp::module_def);
        if (!raw) return nullptr;
        auto m = pybind11::reinterpret_steal<pybind11::module_>(raw);
        sp::init_module(m);
        sp::cached_module = m.inc_ref().ptr();  // kept for the life of the process
        return m.release().ptr();
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}
