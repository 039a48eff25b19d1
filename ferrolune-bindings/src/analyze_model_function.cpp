// analyze_model(model_path): the inspected record as a dict.
#include <array>
#include <optional>
#include <string>

#include "arguments.h"
#include "call_guard.h"
#include "ferrolune/model_ir/inspect_model.h"
#include "functions.h"

namespace ferrolune::py {

namespace {

template <typename T>
Ref optional_int(const std::optional<T>& v) {
    return v ? integer(static_cast<unsigned long long>(*v)) : none();
}

Ref optional_real(const std::optional<double>& v) { return v ? real(*v) : none(); }

const char analyze_model_doc[] =
    "analyze_model(model_path)\n--\n\n"
    "Inspect a model file and return its IR metadata as a Python dictionary.\n\n"
    "Reads only the file header and metadata section; tensor data is never\n"
    "loaded.  All fields except `format` may be `None` when the metadata is\n"
    "absent or uncomputable.\n\n"
    "Parameters\n"
    "----------\n"
    "model_path : str, bytes or os.PathLike\n"
    "    Path to a `.gguf` or `.onnx` file.\n\n"
    "Returns\n"
    "-------\n"
    "dict\n"
    "    With the keys `format`, `param_count`, `architecture`,\n"
    "    `context_length` and `layer_count`, among others.\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If `model_path` is not a str, bytes or os.PathLike object.\n"
    "ValueError\n"
    "    If `model_path` contains a null byte.\n"
    "RuntimeError\n"
    "    If the file cannot be read or is not a recognised model file.";

constexpr std::array<Parameter, 1> analyze_model_params{{{"model_path", true}}};

Ref analyze_model_function(const std::string& model_path) {
    auto ir = inspect_model(model_path);
    if (!ir) return raise_error(ir.error());

    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    // Insertion order is the order Python iterates in. Each value is made
    // only after the previous one went in, so no call runs with an error set.
    auto put = [&](const char* key, Ref value) {
        return value && PyDict_SetItemString(dict.ptr(), key, value.ptr()) == 0;
    };
    if (!put("format", str(to_string(ir->format))) || !put("param_count", optional_int(ir->param_count)) ||
        !put("architecture", ir->architecture ? str(*ir->architecture) : none()) ||
        !put("context_length", optional_int(ir->context_length)) || !put("layer_count", optional_int(ir->layer_count)) ||
        !put("hidden_size", optional_int(ir->hidden_size)) ||
        !put("attention_head_count", optional_int(ir->attention_head_count)) ||
        !put("attention_head_count_kv", optional_int(ir->attention_head_count_kv)) ||
        !put("feed_forward_length", optional_int(ir->feed_forward_length)) ||
        !put("kv_cache_size_mb", optional_real(ir->kv_cache_size_mb)) ||
        !put("memory_footprint_mb", optional_real(ir->memory_footprint_mb)) ||
        !put("flops_per_token", optional_real(ir->flops_per_token)))
        return Ref();
    return dict;
}

PyObject* analyze_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        std::array<Handle, analyze_model_params.size()> a;
        if (!match_arguments("analyze_model", analyze_model_params, args, nargs, kwnames, a)) return Ref();
        auto model_path = extract_path("model_path", a[0]);
        if (!model_path) return Ref();
        return analyze_model_function(*model_path);
    });
}

}  // namespace

PyMethodDef analyze_model_def = {"analyze_model", as_cfunction(analyze_model), METH_FASTCALL | METH_KEYWORDS,
                                 analyze_model_doc};

}  // namespace ferrolune::py
