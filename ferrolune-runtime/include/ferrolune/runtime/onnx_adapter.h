// Measures ONNX models with ONNX Runtime through the package's runner
// script, run by a separate python3.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/runtime/adapter_registry.h"

namespace ferrolune {

class OnnxAdapter : public RuntimeAdapter {
public:
    // Finds python3 and onnx_runner.py and runs the script's --check.
    Status initialize(const RuntimeConfig& config) override;
    // ONNX only; the file must exist (it is not opened).
    Status load_model(const ModelDescription& model) override;
    // One request to the runner on standard input, one reply on its
    // standard output. The prompt is not used.
    Result<BenchmarkResult> run_inference(std::string_view prompt) override;

    const std::optional<std::string>& script_path() const { return script_; }

private:
    std::optional<std::string> script_;
    std::optional<RuntimeConfig> config_;
    std::optional<ModelDescription> model_;
};

// Where a runner script of the package lives: <executable's directory>/
// python/ferrolune/<name>; then python/ferrolune/<name> under
// FERROLUNE_SOURCE_DIR or up to four of its ancestors; then beside the
// extension module itself (the installed package directory).
std::optional<std::string> locate_runner_script(std::string_view name);

// The compact request: batch_size, execution_provider, model_path,
// prompt_tokens (50), threads, in that order.
std::string onnx_request(const RuntimeConfig& config, const ModelDescription& model);

// Reads the runner's trimmed reply: the metrics, or the reason the run failed.
Result<BenchmarkResult> parse_onnx_reply(std::string_view trimmed_stdout);

}  // namespace ferrolune
