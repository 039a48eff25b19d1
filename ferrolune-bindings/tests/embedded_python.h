// An interpreter embedded in the test process, for testing the binding
// layer without importing the extension module.
#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include <string>

#include "py_object.h"

namespace ferrolune::py::testing {

// Evaluates `expression` with `globals` and returns str() of the result, or
// "raised <type name>: <text>" when it raises.
inline std::string evaluate(const std::string& expression, PyObject* globals) {
    Ref result = Ref::steal(PyRun_String(expression.c_str(), Py_eval_input, globals, globals));
    if (!result) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
        Ref text = Ref::steal(PyObject_Str(v.ptr()));
        return std::string("raised ") + reinterpret_cast<PyTypeObject*>(t.ptr())->tp_name + ": " +
               (text ? PyUnicode_AsUTF8(text.ptr()) : "?");
    }
    Ref text = Ref::steal(PyObject_Str(result.ptr()));
    return text ? PyUnicode_AsUTF8(text.ptr()) : "?";
}

// A fresh globals dict with builtins.
inline Ref fresh_globals() {
    Ref globals = Ref::steal(PyDict_New());
    PyDict_SetItemString(globals.ptr(), "__builtins__", PyEval_GetBuiltins());
    return globals;
}

}  // namespace ferrolune::py::testing
