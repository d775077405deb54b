// The multipath analyzer, its result classes and compute_elevation.
#include "python/bindings.hpp"

namespace skarvo::python {

void bind_multipath_estimate(py::module_&) {}
void bind_multipath_stats(py::module_&) {}
void bind_cycle_slip(py::module_&) {}
void bind_analysis_results(py::module_&) {}
void bind_multipath_analyzer(py::module_&) {}
void bind_compute_elevation(py::module_&) {}

}  // namespace skarvo::python
