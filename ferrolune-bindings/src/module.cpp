// The module object: initialisation, the sub-interpreter refusal, and the
// argument handling of the six functions. The function bodies live in
// their own files (functions.h).
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "arguments.h"
#include "call_guard.h"
#include "functions.h"
#include "hardware_profile_type.h"
#include "optimization_result_type.h"
#include "ferrolune/runtime/python_interpreter.h"

namespace ferrolune::py {

namespace {

template <typename F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

const char module_doc[] =
    "Native extension module for Ferrolune.\n\n"
    "Exposes hardware profiling, optimization and Ollama export to Python. Import it\n"
    "as `from ferrolune._ferrolune import ...` or through the re-exports in\n"
    "`ferrolune`'s `__init__.py`.";

const char profile_hardware_doc[] =
    "profile_hardware()\n--\n\n"
    "Detect and return the current machine's hardware profile.\n\n"
    "Equivalent to `HardwareProfile.detect()`.";

const char optimize_doc[] =
    "optimize(model_path, format, gpu=None, max_latency_ms=None, output_path=None, use_cache=True)\n--\n\n"
    "Run the full optimization pipeline for the given model.\n\n"
    "After the best configuration is found, the model is re-quantized with\n"
    "`llama-quantize` (if available) and written as `{stem}-optimized.gguf` next to\n"
    "the input file, or to `output_path` when supplied.\n\n"
    "Parameters\n"
    "----------\n"
    "model_path : str\n"
    "    Path to the model file (absolute or relative to the current directory).\n"
    "format : str\n"
    "    Model format, `\"gguf\"` or `\"onnx\"` in any letter case.\n"
    "gpu : str, optional\n"
    "    GPU model to plan for instead of the detected hardware (for example\n"
    "    `\"4090\"` or `\"a100\"`), or `\"cpu\"` to plan without a GPU. `None` keeps\n"
    "    the detected hardware.\n"
    "max_latency_ms : float, optional\n"
    "    Latency limit in milliseconds. `None` means no limit.\n"
    "output_path : str, optional\n"
    "    Where to write the re-quantized model. `None` means\n"
    "    `{stem}-optimized.gguf` next to the input file.\n"
    "use_cache : bool, default True\n"
    "    Accepted for compatibility; it has no effect on the run.\n\n"
    "Returns\n"
    "-------\n"
    "OptimizationResult\n"
    "    The best configuration, its measured metrics and the path of the\n"
    "    re-quantized model (`None` when re-quantization did not succeed).\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If an argument has the wrong type.\n"
    "RuntimeError\n"
    "    If the format is unknown, the GPU model is not recognised, the\n"
    "    asynchronous run time cannot be created, or no configuration could be\n"
    "    benchmarked.";

const char export_ollama_doc[] =
    "export_ollama(result, output_dir)\n--\n\n"
    "Export an optimized model as an Ollama-compatible bundle.\n\n"
    "Parameters\n"
    "----------\n"
    "result : OptimizationResult\n"
    "    The result produced by `optimize()`.\n"
    "output_dir : str\n"
    "    Directory where the bundle (`Modelfile`, `model.gguf`, `metadata.json`) is\n"
    "    written; created if it does not exist.\n\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    A JSON-serialized `ExportManifest` describing the produced files and the\n"
    "    `ollama create` / `ollama run` commands.\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If `result` is not an `OptimizationResult` or `output_dir` is not a str.\n"
    "RuntimeError\n"
    "    If the export fails (for example a missing conversion script for ONNX\n"
    "    models).";

const char analyze_model_doc[] =
    "analyze_model(model_path)\n--\n\n"
    "Inspect a model file and return its IR metadata as a Python dictionary.\n\n"
    "Reads only the file header and metadata section; tensor data is never\n"
    "loaded.  All fields except `format` may be `None` when the metadata is\n"
    "absent or uncomputable.\n\n"
    "Parameters\n"
    "----------\n"
    "model_path : str\n"
    "    Path to a `.gguf` or `.onnx` file.\n\n"
    "Returns\n"
    "-------\n"
    "dict\n"
    "    With the keys `format`, `param_count`, `architecture`,\n"
    "    `context_length` and `layer_count`, among others.\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If `model_path` is not a str.\n"
    "RuntimeError\n"
    "    If the file cannot be read or is not a recognised model file.";

const char convert_gguf_to_onnx_doc[] =
    "convert_gguf_to_onnx(input_path, output_path)\n--\n\n"
    "Convert a GGUF model file to ONNX format.\n\n"
    "Parameters\n"
    "----------\n"
    "input_path : str\n"
    "    The source `.gguf` file.\n"
    "output_path : str\n"
    "    The destination for the produced `.onnx` file.\n\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    The absolute path to the written `.onnx` file.\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If an argument is not a str.\n"
    "RuntimeError\n"
    "    If `python3` is not found, required packages (`gguf`, `onnx`, `numpy`)\n"
    "    are missing, or the input is not a valid GGUF file.";

const char convert_onnx_to_gguf_doc[] =
    "convert_onnx_to_gguf(input_path, output_path)\n--\n\n"
    "Convert an ONNX model file to GGUF format.\n\n"
    "Parameters\n"
    "----------\n"
    "input_path : str\n"
    "    The source `.onnx` file.\n"
    "output_path : str\n"
    "    The destination for the produced `.gguf` file.\n\n"
    "Returns\n"
    "-------\n"
    "str\n"
    "    The absolute path to the written `.gguf` file.\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If an argument is not a str.\n"
    "RuntimeError\n"
    "    If `python3` is not found, required packages (`onnx`, `gguf`, `numpy`)\n"
    "    are missing, or the input is not a valid ONNX file.";

PyObject* profile_hardware(PyObject*, PyObject*) {
    return guarded([] { return detect_hardware_profile(); });
}

constexpr std::array<Parameter, 6> optimize_params{{
    {"model_path", true},
    {"format", true},
    {"gpu", false},
    {"max_latency_ms", false},
    {"output_path", false},
    {"use_cache", false},
}};

PyObject* optimize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        std::array<Handle, optimize_params.size()> a;
        if (!match_arguments("optimize", optimize_params, args, nargs, kwnames, a)) return Ref();
        auto model_path = extract_str("model_path", a[0]);
        if (!model_path) return Ref();
        auto format = extract_str("format", a[1]);
        if (!format) return Ref();
        auto gpu = extract_optional_str("gpu", a[2]);
        if (!gpu) return Ref();
        auto max_latency_ms = extract_optional_double("max_latency_ms", a[3]);
        if (!max_latency_ms) return Ref();
        auto output_path = extract_optional_str("output_path", a[4]);
        if (!output_path) return Ref();
        auto use_cache = extract_bool("use_cache", a[5], true);
        if (!use_cache) return Ref();
        return optimize_function(*model_path, *format, *gpu, *max_latency_ms, *output_path, *use_cache);
    });
}

