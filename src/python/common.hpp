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
    util::GnssSystem value;
};

/// Python `RinexObsData`: shares the immutable parsed file with analyzers.
struct PyRinexObsData {
    std::shared_ptr<const rinex::RinexObsData> data;
};

/// Python `Sp3Data`: the immutable orbit table.
struct PySp3Data {
    std::shared_ptr<const nav::Sp3Data> data;
};

/// A satellite argument: its identifier text ("G05"), given either as text
/// or as a `Satellite` object.
struct SatelliteText {
    std::string text;
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

/// The value of a core result, or ValueError with the error's message.
template <class T>
T value_or_raise(util::Result<T>&& r) {
    if (!r) raise_value_error(r.error().message());
    return std::move(r).value();
}

/// Gives a class its docstring, its constructor text signature (null for a
/// class without constructor) and `builtins` as its module.
void finish_class(py::handle cls, const char* name, const char* doc, const char* signature);

/// Makes every function and method of the module keep its error messages
/// short: the argument reprs of a TypeError are elided past a few dozen
/// characters, and any other TypeError or ValueError longer than a few
/// hundred characters (it can only be echoing an argument) is cut in the
/// middle. Call once, after every class and function is registered.
void cap_error_messages(py::module_& m);

}  // namespace skarvo::python

namespace pybind11::detail {

template <>
struct type_caster<skarvo::python::SatelliteText> {
    PYBIND11_TYPE_CASTER(skarvo::python::SatelliteText, const_name("str | Satellite"));

    bool load(handle src, bool convert) {
        make_caster<skarvo::util::Satellite> sat;
        if (sat.load(src, false)) {
            value.text = cast_op<const skarvo::util::Satellite&>(sat).id();
            return true;
        }
        make_caster<std::string> text;
        if (!text.load(src, convert)) return false;
        value.text = cast_op<std::string&&>(std::move(text));
        return true;
    }

    static handle cast(const skarvo::python::SatelliteText& s, return_value_policy, handle) {
        return PyUnicode_DecodeUTF8(s.text.data(), static_cast<Py_ssize_t>(s.text.size()), nullptr);
    }
};

}  // namespace pybind11::detail
