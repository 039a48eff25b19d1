// One optimize request from start to end: the format check, the model's
// inspection and description, the machine (with an optional GPU preset),
// the search, and the re-quantized copy of the winner. The Python binding
// only converts its arguments and this function's outcome.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "ferrolune/core/cancel.h"
#include "ferrolune/core/error.h"
#include "ferrolune/model_ir/model_ir.h"
#include "ferrolune/optimizer/benchmark.h"
#include "ferrolune/optimizer/optimization_result.h"

namespace ferrolune::optimizer {

struct OptimizeRequest {
    std::string model_path;
    std::string format;  // "onnx" or "gguf" in any letter case; wins over the file's extension
    std::optional<std::string> gpu;  // a GPU preset name replacing the detected GPU
    std::optional<double> max_latency_ms;
    std::optional<std::string> output_path;  // default: "{stem}-optimized.gguf" (".onnx") beside the input
};

struct OptimizeOutcome {
    OptimizationResult result;
    std::optional<std::string> output_path;  // the re-quantized file, when one was written
    // Why no file was written (the refusal, or the tool's exit status and
    // last lines); also written to standard error as one line.
    std::optional<std::string> requantize_skipped_reason;
};

// What the tests replace: the measurement and the inspection.
struct OptimizeSeams {
    MeasureFn measure;  // empty: the adapters, planning with the profile in use
    std::function<Result<ModelIR>(const std::string&)> inspect;  // empty: inspect_model
};

// A file that is not a model of its format at all fails here with the
// reader's error before anything is measured; one whose metadata only
// partly decodes is measured with its figures absent. `interrupt` runs on
// the calling thread at least every cancel::kPollInterval while work is in
// progress; once it returns true the running children are killed and
// reaped, a partial re-quantized file is removed, and the call fails with
// cancel::interrupted_error().
Result<OptimizeOutcome> optimize_model(const OptimizeRequest& request, const cancel::InterruptCheck& interrupt = {},
                                       const OptimizeSeams& seams = {});

}  // namespace ferrolune::optimizer
