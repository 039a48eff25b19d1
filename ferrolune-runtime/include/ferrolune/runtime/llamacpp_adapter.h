// Measures GGUF models with llama.cpp's benchmark tool, or with its one-shot
// generator where the benchmark tool is not installed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ferrolune/runtime/adapter_base.h"

namespace ferrolune {

class LlamaCppAdapter : public AdapterBase {
public:
    // Looks up llama-bench, then llama-completion, then llama-cli (the last
    // is an interactive chat program in current llama.cpp), and asks it for
    // its version; a generator also for whether it knows -no-cnv.
    Status initialize(const RuntimeConfig& config) override;
    // GGUF only; the file must start with the GGUF magic bytes.
    Status load_model(const ModelDescription& model) override;
    // With llama-bench: one process that warms up and times three
    // generations itself (runs = 3). With a generator: one generation.
    Result<BenchmarkResult> run_inference(std::string_view prompt) override;
    bool warms_up_itself() const override { return uses_bench_; }

    const std::optional<std::string>& tool_path() const { return tool_; }
    const std::optional<std::string>& version() const { return version_; }

private:
    Result<BenchmarkResult> run_bench() const;
    Result<BenchmarkResult> run_generator(std::string_view prompt) const;

    std::string tool_name_;
    std::optional<std::string> version_;
    bool uses_bench_ = false;
    bool no_conversation_ = false;
};

// Generation runs llama-bench times per process.
inline constexpr uint32_t kLlamaBenchRepetitions = 3;

// llama-bench's arguments: model, threads, GPU layers, no prompt test, a
// 50-token generation test repeated kLlamaBenchRepetitions times, JSON.
// The measuring tool on PATH, in the order the adapter prefers them:
// llama-bench, then llama-completion, then llama-cli. Its name and location.
struct LlamaTool {
    std::string name;
    std::string path;
};
std::optional<LlamaTool> find_llama_measuring_tool();

std::vector<std::string> llama_bench_arguments(const RuntimeConfig& config, const ModelDescription& model);

// The generation test of llama-bench's JSON report: its mean rate, the rate's
// standard deviation, per-token latency (mean time / tokens, in ms) and the
// number of samples. Nothing when the text is not that report. Peak memory
// is left 0: the tool does not report it.
std::optional<BenchmarkResult> parse_llama_bench(std::string_view json_text);

struct LlamaTiming {
    double tokens_per_sec = 0.0;
    double latency_ms = 0.0;
};

// The generation figures of llama.cpp's timing summary: the first line with
// "eval time", "tokens per second" that is not the prompt-evaluation line,
// else the first such line. Nothing when there is no such line or a number
// is missing on it.
std::optional<LlamaTiming> parse_llama_timing(std::string_view output);

// Whether `output` holds any timing line at all, and a generation
// (not prompt-evaluation) timing line.
bool has_llama_timing_line(std::string_view output);
bool has_llama_generation_line(std::string_view output);

// The generation run's arguments: model, threads, GPU layers, a 512-token
// context, the prompt, 50 tokens, and -no-cnv when the tool has it.
std::vector<std::string> llama_arguments(const RuntimeConfig& config, const ModelDescription& model,
                                         std::string_view prompt, bool no_conversation);

}  // namespace ferrolune
