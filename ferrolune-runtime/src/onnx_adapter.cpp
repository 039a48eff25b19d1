#include "ferrolune/runtime/onnx_adapter.h"

#include <cstdlib>
#include <map>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "adapter_support.h"
#include "ferrolune/core/json_writer.h"
#include "ferrolune/core/paths.h"
#include "ferrolune/core/self_location.h"
#include "ferrolune/core/text.h"

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

std::optional<BenchmarkResult> read_success(const Json& v, const std::map<std::string, int>& top_keys) {
    std::optional<double> tps, ms;
    std::optional<uint64_t> mem;
    if (v.is_array()) {
        if (v.size() != 3) return std::nullopt;
        tps = as_number(v[0]);
        ms = as_number(v[1]);
        mem = as_count(v[2]);
    } else if (v.is_object()) {
        for (const char* k : {"tokens_per_sec", "latency_ms", "peak_memory_mb"}) {
            auto it = top_keys.find(k);
            if (it == top_keys.end() || it->second != 1) return std::nullopt;
        }
        tps = as_number(v["tokens_per_sec"]);
        ms = as_number(v["latency_ms"]);
        mem = as_count(v["peak_memory_mb"]);
    }
    if (!tps || !ms || !mem) return std::nullopt;
    return BenchmarkResult{*tps, *ms, *mem};
}

}  // namespace

std::optional<std::string> locate_runner_script(std::string_view name) {
    if (auto dir = executable_directory(); dir && !dir->empty()) {
        std::string candidate = join_path(join_path(join_path(*dir, "python"), "ferrolune"), name);
        if (path_exists(candidate)) return candidate;
    }
    if (auto src = source_dir_from_env()) {
        if (auto found = find_upwards(*src, join_path("python/ferrolune", name), 5)) return found;
    }
    // An installed package keeps the scripts beside the extension module,
    // which is where this code is loaded from.
    if (auto dir = self_directory(); dir && !dir->empty()) {
        std::string candidate = join_path(*dir, name);
        if (path_exists(candidate)) return candidate;
    }
    return std::nullopt;
}

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
    // A member given twice makes the reply ambiguous, so count the top-level keys.
    std::map<std::string, int> top_keys;
    auto count_keys = [&](int depth, Json::parse_event_t event, Json& parsed) {
        if (depth == 1 && event == Json::parse_event_t::key) ++top_keys[parsed.get<std::string>()];
        return true;
    };
    Json reply = Json::parse(trimmed_stdout.begin(), trimmed_stdout.end(), count_keys, false);
    if (!reply.is_discarded()) {
        if (auto ok = read_success(reply, top_keys)) return *ok;
        if (reply.is_object()) {
            auto it = reply.find("error");
            if (it != reply.end() && it->is_string())
                return fail(RuntimeAdapterError::inference_failed(it->get<std::string>()));
        }
    }
    return fail(RuntimeAdapterError::inference_failed(
        fmt::format("unparseable onnx_runner output: {}", trimmed_stdout)));
}

Status OnnxAdapter::initialize(const RuntimeConfig& config) {
    auto python = find_executable("python3");
    if (!python) return fail(RuntimeAdapterError::not_installed("python3", std::string(kInstallHint)));
    auto script = locate_runner_script(kScriptName);
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
    if (!done->success())
        return fail(RuntimeAdapterError::not_installed("onnxruntime (python package)", std::string(kInstallHint)));

    script_ = std::move(*script);
    config_ = config;
    return {};
}

Status OnnxAdapter::load_model(const ModelDescription& model) {
    if (model.format != ModelFormat::Onnx)
        return fail(RuntimeAdapterError::unsupported_configuration(
            fmt::format("OnnxAdapter only supports ONNX models, got {}", display_name(model.format))));
    if (!path_exists(model.path))
        return fail(RuntimeAdapterError::model_load_failed(model.path, "file not found"));
    model_ = model;
    return {};
}

Result<BenchmarkResult> OnnxAdapter::run_inference(std::string_view) {
    if (auto ready = adapter_support::check_ready(script_ && config_, model_.has_value()); !ready)
        return fail(std::move(ready.error()));
    process::Command cmd = adapter_support::captured("python3", {*script_});
    cmd.stdin_mode = process::Input::Pipe;
    cmd.stdin_data = onnx_request(*config_, *model_);
    auto done = adapter_support::run_limited(std::move(cmd), kScriptName);
    if (!done) return fail(std::move(done.error()));
    if (!done->success())
        return fail(RuntimeAdapterError::inference_failed(fmt::format(
            "onnx_runner.py exited non-zero: {}", adapter_support::decoded_trimmed(done->stderr_bytes))));
    return parse_onnx_reply(adapter_support::decoded_trimmed(done->stdout_bytes));
}

}  // namespace ferrolune
