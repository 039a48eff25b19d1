// The module object: its member table, initialisation and the
// sub-interpreter refusal. Each function lives in its own file
// (functions.h).
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "call_guard.h"
#include "functions.h"
#include "hardware_profile_type.h"
#include "optimization_result_type.h"
#include "ferrolune/runtime/python_interpreter.h"

namespace ferrolune::py {

namespace {

const char module_doc[] =
    "Native extension module for Ferrolune.\n\n"
    "Exposes hardware profiling, optimization and Ollama export to Python. Import it\n"
    "as `from ferrolune._ferrolune import ...` or through the re-exports in\n"
    "`ferrolune`'s `__init__.py`.";

// In member-table order.
PyMethodDef* const functions[] = {
    &profile_hardware_def,
    &optimize_def,
    &export_ollama_def,
    &analyze_model_def,
    &convert_gguf_to_onnx_def,
    &convert_onnx_to_gguf_def,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ferrolune",
    module_doc,
    0,        // no per-module state
    nullptr,  // members are added by the initialiser
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first initialised the module; -1 until then.
std::atomic<int64_t> owner_interpreter{-1};
// Created once; a later import in the same interpreter gets the same object.
PyObject* module_object = nullptr;

bool add_members(PyObject* module) {
    if (PyModule_AddObjectRef(module, "HardwareProfile", reinterpret_cast<PyObject*>(hardware_profile_type())) < 0)
        return false;
    if (PyModule_AddObjectRef(module, "OptimizationResult",
                              reinterpret_cast<PyObject*>(optimization_result_type())) < 0)
        return false;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef* def : functions) {
        Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.ptr()));
        if (!function || PyModule_AddObjectRef(module, def->ml_name, function.ptr()) < 0) return false;
    }
    return true;
}

Ref initialise() {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) return raise(PyExc_SystemError, "attempted to fetch exception but none was set");
        return Ref();
    }
    int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id)
        return raise(PyExc_ImportError,
                     "the _ferrolune module does not support sub-interpreters: it was already initialised by "
                     "another interpreter");
    if (module_object) return Ref::borrow(module_object);
    // Created now, so that converting a later fault never has to.
    fault_exception_type();

    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !add_members(module.ptr())) return Ref();
    // The runner scripts run under this interpreter first: its environment
    // is where the user installed their packages.
    if (PyObject* executable = PySys_GetObject("executable"); executable && PyUnicode_Check(executable)) {
        Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(executable));
        if (!encoded) return Ref();
        set_host_interpreter(PyBytes_AS_STRING(encoded.ptr()));
    }
    module_object = Ref(module).release();
    return module;
}

}  // namespace

}  // namespace ferrolune::py

PyMODINIT_FUNC PyInit__ferrolune() {
    return ferrolune::py::guarded([] { return ferrolune::py::initialise(); });
}
