#include "ferrolune/runtime/llamacpp_adapter.h"

#include <array>

#include <fcntl.h>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "adapter_support.h"
#include "ferrolune/core/executable.h"
#include "ferrolune/core/file.h"
#include "ferrolune/core/text.h"

namespace ferrolune {
namespace {

using adapter_support::contains;
using Json = nlohmann::json;

constexpr std::string_view kGeneratedTokens = "50";

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

std::vector<std::string> llama_bench_arguments(const RuntimeConfig& config, const ModelDescription& model) {
    return {"-m",  text::decode_utf8_lossy(model.path),
            "-t",  std::to_string(config.threads),
            "-ngl", std::to_string(config.gpu_layers),
            "-p",  "0",
            "-n",  std::string(kGeneratedTokens),
            "-r",  std::to_string(kLlamaBenchRepetitions),
            "-o",  "json"};
}

std::optional<BenchmarkResult> parse_llama_bench(std::string_view json_text) {
    Json report = Json::parse(json_text, nullptr, /*allow_exceptions=*/false);
    if (!report.is_array()) return std::nullopt;
    for (const Json& test : report) {
        if (!test.is_object()) return std::nullopt;
        auto n_prompt = test.find("n_prompt");
        auto n_gen = test.find("n_gen");
        if (n_prompt == test.end() || n_gen == test.end() || !n_prompt->is_number_integer() ||
            !n_gen->is_number_integer())
            return std::nullopt;
        // Only a pure generation test measures what the search ranks by.
        if (n_prompt->get<int64_t>() != 0 || n_gen->get<int64_t>() <= 0) continue;
        auto avg_ts = test.find("avg_ts");
        auto stddev_ts = test.find("stddev_ts");
        auto avg_ns = test.find("avg_ns");
        if (avg_ts == test.end() || stddev_ts == test.end() || avg_ns == test.end() || !avg_ts->is_number() ||
            !stddev_ts->is_number() || !avg_ns->is_number())
            return std::nullopt;
        BenchmarkResult r;
        r.tokens_per_sec = avg_ts->get<double>();
        r.tokens_per_sec_stddev = stddev_ts->get<double>();
        // avg_ns is the mean time of one whole generation test.
        r.latency_ms = avg_ns->get<double>() / static_cast<double>(n_gen->get<int64_t>()) / 1e6;
        r.runs = kLlamaBenchRepetitions;
        if (auto samples = test.find("samples_ts"); samples != test.end() && samples->is_array() && !samples->empty())
            r.runs = static_cast<uint32_t>(samples->size());
        return r;
    }
    return std::nullopt;
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
                                  std::string(kGeneratedTokens)};
    // No --log-disable: it silences the timing summary too.
    if (no_conversation) args.emplace_back("-no-cnv");
    return args;
}

std::optional<LlamaTool> find_llama_measuring_tool() {
    for (std::string_view candidate : {"llama-bench", "llama-completion", "llama-cli"})
        if (std::optional<std::string> path = find_executable(std::string(candidate)))
            return LlamaTool{std::string(candidate), std::move(*path)};
    return std::nullopt;
}

Status LlamaCppAdapter::initialize(const RuntimeConfig& config) {
    std::optional<LlamaTool> tool = find_llama_measuring_tool();
    if (!tool) return fail(RuntimeAdapterError::not_installed("llama-cli", std::string(kInstallHint)));
    const std::string name = tool->name;
    const std::optional<std::string> found = tool->path;
    const bool bench = name == "llama-bench";

    std::optional<std::string> version;
    process::Command probe = adapter_support::captured(*found, {"--version"});
    if (auto done = adapter_support::run_limited(probe, name)) {
        // Recent builds print the version on standard error.
        version = adapter_support::decoded_trimmed(done->stdout_bytes);
        if (version->empty()) version = adapter_support::decoded_trimmed(done->stderr_bytes);
    }
    bool no_cnv = false;
    if (!bench) {
        process::Command help = adapter_support::captured(*found, {"--help"});
        if (auto done = adapter_support::run_limited(help, name))
            no_cnv = contains(done->stdout_bytes, "-no-cnv") || contains(done->stderr_bytes, "-no-cnv");
    }

    tool_ = std::move(*found);
    tool_name_ = std::move(name);
    uses_bench_ = bench;
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
    return uses_bench_ ? run_bench() : run_generator(prompt);
}

Result<BenchmarkResult> LlamaCppAdapter::run_bench() const {
    // The benchmark tool generates from an empty context, so the prompt
    // plays no part; its report goes to standard output in one write at the
    // end, which the generators' lost-summary problem does not touch.
    auto done = adapter_support::run_limited(adapter_support::captured(*tool_, llama_bench_arguments(*config_, *model_)),
                                             tool_name_);
    if (!done) return fail(std::move(done.error()));
    if (!done->success()) return adapter_support::exited_non_zero(tool_name_, *done);
    std::optional<BenchmarkResult> result = parse_llama_bench(text::decode_utf8_lossy(done->stdout_bytes));
    if (!result)
        return fail(RuntimeAdapterError::inference_failed(
            fmt::format("could not parse timing output from {}", tool_name_)));
    // What the process really held (the mapped weights it touched included);
    // the estimate only where the system kept no figure.
    result->peak_memory_mb = done->peak_rss_kb ? *done->peak_rss_kb * 1024 / 1'000'000
                                               : estimate_memory_mb(model_->param_count, config_->quantization);
    return *result;
}

Result<BenchmarkResult> LlamaCppAdapter::run_generator(std::string_view prompt) const {    // llama.cpp writes its output through a logger thread that is not
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
                           estimate_memory_mb(model_->param_count, config_->quantization), std::nullopt, 1};
}

}  // namespace ferrolune
