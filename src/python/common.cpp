#include "python/common.hpp"

#include <array>
#include <cstring>
#include <utility>
#include <vector>

// The method descriptors and the capped error texts below rely on how
// pybind11 3.1 lays out its functions and dispatches their calls.
#if PYBIND11_VERSION_MAJOR != 3 || PYBIND11_VERSION_MINOR != 1
#error "skarvo_mp's binding is tested with pybind11 3.1.x only: install pybind11>=3.1,<3.2"
#endif

namespace skarvo::python {

void raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

namespace {

// pybind11 methods are instance-method wrappers around functions whose
// __self__ is pybind11's own function record, so a "$self" text signature
// would be taken as already bound and inspect.signature of a bound method
// fails. Each documented method is therefore re-exposed as a method
// descriptor, as built-in classes have: it forwards to the pybind11 function
// with the instance prepended, and its "$self" signature reads correctly
// both on the class and on an instance. A descriptor has no closure, so each
// one gets its own trampoline from a fixed table.
constexpr std::size_t max_methods = 96;
std::array<PyObject*, max_methods> method_targets{};
std::size_t method_count = 0;

PyObject* call_with_self(PyObject* func, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* small[16];
    std::vector<PyObject*> large;
    PyObject** buf = small;
    if (nargs + nkw + 1 > 16) {
        large.resize(static_cast<std::size_t>(nargs + nkw + 1));
        buf = large.data();
    }
    buf[0] = self;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) buf[i + 1] = args[i];
    return PyObject_Vectorcall(func, buf, static_cast<std::size_t>(nargs + 1), kwnames);
}

template <std::size_t I>
PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_self(method_targets[I], self, args, nargs, kwnames);
}

template <std::size_t... I>
constexpr std::array<_PyCFunctionFastWithKeywords, sizeof...(I)> make_trampolines(std::index_sequence<I...>) {
    return {&trampoline<I>...};
}

constexpr auto trampolines = make_trampolines(std::make_index_sequence<max_methods>{});

void expose_as_method_descriptors(PyTypeObject* type) {
    py::dict dict = py::reinterpret_borrow<py::dict>(type->tp_dict);
    std::vector<std::pair<std::string, py::object>> replace;
    for (auto item : dict) {
        const std::string name = py::str(item.first);
        if (name.size() > 1 && name[0] == '_' && name[1] == '_') continue;
        PyObject* value = item.second.ptr();
        if (!PyInstanceMethod_Check(value)) continue;
        PyObject* func = PyInstanceMethod_GET_FUNCTION(value);
        if (!PyCFunction_Check(func)) continue;
        const char* doc = reinterpret_cast<PyCFunctionObject*>(func)->m_ml->ml_doc;
        if (!doc || std::strncmp(doc, (name + "($self").c_str(), name.size() + 6) != 0) continue;
        if (method_count == max_methods) throw std::runtime_error("too many documented methods");
        const std::size_t slot = method_count++;
        Py_INCREF(func);
        method_targets[slot] = func;  // kept for the life of the process, as the class is
        auto* def = new PyMethodDef{strdup(name.c_str()),
                                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampolines[slot])),
                                    METH_FASTCALL | METH_KEYWORDS, strdup(doc)};
        py::object descr = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, def));
        if (!descr) throw py::error_already_set();
        replace.emplace_back(name, std::move(descr));
    }
    for (auto& [name, descr] : replace) dict[py::str(name)] = descr;
}

}  // namespace

namespace {

_PyCFunctionFastWithKeywords binding_dispatch = nullptr;

constexpr std::size_t max_argument_repr = 80;
constexpr std::size_t max_message = 300;

// Text shortened in the middle, saying how much was left out.
std::string elide(const std::string& text, std::size_t keep) {
    if (text.size() <= keep) return text;
    std::size_t head = keep * 2 / 3, tail = keep / 4;
    // Never cut inside a UTF-8 sequence.
    while (head > 0 && (static_cast<unsigned char>(text[head]) & 0xC0) == 0x80) --head;
    std::size_t from = text.size() - tail;
    while (from < text.size() && (static_cast<unsigned char>(text[from]) & 0xC0) == 0x80) ++from;
    return text.substr(0, head) + "... [" + std::to_string(text.size() - head - (text.size() - from)) +
           " characters left out] ..." + text.substr(from);
}

std::string short_repr(PyObject* o) {
    PyObject* r = PyObject_Repr(o);
    if (!r) {
        PyErr_Clear();
        return "<" + std::string(Py_TYPE(o)->tp_name) + ">";
    }
    Py_ssize_t n = 0;
    const char* c = PyUnicode_AsUTF8AndSize(r, &n);
    std::string out = c ? std::string(c, static_cast<std::size_t>(n)) : std::string("<?>");
    if (!c) PyErr_Clear();
    Py_DECREF(r);
    return elide(out, max_argument_repr);
}

// Whether `o` is an instance of a bound class whose value is not built yet:
// the `self` of a failed constructor call. Its repr would read a value that
// does not exist, so it is left out, as the binding layer's own text does.
bool unconstructed(PyObject* o) {
    if (!py::detail::get_type_info(Py_TYPE(o))) return false;
    auto* inst = reinterpret_cast<py::detail::instance*>(o);
    for (const auto& v_h : py::detail::values_and_holders(inst))
        if (!v_h.holder_constructed()) return true;
    return false;
}

// The "Invoked with:" part of an argument-conversion error, argument by
// argument, each repr elided.
std::string invoked_with(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string out = "Invoked with: ";
    bool first = true;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (unconstructed(args[i])) continue;
        if (!first) out += ", ";
        first = false;
        out += short_repr(args[i]);
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0) {
        out += "; kwargs: ";
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (i) out += ", ";
            const char* k = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, i));
            if (!k) PyErr_Clear();
            out += (k ? std::string(k) : std::string("?")) + "=" + short_repr(args[nargs + i]);
        }
    }
    return out;
}

