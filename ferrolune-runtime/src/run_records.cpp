#include "ferrolune/runtime/run_records.h"


namespace ferrolune {

std::string_view to_string(RuntimeKind k) {
    switch (k) {
        case RuntimeKind::LlamaCpp: return "LlamaCpp";
        case RuntimeKind::OnnxRuntime: return "OnnxRuntime";
        case RuntimeKind::TensorRT: return "TensorRT";
        case RuntimeKind::Ollama: return "Ollama";
        case RuntimeKind::Vllm: return "Vllm";
    }
    return "?";
}

std::string_view to_string(QuantizationStrategy q) {
    switch (q) {
        case QuantizationStrategy::F16: return "F16";
        case QuantizationStrategy::Q8_0: return "Q8_0";
        case QuantizationStrategy::Q4_K_M: return "Q4_K_M";
        case QuantizationStrategy::Q4_0: return "Q4_0";
        case QuantizationStrategy::Int8: return "Int8";
        case QuantizationStrategy::Int4: return "Int4";
    }
    return "?";
}

double bytes_per_param(QuantizationStrategy q) {
    switch (q) {
        case QuantizationStrategy::F16: return 2.0;
        case QuantizationStrategy::Q8_0:
        case QuantizationStrategy::Int8: return 1.0;
        default: return 0.5;
    }
}

bool is_integer_strategy(QuantizationStrategy q) {
    return q == QuantizationStrategy::Int8 || q == QuantizationStrategy::Int4;
}

}  // namespace ferrolune

namespace ferrolune {

ModelDescription describe_model(std::string path, ModelFormat format, const Result<ModelIR>& inspected) {
    ModelDescription m;
    m.path = std::move(path);
    m.format = format;
    if (!inspected) return m;
    const ModelIR& ir = *inspected;
    m.param_count = ir.param_count;
    m.context_length = ir.context_length;
    m.layer_count = ir.layer_count;
    m.feed_forward_length = ir.feed_forward_length;
    m.hidden_size = ir.hidden_size;
    m.attention_head_count = ir.attention_head_count;
    m.attention_head_count_kv = ir.attention_head_count_kv;
    m.kv_cache_size_mb = ir.kv_cache_size_mb;
    m.memory_footprint_mb = ir.memory_footprint_mb;
    m.flops_per_token = ir.flops_per_token;
    return m;
}

}  // namespace ferrolune
