// Ecef, Geodetic, Sp3Data, read_sp3 and calculate_azel.
#include "python/bindings.hpp"

namespace skarvo::python {

void bind_ecef(py::module_&) {}
void bind_geodetic(py::module_&) {}
void bind_sp3_data(py::module_&) {}
void bind_read_sp3(py::module_&) {}
void bind_calculate_azel(py::module_&) {}

}  // namespace skarvo::python
