// One function per Python class and module function; module.cpp calls them
// in the registration order.
#pragma once

#include <functional>

#include "analysis/snr_analysis.hpp"
#include "python/common.hpp"

namespace skarvo::analysis {
struct MultipathRun;
}

namespace skarvo::python {

// Classes.
void bind_gnss_system(py::module_& m);
void bind_satellite(py::module_& m);
void bind_epoch(py::module_& m);
void bind_ecef(py::module_& m);
void bind_geodetic(py::module_& m);
void bind_rinex_obs_data(py::module_& m);
void bind_multipath_estimate(py::module_& m);
void bind_multipath_stats(py::module_& m);
void bind_cycle_slip(py::module_& m);
void bind_analysis_results(py::module_& m);
void bind_multipath_analyzer(py::module_& m);
void bind_snr_series(py::module_& m);
void bind_sp3_data(py::module_& m);

/// The SNR queries of RinexObsData (snr_codes, get_snr_series).
void add_rinex_snr_methods(py::class_<PyRinexObsData>& cls);
/// to_numpy, to_pandas and to_xarray of RinexObsData.
void add_rinex_array_methods(py::class_<PyRinexObsData>& cls);

/// Runs `use` on the stored run of the AnalysisResults `self` while its
/// store is locked (the GIL may be released inside `use`).
using ResultsAccess = void (*)(py::handle self, const std::function<void(const analysis::MultipathRun&)>& use);
/// to_numpy and to_pandas of AnalysisResults.
void add_results_array_methods(py::handle cls, ResultsAccess access);

/// Period bands given as (lo, hi) pairs in seconds.
std::vector<analysis::PeriodBand> period_bands_arg(const std::vector<std::pair<double, double>>& bands);

/// analyze_snr_wavelets with its arguments converted, run without the GIL
/// (raises ValueError for an unparsable satellite).
analysis::SnrWaveletRun run_snr_wavelets(const PyRinexObsData& obs,
                                         const std::optional<std::vector<SatelliteText>>& satellites,
                                         std::optional<double> interval,
                                         const std::optional<std::vector<std::pair<double, double>>>& bands);

/// The dictionary both forms of analyze_snr_wavelets return: {"bands",
/// "interval", "residuals": {sat: {code, t0, t, v, orders}}, "band_power":
/// {sat: {t, power}}}. `as` gives each column its Python form (lists or
/// arrays): series(values), orders(orders), rows(block, rows, columns); it
/// may move the columns out of `run`.
template <class Forms>
py::dict snr_wavelet_dict(analysis::SnrWaveletRun& run, py::object bands, Forms& as) {
    py::dict residuals, power;
    for (analysis::SatelliteSnrResult& r : run.results) {
        py::dict res;
        res["code"] = r.code;
        res["t0"] = r.t0;
        res["t"] = as.series(r.t);
        res["v"] = as.series(r.v);
        res["orders"] = as.orders(r.orders);
        residuals[py::str(r.satellite)] = res;
        const std::size_t bins = r.band_t.size();
        py::dict bp;
        bp["t"] = as.series(r.band_t);
        bp["power"] = as.rows(r.band_power, r.bands, bins);
        power[py::str(r.satellite)] = bp;
    }
    py::dict out;
    out["bands"] = std::move(bands);
    out["interval"] = run.interval;
    out["residuals"] = residuals;
    out["band_power"] = power;
    return out;
}

// Module functions.
void bind_read_rinex_obs(py::module_& m);
void bind_read_rinex_obs_bytes(py::module_& m);
void bind_read_sp3(py::module_& m);
void bind_get_frequency(py::module_& m);
void bind_get_wavelength(py::module_& m);
void bind_calculate_azel(py::module_& m);
void bind_compute_elevation(py::module_& m);
void bind_version(py::module_& m);
void bind_morlet_cwt(py::module_& m);
void bind_band_power(py::module_& m);
void bind_red_noise_significance(py::module_& m);
void bind_period_bands(py::module_& m);
void bind_detrend_arc(py::module_& m);
void bind_split_arcs(py::module_& m);
void bind_fresnel_zone(py::module_& m);
void bind_fresnel_map(py::module_& m);
void bind_scalogram(py::module_& m);
void bind_analyze_snr_wavelets(py::module_& m);
void bind_lomb_scargle(py::module_& m);
void bind_reflector_heights(py::module_& m);
void bind_decode_file(py::module_& m);
void bind_station_quality(py::module_& m);
void bind_read_sp3_files(py::module_& m);
void bind_partner_bands(py::module_& m);

// Broadcast navigation data.
void bind_nav_data(py::module_& m);
void bind_read_rinex_nav(py::module_& m);

// Array forms of the transforms.
void bind_morlet_cwt_array(py::module_& m);
void bind_band_power_array(py::module_& m);
void bind_scalogram_array(py::module_& m);
void bind_analyze_snr_wavelets_array(py::module_& m);

}  // namespace skarvo::python
