// export_ollama(result, output_dir): the Ollama bundle for a result.
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "arguments.h"
#include "call_guard.h"
#include "functions.h"
#include "optimization_result_type.h"

#include "ferrolune/export/ollama_bundle.h"

namespace ferrolune::py {

namespace {

const char export_ollama_doc[] =
    "export_ollama(result, output_dir)\n--\n\n"
    "Export an optimized model as an Ollama-compatible bundle.\n\n"
    "The bundle's `model.gguf` is the re-quantized file when `result` has one\n"
    "(`result.output_path`), otherwise the model given to `optimize()`.\n\n"
    "Parameters\n"
    "----------\n"
    "result : OptimizationResult\n"
    "    The result produced by `optimize()`.\n"
    "output_dir : str, bytes or os.PathLike\n"
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
    "    If `result` is not an `OptimizationResult` or `output_dir` is not a str,\n"
    "    bytes or os.PathLike object.\n"
    "ValueError\n"
    "    If `output_dir` contains a null byte.\n"
    "RuntimeError\n"
    "    If the export fails (for example a missing conversion script for ONNX\n"
    "    models).";

constexpr std::array<Parameter, 2> export_ollama_params{{{"result", true}, {"output_dir", true}}};

Ref export_ollama_function(Handle result, const std::string& output_dir) {
    // The object keeps the record and both paths alive for the call.
    OptimizationResultView view = optimization_result_view(result);
    std::optional<std::string_view> requantized;
    if (view.output_path) requantized = *view.output_path;
    auto manifest = export_ollama_bundle(view.record, view.model_path, requantized, output_dir);
    if (!manifest) return raise_error(manifest.error());
    return str(to_json(*manifest));
}

PyObject* export_ollama(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        std::array<Handle, export_ollama_params.size()> a;
        if (!match_arguments("export_ollama", export_ollama_params, args, nargs, kwnames, a)) return Ref();
        auto result = extract_instance("result", a[0], optimization_result_type(), "OptimizationResult");
        if (!result) return Ref();
        auto output_dir = extract_path("output_dir", a[1]);
        if (!output_dir) return Ref();
        // Held for the whole call, so the record outlives the export.
        Ref keep = Ref::borrow(*result);
        return export_ollama_function(keep.handle(), *output_dir);
    });
}

}  // namespace

PyMethodDef export_ollama_def = {"export_ollama", as_cfunction(export_ollama), METH_FASTCALL | METH_KEYWORDS,
                                 export_ollama_doc};

}  // namespace ferrolune::py
