// RinexObsData and the observation readers.
#include "python/bindings.hpp"

namespace skarvo::python {

void bind_rinex_obs_data(py::module_&) {}
void bind_read_rinex_obs(py::module_&) {}
void bind_read_rinex_obs_bytes(py::module_&) {}

}  // namespace skarvo::python
