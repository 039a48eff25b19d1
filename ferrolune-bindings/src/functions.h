// The module's functions. Each lives in its own source file with its
// docstring, parameter list, argument conversion and body; module.cpp only
// puts their definitions into the module in member-table order. The
// definitions live as long as the process: function objects point at them.
#pragma once

#include <Python.h>

namespace ferrolune::py {

extern PyMethodDef profile_hardware_def;      // profile_hardware_function.cpp
extern PyMethodDef optimize_def;              // optimize_function.cpp
extern PyMethodDef export_ollama_def;         // export_ollama_function.cpp
extern PyMethodDef analyze_model_def;         // analyze_model_function.cpp
extern PyMethodDef convert_gguf_to_onnx_def;  // convert_functions.cpp
extern PyMethodDef convert_onnx_to_gguf_def;  // convert_functions.cpp

// A METH_FASTCALL | METH_KEYWORDS function in the PyCFunction slot.
template <typename F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace ferrolune::py