constexpr std::array<Parameter, 2> export_ollama_params{{{"result", true}, {"output_dir", true}}};

PyObject* export_ollama(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        std::array<Handle, export_ollama_params.size()> a;
        if (!match_arguments("export_ollama", export_ollama_params, args, nargs, kwnames, a)) return Ref();
        auto result = extract_instance("result", a[0], optimization_result_type(), "OptimizationResult");
        if (!result) return Ref();
        auto output_dir = extract_str("output_dir", a[1]);
        if (!output_dir) return Ref();
        // Held for the whole call, so the record outlives the export.
        Ref keep = Ref::borrow(*result);
        return export_ollama_function(keep.handle(), *output_dir);
    });
}

constexpr std::array<Parameter, 1> analyze_model_params{{{"model_path", true}}};

PyObject* analyze_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        std::array<Handle, analyze_model_params.size()> a;
        if (!match_arguments("analyze_model", analyze_model_params, args, nargs, kwnames, a)) return Ref();
        auto model_path = extract_str("model_path", a[0]);
        if (!model_path) return Ref();
        return analyze_model_function(*model_path);
    });
}

constexpr std::array<Parameter, 2> convert_params{{{"input_path", true}, {"output_path", true}}};

template <Ref (*Body)(const std::string&, const std::string&)>
PyObject* convert(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        std::array<Handle, convert_params.size()> a;
        if (!match_arguments(name, convert_params, args, nargs, kwnames, a)) return Ref();
        auto input_path = extract_str("input_path", a[0]);
        if (!input_path) return Ref();
        auto output_path = extract_str("output_path", a[1]);
        if (!output_path) return Ref();
        return Body(*input_path, *output_path);
    });
}

PyObject* convert_gguf_to_onnx(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert<convert_gguf_to_onnx_function>("convert_gguf_to_onnx", args, nargs, kwnames);
}

PyObject* convert_onnx_to_gguf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert<convert_onnx_to_gguf_function>("convert_onnx_to_gguf", args, nargs, kwnames);
}

// In member-table order; function objects keep pointers to these, so they
// live as long as the process.
PyMethodDef functions[] = {
    {"profile_hardware", profile_hardware, METH_NOARGS, profile_hardware_doc},
    {"optimize", as_cfunction(optimize), METH_FASTCALL | METH_KEYWORDS, optimize_doc},
    {"export_ollama", as_cfunction(export_ollama), METH_FASTCALL | METH_KEYWORDS, export_ollama_doc},
    {"analyze_model", as_cfunction(analyze_model), METH_FASTCALL | METH_KEYWORDS, analyze_model_doc},
    {"convert_gguf_to_onnx", as_cfunction(convert_gguf_to_onnx), METH_FASTCALL | METH_KEYWORDS,
     convert_gguf_to_onnx_doc},
    {"convert_onnx_to_gguf", as_cfunction(convert_onnx_to_gguf), METH_FASTCALL | METH_KEYWORDS,
     convert_onnx_to_gguf_doc},
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
    for (PyMethodDef& def : functions) {
        Ref function = Ref::steal(PyCFunction_NewEx(&def, module, module_name.ptr()));
        if (!function || PyModule_AddObjectRef(module, def.ml_name, function.ptr()) < 0) return false;
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
