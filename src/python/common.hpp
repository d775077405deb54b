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

/// Raises `type` with `text` (sets the Python error and throws
/// error_already_set, which pybind11 passes through unchanged).
[[noreturn]] void raise(PyObject* type, const std::string& text);
[[noreturn]] inline void raise_value_error(const std::string& text) { raise(PyExc_ValueError, text); }
[[noreturn]] inline void raise_io_error(const std::string& text) { raise(PyExc_OSError, text); }

/// Gives a class its docstring, its constructor text signature (null for a
/// class without constructor) and `builtins` as its module.
void finish_class(py::handle cls, const char* name, const char* doc, const char* signature);

}  // namespace skarvo::python
