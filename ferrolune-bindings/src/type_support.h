// Shared steps of creating the module's heap types.
#pragma once

#include <Python.h>

namespace ferrolune::py {

// The classes are created from a PyType_Spec named "builtins.<name>" so that their
// __module__ reads builtins (a PyType_Spec name without a dot leaves __module__
// unset and warns); the type name itself then loses the module part, as a
// built-in type's has none. `name` must have static storage. False with an
// exception set on failure.
bool set_builtins_module(PyObject* type, const char* name);

}  // namespace ferrolune::py
