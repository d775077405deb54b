// SNR series, detrending, the Morlet transform and its companions, the
// parallel SNR analysis and Fresnel zones.
#include "python/bindings.hpp"

namespace skarvo::python {

void bind_snr_series(py::module_&) {}
void add_rinex_snr_methods(py::class_<PyRinexObsData>&) {}
void bind_morlet_cwt(py::module_&) {}
void bind_band_power(py::module_&) {}
void bind_red_noise_significance(py::module_&) {}
void bind_period_bands(py::module_&) {}
void bind_detrend_arc(py::module_&) {}
void bind_split_arcs(py::module_&) {}
void bind_fresnel_zone(py::module_&) {}
void bind_fresnel_map(py::module_&) {}
void bind_scalogram(py::module_&) {}
void bind_analyze_snr_wavelets(py::module_&) {}

}  // namespace skarvo::python
