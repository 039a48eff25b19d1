// Measures models with vLLM through a short script run by python3 -c.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/runtime/adapter_registry.h"

namespace ferrolune {

class VllmAdapter : public RuntimeAdapter {
public:
    // Finds python3 and checks that it can import vllm.
    Status initialize(const RuntimeConfig& config) override;
    // Any format; the file must exist.
    Status load_model(const ModelDescription& model) override;
    Result<BenchmarkResult> run_inference(std::string_view prompt) override;

private:
    std::optional<std::string> python_;
    std::optional<RuntimeConfig> config_;
    std::optional<ModelDescription> model_;
};

// "float8_e4m3fn" for Q8_0 and Int8, "float16" otherwise.
std::string_view vllm_dtype(QuantizationStrategy q);

// The body of a double-quoted Python string literal holding `s`: backslash,
// double quote, line breaks and other control characters escaped, so the
// text can never end the literal or the line.
std::string python_string_body(std::string_view s);

// The benchmark script with the model path, dtype and prompt filled in
// (path and prompt escaped with python_string_body).
std::string vllm_script(std::string_view model_path, QuantizationStrategy quantization, std::string_view prompt);

// tps and elapsed_s (as milliseconds) from the script's trimmed reply.
Result<BenchmarkResult> parse_vllm_reply(std::string_view trimmed_stdout);

}  // namespace ferrolune
