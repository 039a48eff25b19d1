#include "ferrolune/model_ir/gguf_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ferrolune/model_ir/inspect_model.h"
#include "test_files.h"

namespace ferrolune {
namespace {

using testing::TempDir;

// Builds GGUF bytes by hand, so that damaged files are as easy to make as
// good ones.
class Gguf {
public:
    explicit Gguf(uint64_t kv_count, uint32_t version = 3) {
        bytes_ = "GGUF";
        u32(version).u64(0).u64(kv_count);
    }
    Gguf& u8(uint8_t v) { return raw(&v, 1); }
    Gguf& u16(uint16_t v) { return raw(&v, 2); }
    Gguf& u32(uint32_t v) { return raw(&v, 4); }
    Gguf& u64(uint64_t v) { return raw(&v, 8); }
    Gguf& f32(float v) { return raw(&v, 4); }
    Gguf& str(const std::string& s) {
        u64(s.size());
        bytes_ += s;
        return *this;
    }
    Gguf& key(const std::string& k, GgufValueType t) { return str(k).u32(static_cast<uint32_t>(t)); }
    Gguf& kv_u32(const std::string& k, uint32_t v) { return key(k, GgufValueType::Uint32).u32(v); }
    Gguf& kv_str(const std::string& k, const std::string& v) { return key(k, GgufValueType::String).str(v); }
    const std::string& bytes() const { return bytes_; }

private:
    Gguf& raw(const void* p, std::size_t n) {
        bytes_.append(static_cast<const char*>(p), n);
        return *this;
    }
    std::string bytes_;
};

Gguf llama_style() {
    Gguf g(8);
    g.kv_str("general.architecture", "llama");
    // A tokenizer-like array of strings under a key nobody reads.
    g.key("tokenizer.ggml.tokens", GgufValueType::Array).u32(8).u64(3).str("<s>").str("</s>").str("hello");
    g.kv_u32("llama.block_count", 32)
        .kv_u32("llama.embedding_length", 4096)
        .kv_u32("llama.attention.head_count", 32)
        .kv_u32("llama.attention.head_count_kv", 8)
        .kv_u32("llama.context_length", 4096)
        .kv_u32("llama.feed_forward_length", 14336);
    return g;
}

Result<ModelIR> read_bytes(const std::string& bytes) {
    TempDir dir;
    return read_gguf(dir.write("m.gguf", bytes));
}

// The chain below the outermost message, which names the file.
std::string below_file(const Error& e) {
    EXPECT_TRUE(e.message().starts_with("read GGUF file: /")) << e.message();
    EXPECT_TRUE(e.message().ends_with("/m.gguf")) << e.message();
    std::string out;
    for (const auto& c : e.causes()) out += (out.empty() ? "" : ": ") + c;
    return out;
}

TEST(GgufReader, reads_llama_style_metadata_and_derives_figures) {
    auto ir = read_bytes(llama_style().bytes());
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_EQ(ir->format, ModelFormat::Gguf);
    EXPECT_EQ(ir->architecture, "llama");
    EXPECT_EQ(ir->layer_count, 32u);
    EXPECT_EQ(ir->hidden_size, 4096u);
    EXPECT_EQ(ir->attention_head_count, 32u);
    EXPECT_EQ(ir->attention_head_count_kv, 8u);
    EXPECT_EQ(ir->context_length, 4096u);
    EXPECT_EQ(ir->feed_forward_length, 14336u);
    EXPECT_EQ(ir->kv_cache_size_mb, 512.0);
    // No explicit count: 12 * L * E^2.
    EXPECT_EQ(ir->param_count, 12ull * 32 * 4096 * 4096);
    EXPECT_EQ(ir->flops_per_token, 2.0 * 12 * 32 * 4096.0 * 4096);
}

TEST(GgufReader, empty_metadata_leaves_everything_but_format_absent) {
    auto ir = read_bytes(Gguf(0).bytes());
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_EQ(ir->format, ModelFormat::Gguf);
    EXPECT_FALSE(ir->architecture || ir->param_count || ir->context_length || ir->layer_count || ir->hidden_size ||
                 ir->attention_head_count || ir->attention_head_count_kv || ir->feed_forward_length ||
                 ir->kv_cache_size_mb || ir->memory_footprint_mb || ir->flops_per_token);
}

TEST(GgufReader, explicit_parameter_count_wins_over_estimate_and_accepts_signed_types) {
    Gguf g(3);
    g.kv_u32("llama.block_count", 2).kv_u32("llama.embedding_length", 8);
    g.key("general.parameter_count", GgufValueType::Int32).u32(0xffffffffu);  // -1 sign-extends
    auto ir = read_bytes(g.bytes());
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_EQ(ir->param_count, std::numeric_limits<uint64_t>::max());
}

struct EstimateCase {
    std::string name;
    std::string bytes;
    std::optional<uint64_t> param_count;
    bool estimated;
};

class GgufParamCountSource : public ::testing::TestWithParam<EstimateCase> {};

// The record says where the count came from, so callers can mark the
// figures that rest on a guess.
TEST_P(GgufParamCountSource, flags_only_a_computed_count_as_estimated) {
    auto ir = read_bytes(GetParam().bytes);
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_EQ(ir->param_count, GetParam().param_count);
    EXPECT_EQ(ir->param_count_estimated, GetParam().estimated);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, GgufParamCountSource,
    ::testing::Values(
        EstimateCase{"shape_only", Gguf(2).kv_u32("llama.block_count", 2).kv_u32("llama.embedding_length", 8).bytes(),
                     12ull * 2 * 8 * 8, true},
        EstimateCase{"explicit_count",
                     Gguf(3)
                         .kv_u32("llama.block_count", 2)
                         .kv_u32("llama.embedding_length", 8)
                         .key("general.parameter_count", GgufValueType::Uint64)
                         .u64(1234)
                         .bytes(),
                     1234, false},
        EstimateCase{"explicit_count_alone", Gguf(1).key("general.parameter_count", GgufValueType::Uint64).u64(99).bytes(),
                     99, false},
        EstimateCase{"no_shape_no_count", Gguf(1).kv_u32("llama.block_count", 2).bytes(), std::nullopt, false}),
    [](const ::testing::TestParamInfo<EstimateCase>& info) { return info.param.name; });

TEST(GgufReader, first_shape_entry_and_last_head_entry_win) {
    Gguf g(4);
    g.kv_u32("a.block_count", 10).kv_u32("b.block_count", 20);
    g.kv_u32("a.attention.head_count", 10).kv_u32("b.attention.head_count", 20);
    auto ir = read_bytes(g.bytes());
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_EQ(ir->layer_count, 10u);
    EXPECT_EQ(ir->attention_head_count, 20u);
}

TEST(GgufReader, non_integer_shape_value_is_passed_over) {
    Gguf g(3);
    g.key("llama.context_length", GgufValueType::Float32).f32(4096.0f);
    g.key("llama.vision.block_count", GgufValueType::Array).u32(4).u64(2).u32(1).u32(2);  // not rule f: two dots
    g.kv_u32("llama.embedding_length", 64);
    auto ir = read_bytes(g.bytes());
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_FALSE(ir->context_length);
    EXPECT_FALSE(ir->layer_count);
    EXPECT_EQ(ir->hidden_size, 64u);
}

TEST(GgufReader, skips_unknown_key_holding_huge_declared_strings_without_reading_them) {
    // Three strings that claim 1 GiB each in a file of a few bytes: skipping
    // moves the position only, and the next read reports the short file.
    Gguf g(2);
    g.key("tokenizer.ggml.merges", GgufValueType::Array).u32(8).u64(3).u64(1ull << 30);
    auto ir = read_bytes(g.bytes());
    ASSERT_FALSE(ir);
    EXPECT_EQ(below_file(ir.error()),
              "skip key 'tokenizer.ggml.merges': skip array element: string length in skip: failed to fill whole buffer");
}

TEST(GgufReader, array_count_near_two_to_the_64_ends_in_an_error_not_a_hang) {
    Gguf g(2);
    g.key("x.big", GgufValueType::Array).u32(0).u64(std::numeric_limits<uint64_t>::max());
    auto ir = read_bytes(g.bytes());
    ASSERT_FALSE(ir);
    EXPECT_EQ(below_file(ir.error()), "read KV key: failed to fill whole buffer");
}

TEST(GgufReader, deeply_nested_arrays_fail_without_exhausting_the_stack) {
    constexpr int kDepth = 200000;
    Gguf g(1);
    g.key("x.deep", GgufValueType::Array);
    for (int i = 0; i < kDepth; ++i) g.u32(9).u64(1);
    auto ir = read_bytes(g.bytes());
    ASSERT_FALSE(ir);
    const std::vector<std::string> causes(ir.error().causes().begin() + 1, ir.error().causes().end());
    EXPECT_EQ(ir.error().causes().front(), "skip key 'x.deep'");
    ASSERT_EQ(causes.size(), static_cast<std::size_t>(kDepth) + 2);
    EXPECT_EQ(causes[kDepth - 2], "skip array element");
    EXPECT_EQ(causes[kDepth], "array element type");
    EXPECT_EQ(causes[kDepth + 1], "failed to fill whole buffer");
}

struct ErrorCase {
    const char* name;
    std::string bytes;
    std::string expected;
};

class GgufErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(GgufErrors, renders_the_failing_step_around_its_cause) {
    auto ir = read_bytes(GetParam().bytes);
    ASSERT_FALSE(ir);
    EXPECT_EQ(below_file(ir.error()), GetParam().expected);
}

std::string without_last(const std::string& s, std::size_t n) { return s.substr(0, s.size() - n); }

INSTANTIATE_TEST_SUITE_P(
    Cases, GgufErrors,
    ::testing::Values(
        ErrorCase{"shorter_than_magic", "GG", "read GGUF magic: failed to fill whole buffer"},
        ErrorCase{"zip_file", std::string("PK\x03\x04rest", 8), "not a GGUF file (bad magic: [80, 75, 3, 4])"},
        ErrorCase{"version_4", Gguf(0, 4).bytes(), "unsupported GGUF version 4; expected 1\u20133"},
        ErrorCase{"version_0", Gguf(0, 0).bytes(), "unsupported GGUF version 0; expected 1\u20133"},
        ErrorCase{"no_version", "GGUF\x03", "read GGUF version: failed to fill whole buffer"},
        ErrorCase{"no_tensor_count", without_last(Gguf(0).bytes(), 12), "read tensor_count: failed to fill whole buffer"},
        ErrorCase{"no_kv_count", without_last(Gguf(0).bytes(), 1), "read kv_count: failed to fill whole buffer"},
        ErrorCase{"missing_entry", Gguf(1).bytes(), "read KV key: failed to fill whole buffer"},
        ErrorCase{"key_length_near_2_64", Gguf(1).u64(~0ull - 3).bytes(), "read KV key: failed to fill whole buffer"},
        ErrorCase{"no_value_type", Gguf(1).str("k").bytes(), "read KV value type: failed to fill whole buffer"},
        ErrorCase{"value_type_13", Gguf(1).str("general.name").u32(13).bytes(),
                  "unknown value type 13 for key 'general.name'"},
        ErrorCase{"parameter_count_as_float", Gguf(1).key("general.parameter_count", GgufValueType::Float32).f32(7e9f).bytes(),
                  "read general.parameter_count (type=Float32): cannot coerce value type Float32 to u64"},
        ErrorCase{"parameter_count_cut_off", Gguf(1).key("general.parameter_count", GgufValueType::Uint64).u32(7).bytes(),
                  "read general.parameter_count (type=Uint64): read uint64 value: failed to fill whole buffer"},
        ErrorCase{"architecture_cut_off", Gguf(1).key("general.architecture", GgufValueType::String).u64(5).bytes(),
                  "read general.architecture value: failed to fill whole buffer"},
        ErrorCase{"architecture_of_odd_type_cut_off",
                  Gguf(1).key("general.architecture", GgufValueType::Array).u32(8).bytes(),
                  "skip general.architecture (unexpected type): array element count: failed to fill whole buffer"},
        ErrorCase{"array_element_type_14", Gguf(1).key("x.arr", GgufValueType::Array).u32(14).u64(1).bytes(),
                  "skip key 'x.arr': unknown array element type 14"},
        ErrorCase{"nested_array_cut_off", Gguf(1).key("x.arr", GgufValueType::Array).u32(9).u64(1).u32(9).u64(1).u32(9).bytes(),
                  "skip key 'x.arr': skip array element: skip array element: array element count: failed to fill whole buffer"},
        // A recognised value cut off by the end of the file is damage, not a
        // missing field.
        ErrorCase{"block_count_cut_off", Gguf(1).key("llama.block_count", GgufValueType::Uint32).u16(1).bytes(),
                  "read llama.block_count (type=Uint32): read uint32 value: failed to fill whole buffer"},
        // A skipped value that runs past the end of the file with no entry
        // after it: the file is cut off inside its metadata.
        ErrorCase{"last_unread_value_cut_off", Gguf(1).key("general.name", GgufValueType::String).u64(100).bytes() + "abc",
                  "skip past the end of the metadata: failed to fill whole buffer"},
        ErrorCase{"head_count_kv_cut_off", Gguf(1).key("llama.attention.head_count_kv", GgufValueType::Int16).bytes(),
                  "read llama.attention.head_count_kv (type=Int16): read int16 value (reinterp): failed to fill whole buffer"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GgufReader, every_truncation_of_a_good_file_is_an_error) {
    const std::string good = llama_style().bytes();
    TempDir dir;
    for (std::size_t n = 0; n < good.size(); ++n) {
        auto ir = read_gguf(dir.write("cut.gguf", good.substr(0, n)));
        ASSERT_FALSE(ir) << "accepted the first " << n << " bytes";
        EXPECT_EQ(ir.error().root_cause(), "failed to fill whole buffer") << n;
    }
}

TEST(GgufReader, missing_file_names_the_path) {
    TempDir dir;
    auto missing = read_gguf(dir.str("none.gguf"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().render(), "open GGUF file: " + dir.str("none.gguf") + ": No such file or directory (os error 2)");
}

TEST(GgufReader, skip_across_buffer_boundaries_lands_on_the_next_entry) {
    // Values of every size around the 8192-byte buffer, each followed by a
    // recognised key that must still be read correctly.
    for (std::size_t len : {8000u, 8170u, 8192u, 8193u, 20000u}) {
        Gguf g(3);
        g.kv_str("general.name", std::string(len, 'x'));
        g.key("x.blob", GgufValueType::Array).u32(0).u64(len);
        for (std::size_t i = 0; i < len; ++i) g.u8(1);
        g.kv_u32("llama.block_count", static_cast<uint32_t>(len));
        auto ir = read_bytes(g.bytes());
        ASSERT_TRUE(ir) << len << ": " << ir.error().render();
        EXPECT_EQ(ir->layer_count, len);
    }
}

struct WideCase {
    const char* name;
    std::string bytes;
    std::optional<uint32_t> context_length;
    std::optional<uint32_t> layer_count;
    std::optional<uint64_t> param_count;
    bool kv_cache;
};

class GgufWideIntegers : public ::testing::TestWithParam<WideCase> {};

TEST_P(GgufWideIntegers, a_value_wider_than_its_member_is_unknown_never_wrapped) {
    auto ir = read_bytes(GetParam().bytes);
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_EQ(ir->context_length, GetParam().context_length);
    EXPECT_EQ(ir->layer_count, GetParam().layer_count);
    EXPECT_EQ(ir->param_count, GetParam().param_count);
    EXPECT_EQ(ir->kv_cache_size_mb.has_value(), GetParam().kv_cache);
}

Gguf shaped(uint64_t context, uint64_t blocks, GgufValueType head_type = GgufValueType::Uint32, uint64_t heads = 4) {
    Gguf g(5);
    g.key("llama.context_length", GgufValueType::Uint64).u64(context);
    g.key("llama.block_count", GgufValueType::Uint64).u64(blocks);
    g.kv_u32("llama.embedding_length", 64);
    g.key("llama.attention.head_count", head_type);
    if (head_type == GgufValueType::Uint64) g.u64(heads);
    else g.u32(static_cast<uint32_t>(heads));
    return g.kv_u32("llama.attention.head_count_kv", 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GgufWideIntegers,
    ::testing::Values(
        WideCase{"fits", shaped(4096, 2).bytes(), 4096u, 2u, 12ull * 2 * 64 * 64, true},
        WideCase{"largest_that_fits", shaped(0xffffffffull, 2).bytes(), 0xffffffffu, 2u, 12ull * 2 * 64 * 64, true},
        WideCase{"context_two_to_the_32_plus_5", shaped((1ull << 32) + 5, 2).bytes(), std::nullopt, 2u,
                 12ull * 2 * 64 * 64, false},
        // The block count feeds the estimate too: unknown there as well.
        WideCase{"blocks_two_to_the_32_plus_2", shaped(4096, (1ull << 32) + 2).bytes(), 4096u, std::nullopt,
                 std::nullopt, false},
        // -1 stored as Int32 sign-extends far beyond 32 bits.
        WideCase{"negative_head_count", shaped(4096, 2, GgufValueType::Int32, 0xffffffffull).bytes(), 4096u, 2u,
                 12ull * 2 * 64 * 64, false},
        WideCase{"head_count_two_to_the_32", shaped(4096, 2, GgufValueType::Uint64, 1ull << 32).bytes(), 4096u, 2u,
                 12ull * 2 * 64 * 64, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct LayerCase {
    const char* name;
    std::vector<uint32_t> head_count;     // one value: a scalar entry
    std::vector<uint32_t> head_count_kv;  // empty: no entry
    uint32_t layers;
    std::optional<uint32_t> heads_member;
    std::optional<uint32_t> kv_heads_member;
    std::optional<double> kv_cache_mb;
};

class GgufPerLayerHeads : public ::testing::TestWithParam<LayerCase> {};

Gguf& head_entry(Gguf& g, const std::string& key, const std::vector<uint32_t>& v) {
    if (v.size() == 1) return g.kv_u32(key, v[0]);
    g.key(key, GgufValueType::Array).u32(static_cast<uint32_t>(GgufValueType::Uint32)).u64(v.size());
    for (uint32_t x : v) g.u32(x);
    return g;
}

TEST_P(GgufPerLayerHeads, sums_the_cache_over_layers_and_reports_the_largest_count) {
    const auto& c = GetParam();
    Gguf g(c.head_count_kv.empty() ? 4 : 5);
    g.kv_u32("llama.block_count", c.layers).kv_u32("llama.embedding_length", 4096).kv_u32("llama.context_length", 4096);
    head_entry(g, "llama.attention.head_count", c.head_count);
    if (!c.head_count_kv.empty()) head_entry(g, "llama.attention.head_count_kv", c.head_count_kv);
    auto ir = read_bytes(g.bytes());
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_EQ(ir->attention_head_count, c.heads_member);
    EXPECT_EQ(ir->attention_head_count_kv, c.kv_heads_member);
    EXPECT_EQ(ir->kv_cache_size_mb, c.kv_cache_mb);
}

// With E = 4096, C = 4096 and 32 heads, each key-value head of one layer
// holds 2 (K and V) x 128 x 4096 positions x 2 bytes = 2 MiB.
INSTANTIATE_TEST_SUITE_P(
    Cases, GgufPerLayerHeads,
    ::testing::Values(
        LayerCase{"scalars", {32}, {8}, 4, 32u, 8u, 4 * 8 * 2.0},
        LayerCase{"kv_per_layer", {32}, {8, 8, 2, 2}, 4, 32u, 8u, (8 + 8 + 2 + 2) * 2.0},
        // Recurrent layers of a hybrid model have no key-value heads.
        LayerCase{"kv_zero_on_some_layers", {32}, {0, 8, 0, 8}, 4, 32u, 8u, 16 * 2.0},
        // Heads per layer change the head width E / H of that layer.
        LayerCase{"heads_and_kv_per_layer", {32, 32, 16, 16}, {8, 8, 8, 8}, 4, 32u, 8u, (8 + 8) * 2.0 + (8 + 8) * 4.0},
        LayerCase{"heads_per_layer_kv_unknown", {32, 16}, {}, 2, 32u, std::nullopt, 32 * 2.0 + 16 * 4.0},
        LayerCase{"uniform_array_equals_scalar", {32, 32, 32, 32}, {8}, 4, 32u, 8u, 4 * 8 * 2.0},
        LayerCase{"array_shorter_than_the_layers", {32}, {8, 8, 8}, 4, 32u, 8u, std::nullopt},
        LayerCase{"kv_heads_on_a_layer_without_heads", {32, 0}, {8, 8}, 2, 32u, 8u, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GgufReader, head_count_array_of_strings_is_unknown_and_passed_over) {
    Gguf g(3);
    g.key("llama.attention.head_count_kv", GgufValueType::Array).u32(8).u64(2).str("8").str("2");
    g.kv_u32("llama.attention.head_count", 32).kv_u32("llama.block_count", 2);
    auto ir = read_bytes(g.bytes());
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_FALSE(ir->attention_head_count_kv);
    EXPECT_EQ(ir->attention_head_count, 32u);
    EXPECT_EQ(ir->layer_count, 2u);
}

TEST(GgufReader, head_count_array_claiming_more_values_than_the_file_holds_is_an_error) {
    Gguf g(1);
    g.key("llama.attention.head_count_kv", GgufValueType::Array).u32(4).u64(1ull << 40).u32(8);
    auto ir = read_bytes(g.bytes());
    ASSERT_FALSE(ir);
    EXPECT_EQ(ir.error().root_cause(), "failed to fill whole buffer");
    EXPECT_FALSE(is_not_a_model(ir.error()));
}

// A file whose metadata is whole but that ends where the tensor
// descriptions should begin.
TEST(GgufReader, file_cut_right_after_its_metadata_is_an_error) {
    auto with_tensors = [](uint64_t tensors, const std::string& after) {
        std::string b = "GGUF";
        const uint32_t version = 3;
        const uint64_t kv = 0;
        b.append(reinterpret_cast<const char*>(&version), 4);
        b.append(reinterpret_cast<const char*>(&tensors), 8);
        b.append(reinterpret_cast<const char*>(&kv), 8);
        return b + after;
    };
    auto cut = read_bytes(with_tensors(2, ""));
    ASSERT_FALSE(cut);
    EXPECT_EQ(below_file(cut.error()), "check the 2 tensor descriptions after the metadata: failed to fill whole buffer");
    EXPECT_FALSE(is_not_a_model(cut.error()));
    EXPECT_FALSE(read_bytes(with_tensors(2, std::string(47, '\0'))));
    EXPECT_FALSE(read_bytes(with_tensors(~0ull, std::string(4096, '\0'))));
    // Room for the descriptions, and a file without tensors at all (a
    // vocabulary file), are whole.
    EXPECT_TRUE(read_bytes(with_tensors(2, std::string(48, '\0'))));
    EXPECT_TRUE(read_bytes(with_tensors(0, "")));
}

TEST(GgufReader, names_in_messages_are_escaped_and_bounded) {
    const std::string long_key = "x." + std::string(100 * 1024, 'k');
    const std::string hostile_key = std::string("x.\x1b]0;owned\x07\n\r\0tail", 19);
    for (const std::string& key : {long_key, hostile_key}) {
        Gguf g(1);
        g.key(key, GgufValueType::Array).u32(14).u64(1);
        auto ir = read_bytes(g.bytes());
        ASSERT_FALSE(ir);
        const std::string text = ir.error().render();
        EXPECT_LT(text.size(), 400u) << text.size();
        for (char c : text) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << text;
    }
    Gguf bad(1);
    bad.str(hostile_key).u32(13);
    auto ir = read_bytes(bad.bytes());
    ASSERT_FALSE(ir);
    EXPECT_EQ(below_file(ir.error()), "unknown value type 13 for key 'x.\\x1b]0;owned\\x07\\n\\r\\x00tail'");
}

}  // namespace
}  // namespace ferrolune
