// What the system knows of a model file without loading its weights.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
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
    // The parameter count came from the block count and embedding width, not
    // from the file; the footprint and FLOPs derived from it are then
    // estimates too.
    bool param_count_estimated = false;
};

// Multiplication and addition that stop at the largest uint64_t instead of
// wrapping: a damaged file must give a huge count, never a small wrong one.
uint64_t saturating_mul(uint64_t a, uint64_t b);
uint64_t saturating_add(uint64_t a, uint64_t b);

// The usual transformer weight count from block count L and embedding width E:
// 12 * L * E^2 (attention 4 E^2 plus a 4x feed-forward 8 E^2 per block).
uint64_t estimate_param_count(uint64_t block_count, uint64_t embedding_length);

// Sets memory_footprint_mb (2 bytes per weight, MiB) and flops_per_token
// (2 * P) from param_count, or clears both when it is absent.
void derive_param_metrics(ModelIR& ir);

// Key-value cache for a full context in MiB; absent unless L, E, C and H are
// known and H is not 0. K falls back to H when unknown.
std::optional<double> kv_cache_size_mb(std::optional<uint64_t> block_count, std::optional<uint64_t> embedding_length,
                                       std::optional<uint64_t> context_length, std::optional<uint64_t> head_count,
                                       std::optional<uint64_t> head_count_kv);

// The same figure when the head counts may differ between layers. `head_count`
// and `head_count_kv` each hold one value per layer, or one value for all
// layers; an empty `head_count_kv` is unknown and falls back to the head
// count. The cache is the sum over the layers; a layer without key-value
// heads adds nothing. Absent when a per-layer list does not have one value
// per layer, when no layer has a head, or when a layer has key-value heads
// but no heads to size them by. With one value each, this is the formula above.
std::optional<double> layered_kv_cache_size_mb(std::optional<uint64_t> block_count,
                                               std::optional<uint64_t> embedding_length,
                                               std::optional<uint64_t> context_length,
                                               std::span<const uint64_t> head_count,
                                               std::span<const uint64_t> head_count_kv);

}  // namespace ferrolune
