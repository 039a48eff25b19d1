// What the system knows of a model file without loading its weights.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ferrolune {

enum class ModelFormat { Onnx, Gguf };

// "onnx" / "gguf".
std::string_view to_string(ModelFormat f);
// "ONNX" / "GGUF", the form the adapters' messages show.
std::string_view display_name(ModelFormat f);

struct ModelIR {
    ModelFormat format = ModelFormat::Gguf;
    std::optional<uint64_t> param_count;
    std::optional<std::string> architecture;
    std::optional<uint32_t> context_length;
    std::optional<uint32_t> layer_count;
    std::optional<uint32_t> hidden_size;
    std::optional<uint32_t> attention_head_count;
    std::optional<uint32_t> attention_head_count_kv;
    std::optional<uint64_t> feed_forward_length;
    std::optional<double> kv_cache_size_mb;
    std::optional<double> memory_footprint_mb;
    std::optional<double> flops_per_token;
};

}  // namespace ferrolune
