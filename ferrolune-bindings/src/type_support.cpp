#include "type_support.h"

namespace ferrolune::py {

bool set_builtins_module(PyObject* type, const char* name) {
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    PyObject* module = PyDict_GetItemString(t->tp_dict, "__module__");  // borrowed
    if (!module || !PyUnicode_Check(module) || PyUnicode_CompareWithASCIIString(module, "builtins") != 0) {
        PyErr_SetString(PyExc_SystemError, "heap type was not created in builtins");
        return false;
    }
    // Assigning __name__ from Python does the same: tp_name is only a view.
    t->tp_name = name;
    PyType_Modified(t);
    return true;
}

}  // namespace ferrolune::py
