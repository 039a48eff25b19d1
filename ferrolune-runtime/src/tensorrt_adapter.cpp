#include "ferrolune/runtime/tensorrt_adapter.h"

#include <fmt/format.h>

#include "adapter_support.h"
#include "ferrolune/core/text.h"

namespace ferrolune {
namespace {

using adapter_support::contains;

constexpr std::string_view kInstallHint = "install NVIDIA TensorRT from https://developer.nvidia.com/tensorrt";

}  // namespace

std::vector<std::string> trtexec_arguments(const RuntimeConfig& config, const ModelDescription& model) {
    return {fmt::format("--onnx={}", text::decode_utf8_lossy(model.path)),
            is_integer_strategy(config.quantization) ? "--int8" : "--fp16",
            fmt::format("--batch={}", config.batch_size),
            "--workspace=4096",
            "--iterations=10",
            "--warmUp=2000",
            "--duration=0"};
}

std::optional<uint32_t> parse_compute_capability_major(std::string_view nvidia_smi_stdout) {
    auto lines = text::split_lines(nvidia_smi_stdout);
    if (lines.empty()) return std::nullopt;
    auto line = text::trim(lines.front());
    auto dot = line.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    auto major = text::parse_unsigned<uint32_t>(line.substr(0, dot));
    auto minor = text::parse_unsigned<uint32_t>(line.substr(dot + 1));
    if (!major || !minor) return std::nullopt;
    return major;
}

Result<BenchmarkResult> parse_trtexec_report(std::string_view stdout_text) {
    auto lines = text::split_lines(stdout_text);
    std::optional<double> tps;
    for (auto line : lines) {
        if (!contains(line, "Throughput:")) continue;
        if (auto piece = adapter_support::piece_after(line, "Throughput:")) tps = text::parse_double(*piece);
        break;
    }
    if (!tps) return fail(RuntimeAdapterError::inference_failed("could not parse throughput from trtexec output"));

    std::optional<double> latency;
    for (auto line : lines) {
        if (!contains(line, "Latency:") || !contains(line, "mean")) continue;
        if (auto piece = adapter_support::piece_after(line, "mean =")) {
            std::string_view p = *piece;
            while (!p.empty() && p.back() == ',') p.remove_suffix(1);
            latency = text::parse_double(p);
        }
        break;
    }
    if (!latency) return fail(RuntimeAdapterError::inference_failed("could not parse latency from trtexec output"));

    // trtexec's usual summary has no memory line; 0 then is the normal case.
    uint64_t memory = 0;
    for (auto line : lines) {
        if (!contains(line, "GPU Memory:")) continue;
        if (auto piece = adapter_support::piece_after(line, "GPU Memory:"))
            memory = text::parse_unsigned<uint64_t>(*piece).value_or(0);
        break;
    }
    return BenchmarkResult{*tps, *latency, memory};
}

Status TensorRtAdapter::initialize(const RuntimeConfig& config) {
    auto found = find_executable("trtexec");
    if (!found) return fail(RuntimeAdapterError::not_installed("trtexec", std::string(kInstallHint)));

    process::Command probe = adapter_support::captured("nvidia-smi", {"--query-gpu=compute_cap", "--format=csv,noheader"});
    // A missing, failing or hanging nvidia-smi skips the check.
    if (auto done = adapter_support::run_limited(probe, "nvidia-smi"); done && done->success()) {
        auto major = parse_compute_capability_major(text::decode_utf8_lossy(done->stdout_bytes));
        if (major && *major <= 6)
            return fail(RuntimeAdapterError::unsupported_configuration(
                fmt::format("TensorRT requires compute capability \u2265 7.0, found {}.x", *major)));
    }
    tool_ = std::move(*found);
    config_ = config;
    return {};
}

Status TensorRtAdapter::load_model(const ModelDescription& model) {
    if (model.format != ModelFormat::Onnx)
        return fail(RuntimeAdapterError::unsupported_configuration(
            fmt::format("TensorRT only supports ONNX models, got {}", display_name(model.format))));
    if (!path_exists(model.path))
        return fail(RuntimeAdapterError::model_load_failed(model.path, "file not found"));
    model_ = model;
    return {};
}

Result<BenchmarkResult> TensorRtAdapter::run_inference(std::string_view) {
    if (auto ready = adapter_support::check_ready(tool_ && config_, model_.has_value()); !ready)
        return fail(std::move(ready.error()));
    process::Command cmd = adapter_support::captured(*tool_, trtexec_arguments(*config_, *model_));
    auto done = adapter_support::run_limited(std::move(cmd), "trtexec");
    if (!done) return fail(std::move(done.error()));
    if (!done->success())
        return fail(RuntimeAdapterError::inference_failed(
            fmt::format("trtexec exited non-zero: {}", adapter_support::decoded_trimmed(done->stderr_bytes))));
    return parse_trtexec_report(text::decode_utf8_lossy(done->stdout_bytes));
}

}  // namespace ferrolune
