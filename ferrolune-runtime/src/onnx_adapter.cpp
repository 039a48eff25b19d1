#include "ferrolune/runtime/onnx_adapter.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "adapter_support.h"
#include "ferrolune/core/json_writer.h"
#include "ferrolune/core/text.h"
#include "ferrolune/runtime/python_interpreter.h"
#include "ferrolune/runtime/runner_protocol.h"

namespace ferrolune {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kInstallHint = "install Python 3 and onnxruntime (pip install onnxruntime)";
constexpr std::string_view kScriptName = "onnx_runner.py";

std::optional<double> as_number(const Json& v) {
    if (!v.is_number()) return std::nullopt;
    return v.get<double>();
}

std::optional<uint64_t> as_count(const Json& v) {
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    if (v.is_number_integer() && v.get<int64_t>() >= 0) return static_cast<uint64_t>(v.get<int64_t>());
    return std::nullopt;
}

std::optional<BenchmarkResult> read_success(const Json& v) {
    std::optional<double> tps, ms;
    std::optional<uint64_t> mem;
    if (v.is_array()) {
        if (v.size() != 3) return std::nullopt;
        tps = as_number(v[0]);
        ms = as_number(v[1]);
        mem = as_count(v[2]);
    } else {
        for (const char* k : {"tokens_per_sec", "latency_ms", "peak_memory_mb"})
            if (!v.contains(k)) return std::nullopt;
        tps = as_number(v["tokens_per_sec"]);
        ms = as_number(v["latency_ms"]);
        mem = as_count(v["peak_memory_mb"]);
    }
    if (!tps || !ms || !mem) return std::nullopt;
    return BenchmarkResult{*tps, *ms, *mem};
}

}  // namespace

std::string onnx_request(const RuntimeConfig& config, const ModelDescription& model) {
    json::Writer w;
    w.begin_object();
    w.key("batch_size").uint(config.batch_size);
    w.key("execution_provider").string(config.gpu_layers != 0 ? "CUDAExecutionProvider" : "CPUExecutionProvider");
    w.key("model_path").string(text::decode_utf8_lossy(model.path));
    w.key("prompt_tokens").uint(50);
    w.key("threads").uint(config.threads);
    w.end_object();
    return w.take();
}

Result<BenchmarkResult> parse_onnx_reply(std::string_view trimmed_stdout) {
    if (auto reply = runner::parse_reply(trimmed_stdout)) {
        if (auto ok = read_success(*reply)) return *ok;
        if (reply->is_object()) {
            auto it = reply->find("error");
            if (it != reply->end() && it->is_string())
                return fail(RuntimeAdapterError::inference_failed(it->get<std::string>()));
        }
    }
    return fail(RuntimeAdapterError::inference_failed(
        fmt::format("unparseable onnx_runner output: {}", trimmed_stdout)));
}

Status OnnxAdapter::initialize(const RuntimeConfig& config) {
    auto python = choose_python();
    if (!python) return fail(RuntimeAdapterError::not_installed("python3", std::string(kInstallHint)));
    auto script = runner::find_script(kScriptName, runner::SearchPlaces::current(*python));
    if (!script) return fail(RuntimeAdapterError::not_installed(std::string(kScriptName), std::string(kInstallHint)));

    // The check may talk to the user directly, so it keeps the host's streams.
    process::Command check = adapter_support::captured(*python, {*script, "--check"});
    check.stdin_mode = process::Input::Inherit;
    check.stdout_mode = process::Output::Inherit;
    check.stderr_mode = process::Output::Inherit;
    if (auto limit = bench_time_limit()) check.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(*limit);
    auto done = process::run(check);
    if (!done) return fail(RuntimeAdapterError::initialization_failed(done.error().render()));
    if (done->timed_out)
        return fail(RuntimeAdapterError::inference_failed(adapter_support::timeout_reason(kScriptName)));
    // The package may well be installed for another interpreter; say which
    // one lacked it.
    if (!done->success())
        return fail(RuntimeAdapterError::not_installed(
            "onnxruntime (python package)",
            fmt::format("install onnxruntime for {0} ({0} -m pip install onnxruntime)", *python)));

    python_ = std::move(*python);
    tool_ = std::move(*script);
    config_ = config;
    return {};
}

Status OnnxAdapter::load_model(const ModelDescription& model) {
    if (auto s = check_model(model, ModelFormat::Onnx, "OnnxAdapter"); !s) return s;
    model_ = model;
    return {};
}

Result<BenchmarkResult> OnnxAdapter::run_inference(std::string_view) {
    if (auto ready = check_ready(); !ready) return fail(std::move(ready.error()));
    auto done = adapter_support::run_limited(runner::script_command(*python_, *tool_, onnx_request(*config_, *model_)),
                                             kScriptName);
    if (!done) return fail(std::move(done.error()));
    if (!done->success()) return adapter_support::exited_non_zero(kScriptName, *done);
    return parse_onnx_reply(adapter_support::decoded_trimmed(done->stdout_bytes));
}

}  // namespace ferrolune
