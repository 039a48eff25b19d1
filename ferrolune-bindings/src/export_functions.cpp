#include "call_guard.h"
#include "functions.h"
#include "optimization_result_type.h"

#include "ferrolune/export/conversion.h"
#include "ferrolune/export/ollama_bundle.h"

namespace ferrolune::py {

Ref export_ollama_function(Handle result, const std::string& output_dir) {
    // The object keeps the record and the model path alive for the call;
    // the re-quantized output is not what a bundle is made from.
    OptimizationResultView view = optimization_result_view(result);
    auto manifest = export_ollama_bundle(view.record, view.model_path, output_dir);
    if (!manifest) return raise_error(manifest.error());
    return str(to_json(*manifest));
}

namespace {

Ref convert(ConversionDirection direction, const std::string& input_path, const std::string& output_path) {
    auto written = convert_via_runner(direction, input_path, output_path);
    if (!written) return raise_error(written.error());
    return str(*written);
}

}  // namespace

Ref convert_gguf_to_onnx_function(const std::string& input_path, const std::string& output_path) {
    return convert(ConversionDirection::GgufToOnnx, input_path, output_path);
}

Ref convert_onnx_to_gguf_function(const std::string& input_path, const std::string& output_path) {
    return convert(ConversionDirection::OnnxToGguf, input_path, output_path);
}

}  // namespace ferrolune::py
