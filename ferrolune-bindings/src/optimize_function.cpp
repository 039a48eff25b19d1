#include <array>
#include <optional>
#include <string>

#include "arguments.h"
#include "call_guard.h"
#include "ferrolune/core/cancel.h"
#include "ferrolune/optimizer/optimize.h"
#include "functions.h"
#include "optimization_result_type.h"

namespace ferrolune::py {

Ref optimize_function(const std::string& model_path, const std::string& format, const std::optional<std::string>& gpu,
                      std::optional<double> max_latency_ms, const std::optional<std::string>& output_path,
                      bool /*use_cache: accepted, nothing is cached*/) {
    // The call keeps the interpreter lock; this thread still looks at
    // pending signals while it waits, so Ctrl-C stops the work. A signal
    // handler's exception (KeyboardInterrupt) stays set and is what Python
    // sees. Native worker threads never run this.
    auto interrupt = [] { return PyErr_CheckSignals() != 0; };
    Result<optimizer::OptimizeOutcome> outcome =
        optimizer::optimize_model({model_path, format, gpu, max_latency_ms, output_path}, interrupt);
    if (!outcome) {
        if (PyErr_Occurred()) return Ref();
        return raise_error(outcome.error());
    }
    return make_optimization_result(std::move(outcome->result), model_path, std::move(outcome->output_path),
                                    std::move(outcome->requantize_skipped_reason));
}

}  // namespace ferrolune::py

// The Python function: docstring, parameters and argument conversion.
namespace ferrolune::py {

namespace {

const char optimize_doc[] =
    "optimize(model_path, format, gpu=None, max_latency_ms=None, output_path=None, use_cache=True)\n--\n\n"
    "Run the full optimization pipeline for the given model.\n\n"
    "After the best configuration is found, the model is re-quantized with\n"
    "`llama-quantize` (if available) and written as `{stem}-optimized.gguf` next to\n"
    "the input file, or to `output_path` when supplied.\n\n"
    "Every quantization is measured on a file of that quantization: the input's\n"
    "own type (its `general.file_type`) on the input itself, every other type\n"
    "on a file made once from the input in a hidden directory beside the\n"
    "output, removed when the call ends. Types of higher precision than the\n"
    "input are not searched, and without `llama-quantize` only the input's own\n"
    "type is. The winner's file becomes the output by renaming it; when the\n"
    "winner is the input's own type the output is a copy of the input, so the\n"
    "written file is always the one the result describes. ONNX models are\n"
    "written as `{stem}-optimized.onnx`.\n\n"
    "Parameters\n"
    "----------\n"
    "model_path : str, bytes or os.PathLike\n"
    "    Path to the model file (absolute or relative to the current directory).\n"
    "format : str\n"
    "    Model format, `\"gguf\"` or `\"onnx\"` in any letter case.\n"
    "gpu : str, optional\n"
    "    GPU model to plan for instead of the detected hardware (for example\n"
    "    `\"4090\"` or `\"a100\"`), or `\"cpu\"` to plan without a GPU. `None` keeps\n"
    "    the detected hardware.\n"
    "max_latency_ms : float, optional\n"
    "    Latency limit in milliseconds, a finite number above zero. `None` means\n"
    "    no limit.\n"
    "output_path : str, bytes or os.PathLike, optional\n"
    "    Where to write the re-quantized model. `None` means\n"
    "    `{stem}-optimized.gguf` (`.onnx` for ONNX) next to the input file.\n"
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
    "ValueError\n"
    "    If `max_latency_ms` is not a finite number above zero, or a path\n"
    "    contains a null byte.\n"
    "RuntimeError\n"
    "    If the format is unknown, the GPU model is not recognised, the\n"
    "    asynchronous run time cannot be created, or no configuration could be\n"
    "    benchmarked.";

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
        auto model_path = extract_path("model_path", a[0]);
        if (!model_path) return Ref();
        auto format = extract_str("format", a[1]);
        if (!format) return Ref();
        auto gpu = extract_optional_str("gpu", a[2]);
        if (!gpu) return Ref();
        auto max_latency_ms = extract_optional_positive_limit("max_latency_ms", a[3]);
        if (!max_latency_ms) return Ref();
        auto output_path = extract_optional_path("output_path", a[4]);
        if (!output_path) return Ref();
        auto use_cache = extract_bool("use_cache", a[5], true);
        if (!use_cache) return Ref();
        return optimize_function(*model_path, *format, *gpu, *max_latency_ms, *output_path, *use_cache);
    });
}

}  // namespace

PyMethodDef optimize_def = {"optimize", as_cfunction(optimize), METH_FASTCALL | METH_KEYWORDS, optimize_doc};

}  // namespace ferrolune::py
