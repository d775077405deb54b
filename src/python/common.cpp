#include "python/common.hpp"

#include <cstring>

namespace skarvo::python {

void raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
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
    PyType_Modified(type);

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
}

}  // namespace skarvo::python