PyObject* capped_dispatch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* result = binding_dispatch(self, args, nargsf, kwnames);
    if (result) return result;
    const bool type_error = PyErr_ExceptionMatches(PyExc_TypeError);
    if (!type_error && !PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    std::string text;
    bool have_text = false;
    if (value) {
        if (PyObject* s = PyObject_Str(value)) {
            Py_ssize_t n = 0;
            if (const char* c = PyUnicode_AsUTF8AndSize(s, &n)) {
                text.assign(c, static_cast<std::size_t>(n));
                have_text = true;
            }
            Py_DECREF(s);
        }
        if (!have_text) PyErr_Clear();
    }
    std::string capped = text;
    if (have_text) {
        const std::size_t at = text.find("Invoked with: ");
        if (type_error && at != std::string::npos) capped = text.substr(0, at) + invoked_with(args, PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)), kwnames);
        capped = elide(capped, max_message);
    }
    if (!have_text || capped == text) {
        PyErr_Restore(type, value, trace);
        return nullptr;
    }
    Py_XDECREF(value);
    Py_XDECREF(trace);
    PyErr_SetString(type, capped.c_str());
    Py_DECREF(type);
    return nullptr;
}

void cap_function(PyObject* func) {
    if (!func || !PyCFunction_Check(func)) return;
    PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(func)->m_ml;
    if (reinterpret_cast<void (*)()>(def->ml_meth) == reinterpret_cast<void (*)()>(binding_dispatch))
        def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&capped_dispatch));
}

void cap_member(PyObject* value) {
    if (PyInstanceMethod_Check(value)) {
        cap_function(PyInstanceMethod_GET_FUNCTION(value));
    } else if (PyCFunction_Check(value)) {
        cap_function(value);
    } else if (PyObject_TypeCheck(value, &PyProperty_Type) || PyObject_HasAttrString(value, "fget")) {
        for (const char* part : {"fget", "fset"}) {
            PyObject* f = PyObject_GetAttrString(value, part);
            if (!f) {
                PyErr_Clear();
                continue;
            }
            cap_member(f);
            Py_DECREF(f);
        }
    } else if (PyObject_HasAttrString(value, "__func__")) {  // staticmethod
        PyObject* f = PyObject_GetAttrString(value, "__func__");
        if (f) {
            cap_function(f);
            Py_DECREF(f);
        } else {
            PyErr_Clear();
        }
    }
}

}  // namespace

void cap_error_messages(py::module_& m) {
    PyObject* probe = m.attr("version").ptr();
    if (!PyCFunction_Check(probe)) return;
    const int flags = PyCFunction_GET_FLAGS(probe);
    // The dispatcher of every bound function takes vectorcall arguments.
    if (flags != (METH_FASTCALL | METH_KEYWORDS)) return;
    binding_dispatch = reinterpret_cast<_PyCFunctionFastWithKeywords>(
        reinterpret_cast<void (*)()>(reinterpret_cast<PyCFunctionObject*>(probe)->m_ml->ml_meth));
    for (std::size_t i = 0; i < method_count; ++i) cap_function(method_targets[i]);
    py::dict dict = m.attr("__dict__");
    for (auto item : dict) {
        PyObject* value = item.second.ptr();
        if (PyType_Check(value)) {
            py::dict members = py::reinterpret_borrow<py::dict>(reinterpret_cast<PyTypeObject*>(value)->tp_dict);
            for (auto member : members) cap_member(member.second.ptr());
        } else {
            cap_member(value);
        }
    }
}

void finish_class(py::handle cls, const char* name, const char* doc, const char* signature) {
    // The type's text signature is read from tp_doc ("Name(sig)\n--\n\n..."),
    // while __doc__ comes from the type dict; set both.
    std::string internal = doc;
    if (signature) internal = std::string(name) + signature + "\n--\n\n" + doc;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    char* buf = static_cast<char*>(PyObject_Malloc(internal.size() + 1));
    if (!buf) throw std::bad_alloc();
    std::memcpy(buf, internal.c_str(), internal.size() + 1);
    PyObject_Free(const_cast<char*>(type->tp_doc));
    type->tp_doc = buf;
    cls.attr("__doc__") = py::str(doc);
    cls.attr("__module__") = py::str("builtins");
    // Without a module prefix the class prints as <class 'Name'>, as built-in
    // classes do. (The old name buffer stays allocated: pybind11 owns it.)
    type->tp_name = name;

    // inspect.signature(cls) reads the signature of __init__, so the
    // constructor's function carries the same text signature.
    if (signature) {
        py::object init = py::reinterpret_borrow<py::dict>(type->tp_dict).attr("get")("__init__");
        if (init && PyInstanceMethod_Check(init.ptr())) {
            PyObject* func = PyInstanceMethod_GET_FUNCTION(init.ptr());
            if (PyCFunction_Check(func)) {
                std::string params(signature + 1);  // drop "(" and prepend self
                std::string text = std::string("__init__(self") + (params == ")" ? "" : ", ") + params + "\n--\n\n";
                auto* cfunc = reinterpret_cast<PyCFunctionObject*>(func);
                cfunc->m_ml->ml_doc = strdup(text.c_str());  // lives as long as the class
            }
        }
    }
    expose_as_method_descriptors(type);
    PyType_Modified(type);
}

}  // namespace skarvo::python
