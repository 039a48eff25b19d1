// Measures models with vLLM through a short script run by python3 -c.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/runtime/adapter_base.h"

namespace ferrolune {

class VllmAdapter : public AdapterBase {
public:
    // Finds python3 on PATH (not the host interpreter: vLLM is usually
    // installed apart) and checks that it can import vllm; a failure names
    // the interpreter that was asked.
    Status initialize(const RuntimeConfig& config) override;
    // Any format; the file must exist.
    Status load_model(const ModelDescription& model) override;
    Result<BenchmarkResult> run_inference(std::string_view prompt) override;

    // The interpreter the check passed with.
    const std::optional<std::string>& interpreter() const { return tool_; }
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
