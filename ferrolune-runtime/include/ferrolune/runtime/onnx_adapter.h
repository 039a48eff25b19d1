// Measures ONNX models with ONNX Runtime through the package's runner
// script, run by a separate Python process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/runtime/adapter_base.h"

namespace ferrolune {

class OnnxAdapter : public AdapterBase {
public:
    // Chooses the interpreter (choose_python), finds onnx_runner.py through
    // the runner lookup and runs the script's --check under that
    // interpreter.
    Status initialize(const RuntimeConfig& config) override;
    // ONNX only; the file must exist (it is not opened).
    Status load_model(const ModelDescription& model) override;
    // One request to the runner on standard input, one reply on its
    // standard output, under the interpreter the check passed with. The
    // prompt is not used.
    Result<BenchmarkResult> run_inference(std::string_view prompt) override;

    const std::optional<std::string>& script_path() const { return tool_; }
    const std::optional<std::string>& interpreter() const { return python_; }

private:
    std::optional<std::string> python_;
};

// The compact request: batch_size, execution_provider, model_path,
// prompt_tokens (50), threads, in that order.
std::string onnx_request(const RuntimeConfig& config, const ModelDescription& model);

// Reads the runner's trimmed reply: the metrics, or the reason the run failed.
Result<BenchmarkResult> parse_onnx_reply(std::string_view trimmed_stdout);

}  // namespace ferrolune
