#include "ferrolune/runtime/vllm_adapter.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "adapter_support.h"
#include "ferrolune/core/executable.h"
#include "ferrolune/core/text.h"

namespace ferrolune {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kPythonHint = "install Python 3 from https://www.python.org or via your system package manager";

constexpr std::string_view kScript =
    "\n"
    "import time, json, sys\n"
    "try:\n"
    "    from vllm import LLM, SamplingParams\n"
    "    llm = LLM(model=\"{}\", dtype=\"{}\", max_model_len=512)\n"
    "    params = SamplingParams(max_tokens=50)\n"
    "    t0 = time.perf_counter()\n"
    "    out = llm.generate([\"{}\"], params)\n"
    "    elapsed_s = time.perf_counter() - t0\n"
    "    tokens = sum(len(o.outputs[0].token_ids) for o in out)\n"
    "    tps = tokens / elapsed_s if elapsed_s > 0 else 0.0\n"
    "    print(json.dumps({{\"tokens\": tokens, \"elapsed_s\": elapsed_s, \"tps\": tps}}))\n"
    "except Exception as e:\n"
    "    print(json.dumps({{\"error\": str(e)}}), file=sys.stderr)\n"
    "    sys.exit(1)\n";

}  // namespace

std::string_view vllm_dtype(QuantizationStrategy q) {
    return q == QuantizationStrategy::Q8_0 || q == QuantizationStrategy::Int8 ? "float8_e4m3fn" : "float16";
}

std::string python_string_body(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 8);
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += fmt::format("\\x{:02x}", c);
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

std::string vllm_script(std::string_view model_path, QuantizationStrategy quantization, std::string_view prompt) {
    // The path is escaped like the prompt: unescaped, a quote in it would
    // end the literal and run the rest of the path as code.
    return fmt::format(fmt::runtime(kScript), python_string_body(text::decode_utf8_lossy(model_path)),
                       vllm_dtype(quantization), python_string_body(prompt));
}

Result<BenchmarkResult> parse_vllm_reply(std::string_view trimmed_stdout) {
    auto unusable = [&] {
        return fail(RuntimeAdapterError::inference_failed(
            fmt::format("could not parse vLLM JSON output: {}", trimmed_stdout)));
    };
    Json reply = Json::parse(trimmed_stdout.begin(), trimmed_stdout.end(), nullptr, false);
    if (reply.is_discarded() || !reply.is_object()) return unusable();
    auto tps = reply.find("tps");
    auto elapsed = reply.find("elapsed_s");
    if (tps == reply.end() || elapsed == reply.end() || !tps->is_number() || !elapsed->is_number()) return unusable();
    double tokens_per_sec = tps->get<double>();
    double latency_ms = elapsed->get<double>() * 1000.0;
    if (!(tokens_per_sec > 0.0) || !(latency_ms > 0.0)) return unusable();
    return BenchmarkResult{tokens_per_sec, latency_ms, 0};
}

Status VllmAdapter::initialize(const RuntimeConfig& config) {
    // vLLM usually lives in an environment of its own, not in the one that
    // runs this module, so it keeps to python3 on PATH.
    auto python = find_executable("python3");
    if (!python) return fail(RuntimeAdapterError::not_installed("python3", std::string(kPythonHint)));
    process::Command check = adapter_support::captured(*python, {"-c", "import vllm"});
    if (auto limit = bench_time_limit()) check.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(*limit);
    auto done = process::run(check);
    if (!done)
        return fail(RuntimeAdapterError::initialization_failed(
            fmt::format("could not invoke python3 for vLLM check: {}", done.error().render())));
    if (done->timed_out) return fail(RuntimeAdapterError::inference_failed(adapter_support::timeout_reason("python3")));
    if (!done->success())
        return fail(RuntimeAdapterError::not_installed(
            "vllm", fmt::format("install vLLM via `pip install vllm`; {} said: {}", *python,
                                adapter_support::decoded_trimmed(done->stderr_bytes))));
    tool_ = std::move(*python);
    config_ = config;
    return {};
}

Status VllmAdapter::load_model(const ModelDescription& model) {
    if (auto s = check_model(model, std::nullopt, "vLLM"); !s) return s;
    model_ = model;
    return {};
}

Result<BenchmarkResult> VllmAdapter::run_inference(std::string_view prompt) {
    if (auto ready = check_ready(); !ready) return fail(std::move(ready.error()));
    process::Command cmd =
        adapter_support::captured(*tool_, {"-c", vllm_script(model_->path, config_->quantization, prompt)});
    auto done = adapter_support::run_limited(std::move(cmd), "python3");
    if (!done) return fail(std::move(done.error()));
    if (!done->success())
        return fail(RuntimeAdapterError::inference_failed(
            fmt::format("vLLM inference failed: {}", adapter_support::decoded_trimmed(done->stderr_bytes))));
    auto result = parse_vllm_reply(adapter_support::decoded_trimmed(done->stdout_bytes));
    if (!result) return result;
    result->peak_memory_mb = estimate_memory_mb(model_->param_count, config_->quantization);
    return result;
}

}  // namespace ferrolune
