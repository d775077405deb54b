// Shared pieces of the binding layer: the Python-side holder types that cross
// binding files, and the helpers every wrapper uses to report errors and to
// finish its class objects.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "navigation/coordinates.hpp"
#include "rinex/types.hpp"
#include "utils/error.hpp"

namespace skarvo::nav {
struct Sp3Data;
struct NavData;
class OrbitSource;
}

namespace skarvo::python {

namespace py = pybind11;

/// Python `GnssSystem`: the enumeration has no class type of its own.
struct PyGnssSystem {
    rinex::GnssSystem value;
};

/// Python `RinexObsData`: shares the immutable parsed file with analyzers.
struct PyRinexObsData {
    std::shared_ptr<const rinex::RinexObsData> data;
};

/// Python `Sp3Data`: the immutable orbit table.
struct PySp3Data {
    std::shared_ptr<const nav::Sp3Data> data;
};

/// Python `NavData`: the immutable broadcast ephemerides.
struct PyNavData {
    std::shared_ptr<const nav::NavData> data;
};

/// The orbit behind a Python `Sp3Data` or `NavData` argument: the source of
/// positions and the table it reads (kept alive while the source is used).
struct OrbitArg {
    std::shared_ptr<const void> table;
    std::unique_ptr<nav::OrbitSource> source;
};
/// Raises TypeError naming `function` and `parameter` for any other object.
OrbitArg orbit_argument(py::handle obj, const char* function, const char* parameter);

/// Raises `type` with `text` (sets the Python error and throws
/// error_already_set, which pybind11 passes through unchanged).
[[noreturn]] void raise(PyObject* type, const std::string& text);
[[noreturn]] inline void raise_value_error(const std::string& text) { raise(PyExc_ValueError, text); }
[[noreturn]] inline void raise_io_error(const std::string& text) { raise(PyExc_OSError, text); }

/// Gives a class its docstring, its constructor text signature (null for a
/// class without constructor) and `builtins` as its module.
void finish_class(py::handle cls, const char* name, const char* doc, const char* signature);

}  // namespace skarvo::python
