// A float-sequence argument that takes a contiguous float64 buffer (a NumPy
// array, array('d'), a memoryview) with one copy of its memory, and any
// other sequence of floats element by element as before. The copy is made
// while the GIL is held, so the wrapper may release it afterwards whatever
// other threads do to the caller's buffer. Needs no NumPy.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <bit>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace skarvo::python {

struct FloatVec {
    std::vector<double> v;
};

}  // namespace skarvo::python

namespace pybind11::detail {

template <>
struct type_caster<skarvo::python::FloatVec> {
    PYBIND11_TYPE_CASTER(skarvo::python::FloatVec, const_name("Sequence[float]"));

    bool load(handle src, bool convert) {
        if (PyObject_CheckBuffer(src.ptr()) && load_buffer(src)) return true;
        make_caster<std::vector<double>> seq;
        if (!seq.load(src, convert)) return false;
        value.v = cast_op<std::vector<double>&&>(std::move(seq));
        return true;
    }

private:
    static bool native_double(const char* format) noexcept {
        if (!format) return false;
        std::string_view f(format);
        if (f.size() == 2 && (f[0] == '@' || f[0] == '=' ||
                              f[0] == (std::endian::native == std::endian::little ? '<' : '>')))
            f.remove_prefix(1);
        return f == "d";
    }

    bool load_buffer(handle src) {
        Py_buffer view;
        if (PyObject_GetBuffer(src.ptr(), &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Clear();  // not contiguous: read it as a sequence
            return false;
        }
        const bool ok = view.ndim == 1 && view.itemsize == sizeof(double) && native_double(view.format);
        if (ok) {
            const auto n = static_cast<std::size_t>(view.len) / sizeof(double);
            value.v.resize(n);
            if (n) std::memcpy(value.v.data(), view.buf, n * sizeof(double));
        }
        PyBuffer_Release(&view);
        return ok;
    }
};

}  // namespace pybind11::detail
