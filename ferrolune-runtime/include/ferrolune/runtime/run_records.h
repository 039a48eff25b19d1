// What one measurement is about: the runtime and quantization kinds, the
// configuration a runtime is run with, the model it runs, and the figures a
// run yields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/core/error.h"
#include "ferrolune/model_ir/model_ir.h"

namespace ferrolune {

enum class RuntimeKind { LlamaCpp, OnnxRuntime, TensorRT, Ollama, Vllm };

enum class QuantizationStrategy { F16, Q8_0, Q4_K_M, Q4_0, Int8, Int4 };

std::string_view to_string(RuntimeKind k);
std::string_view to_string(QuantizationStrategy q);

double bytes_per_param(QuantizationStrategy q);
// Int8 and Int4.
bool is_integer_strategy(QuantizationStrategy q);

struct RuntimeConfig {
    RuntimeKind runtime = RuntimeKind::LlamaCpp;
    QuantizationStrategy quantization = QuantizationStrategy::Q4_K_M;
    uint32_t threads = 0;
    uint32_t batch_size = 0;
    uint32_t gpu_layers = 0;

    friend bool operator==(const RuntimeConfig&, const RuntimeConfig&) = default;
};

struct BenchmarkResult {
    double tokens_per_sec = 0.0;
    double latency_ms = 0.0;
    uint64_t peak_memory_mb = 0;
    // Sample standard deviation of tokens_per_sec over the runs averaged;
    // absent for a single run or an estimate, which carry no spread.
    std::optional<double> tokens_per_sec_stddev;
    // How many measured runs the figures average.
    uint32_t runs = 1;
};

struct ModelDescription {
    std::string path;
    ModelFormat format = ModelFormat::Gguf;
    std::optional<uint64_t> param_count;
    std::optional<uint32_t> context_length;
    std::optional<uint32_t> layer_count;
    std::optional<uint64_t> feed_forward_length;
    std::optional<uint32_t> hidden_size;
    std::optional<uint32_t> attention_head_count;
    std::optional<uint32_t> attention_head_count_kv;
    std::optional<double> kv_cache_size_mb;
    std::optional<double> memory_footprint_mb;
    std::optional<double> flops_per_token;
};

// The description of the model at `path`: the stated format wins over what
// the file says, and the figures come from the inspection when it
// succeeded. An unreadable model only leaves them absent; the search and the
// adapters report what that means.
ModelDescription describe_model(std::string path, ModelFormat format, const Result<ModelIR>& inspected);

}  // namespace ferrolune
