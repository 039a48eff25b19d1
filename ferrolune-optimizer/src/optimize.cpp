#include "ferrolune/optimizer/optimize.h"

#include <fmt/format.h>

#include "ferrolune/core/text.h"
#include "ferrolune/hardware/detect.h"
#include "ferrolune/hardware/gpu_preset.h"
#include "ferrolune/model_ir/inspect_model.h"
#include "ferrolune/optimizer/pipeline.h"
#include "ferrolune/runtime/requantize.h"
#include "log.h"

namespace ferrolune::optimizer {

namespace {

Result<ModelFormat> parse_format(const std::string& format) {
    const std::string lowered = text::ascii_lower(format);
    if (lowered == "onnx") return ModelFormat::Onnx;
    if (lowered == "gguf") return ModelFormat::Gguf;
    return failf("unknown model format '{}'; expected 'onnx' or 'gguf'", lowered);
}

}  // namespace

Result<OptimizeOutcome> optimize_model(const OptimizeRequest& request, const cancel::InterruptCheck& interrupt,
                                       const OptimizeSeams& seams) {
    Result<ModelFormat> format = parse_format(request.format);
    if (!format) return fail(format.error());

    // Everything below, detection's tools included, runs under the
    // caller's interrupt check.
    cancel::Canceller canceller(interrupt);
    cancel::Scope scope(&canceller);

    Result<ModelIR> ir = seams.inspect ? seams.inspect(request.model_path) : inspect_model(request.model_path);
    // Measuring something that is no model at all only buries the reason;
    // a model whose metadata does not fully decode is still measured, with
    // its figures absent, and the adapters say what that means.
    if (!ir && is_not_a_model(ir.error())) return fail(ir.error());
    ModelDescription model = describe_model(request.model_path, *format, ir);

    HardwareProfile hw = detect();
    if (request.gpu) {
        Result<std::optional<GpuInfo>> preset = gpu_preset(*request.gpu);
        if (!preset) return fail(preset.error());
        hw.gpu = std::move(*preset);
    }
    if (canceller.poll()) return fail(cancel::interrupted_error());

    // The adapters plan with this profile (a GPU preset included).
    const MeasureFn measure = seams.measure ? seams.measure : measure_with_adapters_on(hw);
    Result<OptimizationResult> best = run_pipeline(model, request.max_latency_ms, hw, measure, &canceller);
    if (!best) return fail(best.error());

    OptimizeOutcome outcome{*best, std::nullopt, std::nullopt};
    std::string target = request.output_path ? *request.output_path : default_requantized_path(request.model_path);
    Status written = requantize_model(request.model_path, target, best->config.quantization);
    if (!written && cancel::is_interrupted(written.error())) return fail(written.error());
    if (written) {
        outcome.output_path = std::move(target);
    } else {
        // Never silent: the search's result stands, but the user learns why
        // there is no file.
        outcome.requantize_skipped_reason = written.error().render();
        log_line(fmt::format("[ferrolune] no re-quantized model written: {}", *outcome.requantize_skipped_reason));
    }
    return outcome;
}

}  // namespace ferrolune::optimizer
