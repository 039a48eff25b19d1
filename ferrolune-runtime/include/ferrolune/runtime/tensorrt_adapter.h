// Measures ONNX models with NVIDIA TensorRT's trtexec.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ferrolune/runtime/adapter_base.h"

namespace ferrolune {

class TensorRtAdapter : public AdapterBase {
public:
    // The first GPU's compute capability (major, minor) as the hardware
    // profile holds it, so a gpu= preset counts; unknown skips the check.
    explicit TensorRtAdapter(std::optional<std::pair<uint32_t, uint32_t>> compute_capability = std::nullopt)
        : compute_capability_(compute_capability) {}

    // Finds trtexec and refuses a GPU below compute capability 7.0.
    Status initialize(const RuntimeConfig& config) override;
    Status load_model(const ModelDescription& model) override;
    // The prompt is not used.
    Result<BenchmarkResult> run_inference(std::string_view prompt) override;

private:
    std::optional<std::pair<uint32_t, uint32_t>> compute_capability_;
};

// "--onnx=...", the precision switch, "--batch=N" and the fixed settings.
std::vector<std::string> trtexec_arguments(const RuntimeConfig& config, const ModelDescription& model);

// Throughput, mean latency and GPU memory from trtexec's report.
Result<BenchmarkResult> parse_trtexec_report(std::string_view stdout_text);

}  // namespace ferrolune
