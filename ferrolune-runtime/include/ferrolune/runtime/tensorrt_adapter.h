// Measures ONNX models with NVIDIA TensorRT's trtexec.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ferrolune/runtime/adapter_registry.h"

namespace ferrolune {

class TensorRtAdapter : public RuntimeAdapter {
public:
    // Finds trtexec and refuses a first GPU below compute capability 7.0
    // (as nvidia-smi reports it; no answer passes).
    Status initialize(const RuntimeConfig& config) override;
    Status load_model(const ModelDescription& model) override;
    // The prompt is not used.
    Result<BenchmarkResult> run_inference(std::string_view prompt) override;

private:
    std::optional<std::string> tool_;
    std::optional<RuntimeConfig> config_;
    std::optional<ModelDescription> model_;
};

// "--onnx=...", the precision switch, "--batch=N" and the fixed settings.
std::vector<std::string> trtexec_arguments(const RuntimeConfig& config, const ModelDescription& model);

// The major compute capability from nvidia-smi's first line, when the line
// reads MAJOR.MINOR with two unsigned decimals.
std::optional<uint32_t> parse_compute_capability_major(std::string_view nvidia_smi_stdout);

// Throughput, mean latency and GPU memory from trtexec's report.
Result<BenchmarkResult> parse_trtexec_report(std::string_view stdout_text);

}  // namespace ferrolune
