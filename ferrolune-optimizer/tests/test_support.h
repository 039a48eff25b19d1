// Fixtures shared by the optimizer tests: machines, models and scripted
// measurement surfaces that stand in for the real runtimes.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ferrolune/hardware/hardware_profile.h"
#include "ferrolune/optimizer/benchmark.h"
#include "ferrolune/optimizer/optimization_result.h"
#include "ferrolune/runtime/run_records.h"
#include "ferrolune/runtime/runtime_adapter.h"

namespace ferrolune::optimizer::testing_support {

// Every runtime's tool counts as installed, whatever this machine has.
inline std::optional<std::string> every_tool_installed(RuntimeKind) { return std::nullopt; }

inline HardwareProfile machine(uint32_t cores, uint64_t available_mb, std::optional<GpuInfo> gpu = std::nullopt,
                               SimdLevel simd = SimdLevel::AVX2) {
    HardwareProfile hw;
    hw.cpu.core_count = cores;
    hw.cpu.brand = "Test CPU";
    hw.cpu.simd_level = simd;
    hw.gpu = std::move(gpu);
    hw.ram.total_mb = available_mb * 2;
    hw.ram.available_mb = available_mb;
    return hw;
}

inline GpuInfo gpu(GpuVendor vendor, uint64_t vram_mb) {
    return GpuInfo{"Test GPU", vram_mb, std::nullopt, vendor};
}

inline ModelDescription gguf_model(std::optional<uint64_t> params = std::nullopt) {
    ModelDescription m;
    m.path = "model.gguf";
    m.format = ModelFormat::Gguf;
    m.param_count = params;
    return m;
}

inline std::string describe(const RuntimeConfig& c) {
    return std::string(to_string(c.runtime)) + "/" + std::string(to_string(c.quantization)) + "/" +
           std::to_string(c.threads) + "/" + std::to_string(c.gpu_layers) + "/" + std::to_string(c.batch_size);
}

// The adapters' missing-tool error, as a llama.cpp measurement reports it.
inline Error missing_tool_error(std::string_view binary) {
    return RuntimeAdapterError::not_installed(std::string(binary), "install it").to_error();
}

// A measurement surface: metrics as a function of the configuration, with a
// record of every configuration measured, in call order.
class ScriptedSurface {
public:
    using Fn = std::function<Result<BenchmarkResult>(const RuntimeConfig&)>;
    explicit ScriptedSurface(Fn fn) : fn_(std::move(fn)) {}

    MeasureFn measure() {
        return [this](const RuntimeConfig& c, const ModelDescription&, std::string_view prompt) {
            EXPECT_EQ(prompt, kBenchmarkPrompt);
            {
                std::lock_guard lock(mu_);
                measured_.push_back(c);
            }
            return fn_(c);
        };
    }
    std::vector<RuntimeConfig> measured() const {
        std::lock_guard lock(mu_);
        return measured_;
    }

private:
    Fn fn_;
    mutable std::mutex mu_;
    std::vector<RuntimeConfig> measured_;
};

// A smooth surface with factors per dimension; its optimum is known.
inline BenchmarkResult factor_surface(const RuntimeConfig& c) {
    static const std::map<RuntimeKind, double> runtime{{RuntimeKind::LlamaCpp, 10.0}, {RuntimeKind::Ollama, 7.0}};
    static const std::map<QuantizationStrategy, double> quant{{QuantizationStrategy::Q4_K_M, 1.0},
                                                              {QuantizationStrategy::Q4_0, 1.25}};
    static const std::map<uint32_t, double> threads{{4, 1.0}, {8, 1.5}, {16, 1.25}};
    static const std::map<uint32_t, double> batch{{128, 1.0}, {256, 1.1}, {512, 0.9}};
    // A dimension the runtime's tool is not given (reported as 0) has no effect.
    auto factor = [](const std::map<uint32_t, double>& m, uint32_t v) { return m.contains(v) ? m.at(v) : 1.0; };
    double tps = runtime.at(c.runtime) * quant.at(c.quantization) * factor(threads, c.threads) *
                 factor(batch, c.batch_size) * (1.0 + c.gpu_layers / 32.0);
    return BenchmarkResult{tps, 1000.0 / tps, 1000};
}

}  // namespace ferrolune::optimizer::testing_support
