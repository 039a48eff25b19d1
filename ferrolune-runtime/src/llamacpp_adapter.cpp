#include "ferrolune/runtime/llamacpp_adapter.h"

#include <array>

#include <fcntl.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "adapter_support.h"
#include "ferrolune/core/executable.h"
#include "ferrolune/core/file.h"
#include "ferrolune/core/text.h"

namespace ferrolune {
namespace {

using adapter_support::contains;

constexpr std::string_view kInstallHint =
    "install llama.cpp from https://github.com/ggml-org/llama.cpp/releases or via your package manager "
    "(e.g. brew install llama.cpp)";

bool is_candidate(std::string_view line) { return contains(line, "eval time") && contains(line, "tokens per second"); }

// Reads the first four bytes; the error is the reason text of ModelLoadFailed.
Result<std::array<unsigned char, 4>> read_magic(const std::string& path) {
    auto fd = file::open(path, O_RDONLY);
    if (!fd) return fail(std::move(fd.error()));
    std::array<unsigned char, 4> magic{};
    if (auto got = file::read_exact(fd->get(), magic.data(), magic.size()); !got) return fail(std::move(got.error()));
    return magic;
}

}  // namespace

bool has_llama_timing_line(std::string_view output) {
    for (auto line : text::split_lines(output))
        if (is_candidate(line)) return true;
    return false;
}

bool has_llama_generation_line(std::string_view output) {
    for (auto line : text::split_lines(output))
        if (is_candidate(line) && !contains(line, "prompt eval time")) return true;
    return false;
}

std::optional<LlamaTiming> parse_llama_timing(std::string_view output) {
    std::optional<std::string_view> first, generation;
    for (auto line : text::split_lines(output)) {
        if (!is_candidate(line)) continue;
        if (!first) first = line;
        // The prompt-evaluation line comes first and reports prompt
        // throughput; ranking by it would favour the wrong configuration.
        if (!contains(line, "prompt eval time")) {
            generation = line;
            break;
        }
    }
    auto line = generation ? generation : first;
    if (!line) return std::nullopt;
    auto tps = adapter_support::number_before(*line, "tokens per second");
    auto ms = adapter_support::number_before(*line, "ms per token");
    if (!tps || !ms) return std::nullopt;
    return LlamaTiming{*tps, *ms};
}

std::vector<std::string> llama_arguments(const RuntimeConfig& config, const ModelDescription& model,
                                         std::string_view prompt, bool no_conversation) {
    std::vector<std::string> args{"-m",
                                  text::decode_utf8_lossy(model.path),
                                  "--threads",
                                  std::to_string(config.threads),
                                  "--n-gpu-layers",
                                  std::to_string(config.gpu_layers),
                                  "--ctx-size",
                                  "512",
                                  "-p",
                                  std::string(prompt),
                                  "--n-predict",
                                  "50"};
    // No --log-disable: it silences the timing summary too.
    if (no_conversation) args.emplace_back("-no-cnv");
    return args;
}

Status LlamaCppAdapter::initialize(const RuntimeConfig& config) {
    std::string name = "llama-completion";
    auto found = find_executable(name);
    if (!found) {
        name = "llama-cli";
        found = find_executable(name);
    }
    if (!found) return fail(RuntimeAdapterError::not_installed("llama-cli", std::string(kInstallHint)));

    std::optional<std::string> version;
    process::Command probe = adapter_support::captured(*found, {"--version"});
    if (auto done = adapter_support::run_limited(probe, name)) {
        // Recent builds print the version on standard error.
        version = adapter_support::decoded_trimmed(done->stdout_bytes);
        if (version->empty()) version = adapter_support::decoded_trimmed(done->stderr_bytes);
    }
    bool no_cnv = false;
    process::Command help = adapter_support::captured(*found, {"--help"});
    if (auto done = adapter_support::run_limited(help, name))
        no_cnv = contains(done->stdout_bytes, "-no-cnv") || contains(done->stderr_bytes, "-no-cnv");

    tool_ = std::move(*found);
    tool_name_ = std::move(name);
    version_ = std::move(version);
    no_conversation_ = no_cnv;
    config_ = config;
    return {};
}

Status LlamaCppAdapter::load_model(const ModelDescription& model) {
    if (auto s = check_model(model, ModelFormat::Gguf, "llama.cpp"); !s) return s;
    auto magic = read_magic(model.path);
    if (!magic) return fail(RuntimeAdapterError::model_load_failed(model.path, magic.error().message()));
    const std::array<unsigned char, 4> gguf{'G', 'G', 'U', 'F'};
    if (*magic != gguf)
        return fail(RuntimeAdapterError::unsupported_configuration(fmt::format(
            "file does not start with GGUF magic bytes (got [{}])", fmt::join(*magic, ", "))));
    model_ = model;
    return {};
}

Result<BenchmarkResult> LlamaCppAdapter::run_inference(std::string_view prompt) {
    if (auto ready = check_ready(); !ready) return fail(std::move(ready.error()));
    // llama.cpp writes its output through a logger thread that is not
    // flushed at exit, so on a busy machine a run that succeeded can lose
    // its last lines: the generation line, or the whole summary. Such a run
    // is repeated; the prompt-evaluation fallback is used only when every
    // attempt lacked the generation line.
    constexpr int kAttempts = 5;
    std::optional<std::string> summary;  // the output that holds the timing lines
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        process::Command cmd =
            adapter_support::captured(*tool_, llama_arguments(*config_, *model_, prompt, no_conversation_));
        auto done = adapter_support::run_limited(std::move(cmd), tool_name_);
        if (!done) return fail(std::move(done.error()));
        if (!done->success())
            return adapter_support::exited_non_zero(tool_name_, *done);
        // Older builds printed the summary on standard output, current ones
        // on standard error.
        std::string out = text::decode_utf8_lossy(done->stdout_bytes);
        if (!has_llama_timing_line(out)) out = text::decode_utf8_lossy(done->stderr_bytes);
        if (!has_llama_timing_line(out)) continue;
        summary = std::move(out);
        if (has_llama_generation_line(*summary)) break;
    }
    std::optional<LlamaTiming> timing;
    if (summary) timing = parse_llama_timing(*summary);
    if (!timing)
        return fail(RuntimeAdapterError::inference_failed(
            fmt::format("could not parse timing output from {}", tool_name_)));
    return BenchmarkResult{timing->tokens_per_sec, timing->latency_ms,
                           estimate_memory_mb(model_->param_count, config_->quantization)};
}

}  // namespace ferrolune
