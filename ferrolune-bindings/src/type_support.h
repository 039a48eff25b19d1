// Shared steps of creating the module's heap types.
#pragma once

#include <Python.h>

namespace ferrolune::py {

// A heap type created from a spec without a module part in its name has no
// __module__ at all; the classes present themselves like built-in ones.
// False with an exception set on failure.
bool set_builtins_module(PyObject* type);

}  // namespace ferrolune::py
