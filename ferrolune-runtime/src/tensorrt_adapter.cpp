#include "ferrolune/runtime/tensorrt_adapter.h"

#include <fmt/format.h>

#include "adapter_support.h"
#include "ferrolune/core/executable.h"
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

    if (compute_capability_ && compute_capability_->first <= 6)
        return fail(RuntimeAdapterError::unsupported_configuration(fmt::format(
            "TensorRT requires compute capability \u2265 7.0, found {}.x", compute_capability_->first)));
    tool_ = std::move(*found);
    config_ = config;
    return {};
}

Status TensorRtAdapter::load_model(const ModelDescription& model) {
    if (auto s = check_model(model, ModelFormat::Onnx, "TensorRT"); !s) return s;
    model_ = model;
    return {};
}

Result<BenchmarkResult> TensorRtAdapter::run_inference(std::string_view) {
    if (auto ready = check_ready(); !ready) return fail(std::move(ready.error()));
    process::Command cmd = adapter_support::captured(*tool_, trtexec_arguments(*config_, *model_));
    auto done = adapter_support::run_limited(std::move(cmd), "trtexec");
    if (!done) return fail(std::move(done.error()));
    if (!done->success())
        return adapter_support::exited_non_zero("trtexec", *done);
    return parse_trtexec_report(text::decode_utf8_lossy(done->stdout_bytes));
}

}  // namespace ferrolune
