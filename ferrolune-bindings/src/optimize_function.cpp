#include <optional>
#include <string>

#include "call_guard.h"
#include "ferrolune/core/text.h"
#include "ferrolune/export/requantize.h"
#include "ferrolune/hardware/detect.h"
#include "ferrolune/hardware/gpu_preset.h"
#include "ferrolune/model_ir/inspect_model.h"
#include "ferrolune/optimizer/pipeline.h"
#include "functions.h"
#include "optimization_result_type.h"

namespace ferrolune::py {

Ref optimize_function(const std::string& model_path, const std::string& format, const std::optional<std::string>& gpu,
                      std::optional<double> max_latency_ms, const std::optional<std::string>& output_path,
                      bool /*use_cache: accepted, nothing is cached*/) {
    const std::string lowered = text::ascii_lower(format);
    ModelFormat model_format;
    if (lowered == "onnx")
        model_format = ModelFormat::Onnx;
    else if (lowered == "gguf")
        model_format = ModelFormat::Gguf;
    else
        return raise(PyExc_RuntimeError, fmt::format("unknown model format '{}'; expected 'onnx' or 'gguf'", lowered));

    ModelDescription model = describe_model(model_path, model_format, inspect_model(model_path));

    HardwareProfile hw = detect();
    if (gpu) {
        Result<std::optional<GpuInfo>> preset = gpu_preset(*gpu);
        if (!preset) return raise_error(preset.error());
        hw.gpu = std::move(*preset);
    }

    // The measurements run on threads of the executor that never touch
    // Python objects; they have all ended when the pipeline returns.
    Result<OptimizationResult> best = optimizer::run_pipeline(model, max_latency_ms, hw, optimizer::measure_with_adapters_on(hw));
    if (!best) return raise_error(best.error());

    std::string target = output_path ? *output_path : default_requantized_path(model_path);
    std::optional<std::string> written;
    // A failed re-quantization only leaves output_path None; the quantizer's
    // own messages on the inherited streams are the trace.
    if (requantize_model(model_path, target, best->config.quantization)) written = std::move(target);

    return make_optimization_result(*best, model_path, std::move(written));
}

}  // namespace ferrolune::py
