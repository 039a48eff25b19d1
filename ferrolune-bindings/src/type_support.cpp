#include "type_support.h"

#include "py_object.h"

namespace ferrolune::py {

bool set_builtins_module(PyObject* type) {
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    Ref name = str("builtins");
    if (!name || PyDict_SetItemString(t->tp_dict, "__module__", name.ptr()) < 0) return false;
    PyType_Modified(t);
    return true;
}

}  // namespace ferrolune::py
