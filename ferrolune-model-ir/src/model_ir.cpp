#include "ferrolune/model_ir/model_ir.h"

#include <algorithm>
#include <limits>

namespace ferrolune {

std::string_view to_string(ModelFormat f) { return f == ModelFormat::Onnx ? "onnx" : "gguf"; }
std::string_view display_name(ModelFormat f) { return f == ModelFormat::Onnx ? "ONNX" : "GGUF"; }

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::numeric_limits<uint64_t>::max();
    return r;
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::numeric_limits<uint64_t>::max();
    return r;
}

uint64_t estimate_param_count(uint64_t block_count, uint64_t embedding_length) {
    return saturating_mul(saturating_mul(12, block_count), saturating_mul(embedding_length, embedding_length));
}

void derive_param_metrics(ModelIR& ir) {
    if (!ir.param_count) {
        ir.memory_footprint_mb.reset();
        ir.flops_per_token.reset();
        return;
    }
    const double p = static_cast<double>(*ir.param_count);
    ir.memory_footprint_mb = (2.0 * p) * (1.0 / 1048576.0);
    ir.flops_per_token = 2.0 * p;
}

std::optional<double> kv_cache_size_mb(std::optional<uint64_t> block_count, std::optional<uint64_t> embedding_length,
                                       std::optional<uint64_t> context_length, std::optional<uint64_t> head_count,
                                       std::optional<uint64_t> head_count_kv) {
    if (!block_count || !embedding_length || !context_length || !head_count || *head_count == 0) return std::nullopt;
    const double l = static_cast<double>(*block_count);
    const double e = static_cast<double>(*embedding_length);
    const double c = static_cast<double>(*context_length);
    const double h = static_cast<double>(*head_count);
    const double k = static_cast<double>(head_count_kv.value_or(*head_count));
    // Keys and values, per layer, per KV head, per position, 2 bytes each;
    // evaluated in this order so the figure matches across implementations.
    return ((((2.0 * l) * k) * (e / h)) * c) * 2.0 * (1.0 / 1048576.0);
}

std::optional<double> layered_kv_cache_size_mb(std::optional<uint64_t> block_count,
                                               std::optional<uint64_t> embedding_length,
                                               std::optional<uint64_t> context_length,
                                               std::span<const uint64_t> head_count,
                                               std::span<const uint64_t> head_count_kv) {
    if (head_count.empty()) return std::nullopt;
    if (head_count.size() == 1 && head_count_kv.size() <= 1) {
        std::optional<uint64_t> kv;
        if (!head_count_kv.empty()) kv = head_count_kv[0];
        return kv_cache_size_mb(block_count, embedding_length, context_length, head_count[0], kv);
    }
    if (!block_count || !embedding_length || !context_length) return std::nullopt;
    const uint64_t layers = *block_count;
    auto fits = [&](std::span<const uint64_t> v) { return v.size() <= 1 || v.size() == layers; };
    if (!fits(head_count) || !fits(head_count_kv)) return std::nullopt;
    if (*std::max_element(head_count.begin(), head_count.end()) == 0) return std::nullopt;
    auto at = [](std::span<const uint64_t> v, uint64_t i) { return v.size() == 1 ? v[0] : v[i]; };
    const double e = static_cast<double>(*embedding_length);
    double per_position = 0;  // key and value elements of one position, all layers
    // One of the lists has a value per layer, so this loop is no longer than
    // what the file held.
    for (uint64_t i = 0; i < layers; ++i) {
        const uint64_t h = at(head_count, i);
        const uint64_t k = head_count_kv.empty() ? h : at(head_count_kv, i);
        if (k == 0) continue;
        if (h == 0) return std::nullopt;
        per_position += (2.0 * static_cast<double>(k)) * (e / static_cast<double>(h));
    }
    return per_position * static_cast<double>(*context_length) * 2.0 * (1.0 / 1048576.0);
}

}  // namespace ferrolune
