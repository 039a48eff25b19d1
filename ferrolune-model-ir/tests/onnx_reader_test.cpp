#include "ferrolune/model_ir/onnx_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ferrolune/model_ir/inspect_model.h"
#include "onnx.pb.h"
#include "onnx_walk.h"
#include "test_files.h"

namespace ferrolune {
namespace {

using testing::TempDir;

// ---- building inputs ------------------------------------------------------

std::string varint(uint64_t v) {
    std::string out;
    while (v >= 0x80) {
        out += static_cast<char>((v & 0x7f) | 0x80);
        v >>= 7;
    }
    out += static_cast<char>(v);
    return out;
}
std::string key(uint32_t field, uint32_t wire) { return varint((uint64_t{field} << 3) | wire); }
std::string len_field(uint32_t field, const std::string& body) { return key(field, 2) + varint(body.size()) + body; }
// A string literal with embedded NUL bytes kept.
template <std::size_t N>
std::string lit(const char (&s)[N]) {
    return std::string(s, N - 1);
}

onnx::TensorProto* add_initializer(onnx::GraphProto* g, std::vector<int64_t> dims) {
    auto* t = g->add_initializer();
    for (auto d : dims) t->add_dims(d);
    t->set_data_type(onnx::TensorProto::FLOAT);
    return t;
}

onnx::ModelProto sample_model() {
    onnx::ModelProto m;
    m.set_ir_version(8);
    m.set_producer_name("test");
    m.add_opset_import()->set_version(17);
    auto* g = m.mutable_graph();
    g->set_name("g");
    auto* n = g->add_node();
    n->set_op_type("MatMul");
    n->add_input("x");
    n->add_output("y");
    auto* a = n->add_attribute();
    a->set_name("alpha");
    a->set_f(0.5f);
    a->add_ints(-3);
    a->add_floats(1.0f);
    auto* sub = a->mutable_g();
    sub->add_node()->set_op_type("Identity");
    add_initializer(sub, {7});  // a subgraph's initializer is not a weight of the model
    add_initializer(g, {4, 3})->set_raw_data(std::string(48, '\1'));
    add_initializer(g, {})->add_float_data(2.0f);
    g->add_node()->set_op_type("Add");
    auto* vi = g->add_input();
    vi->set_name("x");
    vi->mutable_type()->mutable_tensor_type()->mutable_shape()->add_dim()->set_dim_param("batch");
    auto* md = m.add_metadata_props();
    md->set_key("k");
    md->set_value("v");
    return m;
}

// ---- what each side sees --------------------------------------------------

struct Seen final : onnx_walk::Visitor {
    void graph() override { has_graph = true; }
    void node() override { ++nodes; }
    void begin_initializer() override { dims.emplace_back(); }
    void dim(uint64_t d) override { dims.back().push_back(static_cast<int64_t>(d)); }
    bool has_graph = false;
    uint64_t nodes = 0;
    std::vector<std::vector<int64_t>> dims;
};

struct Outcome {
    bool accepted = false;
    bool has_graph = false;
    uint64_t nodes = 0;
    std::vector<std::vector<int64_t>> dims;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    os << (o.accepted ? "accepted" : "refused");
    if (o.accepted) os << " graph=" << o.has_graph << " nodes=" << o.nodes << " initializers=" << o.dims.size();
    return os;
}

Outcome reference(const std::string& bytes) {
    onnx::ModelProto m;
    Outcome o;
    o.accepted = m.ParseFromString(bytes);
    if (!o.accepted) return o;
    o.has_graph = m.has_graph();
    o.nodes = static_cast<uint64_t>(m.graph().node_size());
    for (const auto& t : m.graph().initializer()) o.dims.emplace_back(t.dims().begin(), t.dims().end());
    return o;
}

Outcome walked(onnx_walk::Source& source) {
    Seen seen;
    Outcome o;
    o.accepted = static_cast<bool>(onnx_walk::walk_model(source, seen));
    if (!o.accepted) return o;
    o.has_graph = seen.has_graph;
    o.nodes = seen.nodes;
    o.dims = std::move(seen.dims);
    return o;
}

Outcome walked_in_memory(const std::string& bytes) {
    onnx_walk::MemorySource source(bytes.data(), bytes.size());
    return walked(source);
}

Outcome walked_from_file(const TempDir& dir, const std::string& bytes) {
    std::string path = dir.write("walk.onnx", bytes);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    onnx_walk::FileSource source(fd, bytes.size());
    Outcome o = walked(source);
    ::close(fd);
    return o;
}

// ---- the record -----------------------------------------------------------

TEST(OnnxReader, sums_initializer_elements_and_counts_nodes) {
    onnx::ModelProto m;
    auto* g = m.mutable_graph();
    add_initializer(g, {4096, 4096});
    add_initializer(g, {4096});
    add_initializer(g, {});
    for (int i = 0; i < 1234; ++i) g->add_node()->set_op_type("Relu");
    TempDir dir;
    auto ir = read_onnx(dir.write("m.onnx", m.SerializeAsString()));
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_EQ(ir->format, ModelFormat::Onnx);
    EXPECT_EQ(ir->param_count, 16781313u);
    EXPECT_NEAR(*ir->memory_footprint_mb, 32.0, 0.01);
    EXPECT_EQ(ir->flops_per_token, 2.0 * 16781313);
    EXPECT_EQ(ir->layer_count, 1234u);
    EXPECT_FALSE(ir->architecture || ir->context_length || ir->hidden_size || ir->attention_head_count ||
                 ir->attention_head_count_kv || ir->feed_forward_length || ir->kv_cache_size_mb);
}

struct RecordCase {
    const char* name;
    std::string bytes;
    std::optional<uint64_t> params;
    std::optional<uint32_t> layers;
};

class OnnxRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(OnnxRecord, reports_what_the_main_graph_holds) {
    TempDir dir;
    auto ir = read_onnx(dir.write("m.onnx", GetParam().bytes));
    ASSERT_TRUE(ir) << ir.error().render();
    EXPECT_EQ(ir->param_count, GetParam().params);
    EXPECT_EQ(ir->layer_count, GetParam().layers);
    EXPECT_EQ(ir->memory_footprint_mb.has_value(), GetParam().params.has_value());
}

std::string model_with(std::vector<std::vector<int64_t>> shapes, int nodes) {
    onnx::ModelProto m;
    auto* g = m.mutable_graph();
    for (auto& s : shapes) add_initializer(g, s);
    for (int i = 0; i < nodes; ++i) g->add_node();
    return m.SerializeAsString();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OnnxRecord,
    ::testing::Values(
        RecordCase{"zero_dimension", model_with({{0, 10}}, 0), std::nullopt, std::nullopt},
        RecordCase{"nodes_without_weights", model_with({}, 3), std::nullopt, 3u},
        RecordCase{"negative_dimension_saturates", model_with({{-1, 2}}, 1), UINT64_MAX, 1u},
        // Unpacked dims, and a second graph field merged into the first.
        RecordCase{"unpacked_dims_and_merged_graphs",
                   len_field(7, len_field(5, key(1, 0) + varint(3) + key(1, 0) + varint(5)) + len_field(1, "")) +
                       len_field(7, len_field(5, len_field(1, varint(2))) + len_field(1, "")),
                   17u, 2u}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OnnxReader, read_and_decode_failures_are_told_apart) {
    TempDir dir;
    auto missing = read_onnx(dir.str("none.onnx"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().render(), "read ONNX file: " + dir.str("none.onnx") + ": No such file or directory (os error 2)");
    auto gguf = read_onnx(dir.write("m.onnx", std::string("GGUF\x03\0\0\0", 8) + std::string(16, '\0')));
    ASSERT_FALSE(gguf);
    EXPECT_EQ(gguf.error().message(), "read ONNX file: " + dir.str("m.onnx"));
    ASSERT_EQ(gguf.error().causes().size(), 2u);
    EXPECT_EQ(gguf.error().causes()[0], "decode ONNX protobuf");
}

struct NotModelCase {
    const char* name;
    std::string bytes;
    const char* reason;
};

class OnnxNotAModel : public ::testing::TestWithParam<NotModelCase> {};

// Protocol buffers accept all of these as a ModelProto; none is a model.
TEST_P(OnnxNotAModel, decodes_but_is_refused) {
    ASSERT_TRUE(reference(GetParam().bytes).accepted);
    TempDir dir;
    auto ir = read_onnx(dir.write("m.onnx", GetParam().bytes));
    ASSERT_FALSE(ir);
    EXPECT_EQ(ir.error().render(), "read ONNX file: " + dir.str("m.onnx") + ": not an ONNX model: " + GetParam().reason);
    EXPECT_TRUE(is_not_a_model(ir.error()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OnnxNotAModel,
    ::testing::Values(NotModelCase{"empty_file", "", "the file is empty"},
                      NotModelCase{"two_bytes_ir_version", key(1, 0) + varint(7), "it has no graph"},
                      NotModelCase{"two_bytes_empty_graph", len_field(7, ""), "its graph has neither nodes nor weights"},
                      NotModelCase{"no_graph", [] {
                                       onnx::ModelProto m;
                                       m.set_ir_version(9);
                                       m.set_producer_name("p");
                                       return m.SerializeAsString();
                                   }(), "it has no graph"},
                      // graph with a varint wire type is an unknown field, not a graph.
                      NotModelCase{"graph_field_with_wrong_wire_type", key(7, 0) + varint(1), "it has no graph"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OnnxReader, never_reads_the_weights) {
    onnx::ModelProto m;
    auto* g = m.mutable_graph();
    for (int i = 0; i < 4; ++i) add_initializer(g, {1024, 1024})->set_raw_data(std::string(4 << 20, '\7'));
    const std::string bytes = m.SerializeAsString();
    TempDir dir;
    std::string path = dir.write("big.onnx", bytes);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    onnx_walk::FileSource source(fd, bytes.size());
    Seen seen;
    ASSERT_TRUE(onnx_walk::walk_model(source, seen));
    ::close(fd);
    EXPECT_EQ(seen.dims.size(), 4u);
    // One small read per tensor header, none through the 16 MiB of data.
    EXPECT_LE(source.reads(), 5u);
}

// ---- agreement with protobuf ----------------------------------------------

// Messages nested `levels` deep below the ModelProto, through
// graph -> node -> attribute -> g -> node -> ...
std::string nested_messages(int levels) {
    static const uint32_t path[] = {1, 5, 6};  // GraphProto.node, NodeProto.attribute, AttributeProto.g
    std::vector<uint32_t> fields = {7};
    for (int i = 1; i < levels; ++i) fields.push_back(path[(i - 1) % 3]);
    std::string body;
    for (auto it = fields.rbegin(); it != fields.rend(); ++it) body = len_field(*it, body);
    return body;
}

std::string nested_groups(int levels, uint32_t field = 1000) {
    std::string s;
    for (int i = 0; i < levels; ++i) s += key(field, 3);
    for (int i = 0; i < levels; ++i) s += key(field, 4);
    return s;
}

struct EdgeCase {
    const char* name;
    std::string bytes;
    bool accepted;
};

class OnnxAgreesWithProtobuf : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(OnnxAgreesWithProtobuf, on_hand_built_input) {
    const auto& c = GetParam();
    const Outcome expected = reference(c.bytes);
    ASSERT_EQ(expected.accepted, c.accepted) << "protobuf itself decides otherwise";
    EXPECT_EQ(walked_in_memory(c.bytes), expected);
    TempDir dir;
    EXPECT_EQ(walked_from_file(dir, c.bytes), expected);
}

const std::string kTenByteVarint = "\xff\xff\xff\xff\xff\xff\xff\xff\xff\x7f";

INSTANTIATE_TEST_SUITE_P(
    Cases, OnnxAgreesWithProtobuf,
    ::testing::Values(
        EdgeCase{"nesting_at_recursion_limit", nested_messages(100), true},
        EdgeCase{"nesting_past_recursion_limit", nested_messages(101), false},
        EdgeCase{"groups_at_recursion_limit", nested_groups(100), true},
        EdgeCase{"groups_past_recursion_limit", nested_groups(101), false},
        EdgeCase{"group_closed_by_other_field", key(1000, 3) + key(1001, 4), false},
        EdgeCase{"group_never_closed", key(1000, 3) + key(1, 0) + varint(1), false},
        EdgeCase{"end_group_at_top", key(1000, 4), false},
        EdgeCase{"tag_zero", std::string(1, '\0'), false},
        EdgeCase{"field_number_zero", key(0, 0) + varint(1), false},
        EdgeCase{"wire_type_6", key(3, 6), false},
        EdgeCase{"wire_type_7", key(3, 7), false},
        EdgeCase{"varint_of_10_bytes", key(1, 0) + kTenByteVarint, true},
        EdgeCase{"varint_of_11_bytes", key(1, 0) + "\xff" + kTenByteVarint, false},
        EdgeCase{"tag_of_5_bytes", lit("\x88\x80\x80\x80\x00") + varint(1), true},
        EdgeCase{"tag_of_6_bytes", lit("\x88\x80\x80\x80\x80\x00") + varint(1), false},
        EdgeCase{"tag_overflowing_32_bits", "\x88\x80\x80\x80\x70" + varint(1), true},
        EdgeCase{"length_of_5_bytes", key(2, 2) + lit("\x80\x80\x80\x80\x00"), true},
        EdgeCase{"length_5th_byte_8", key(2, 2) + "\x80\x80\x80\x80\x08", false},
        EdgeCase{"length_beyond_input", key(2, 2) + varint(3) + "ab", false},
        EdgeCase{"graph_longer_than_file", key(7, 2) + varint(100) + len_field(1, ""), false},
        EdgeCase{"child_longer_than_parent", len_field(7, key(1, 2) + varint(5) + "ab") + "cde", false},
        EdgeCase{"fixed64_cut_off", key(12, 1) + "1234567", false},
        EdgeCase{"packed_dims", len_field(7, len_field(5, len_field(1, varint(4) + varint(1ull << 40)))), true},
        EdgeCase{"packed_dims_with_cut_varint", len_field(7, len_field(5, len_field(1, varint(4) + "\x80"))), false},
        EdgeCase{"packed_floats_of_odd_length", len_field(7, len_field(5, len_field(4, "abcde"))), false},
        EdgeCase{"packed_floats", len_field(7, len_field(5, len_field(4, "abcdefgh"))), true},
        EdgeCase{"packed_doubles_of_odd_length", len_field(7, len_field(5, len_field(10, "abcd"))), false},
        EdgeCase{"string_field_as_varint_is_unknown", key(2, 0) + varint(5), true},
        EdgeCase{"dims_as_fixed32_is_unknown", len_field(7, len_field(5, key(1, 5) + "abcd")), true},
        EdgeCase{"bad_enum_value_is_kept", len_field(7, len_field(5, key(2, 0) + varint(999))), true},
        EdgeCase{"invalid_utf8_name", len_field(2, "\xff\xfe"), true},
        EdgeCase{"end_group_inside_message", len_field(7, key(1000, 4)), false}),
    [](const auto& info) { return std::string(info.param.name); });

// A small deterministic generator, so failures reproduce.
struct Rng {
    uint64_t s;
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
};

TEST(OnnxAgreesWithProtobuf, on_every_truncation_of_a_valid_model) {
    const std::string good = sample_model().SerializeAsString();
    ASSERT_TRUE(reference(good).accepted);
    TempDir dir;
    for (std::size_t n = 0; n <= good.size(); ++n) {
        const std::string cut = good.substr(0, n);
        const Outcome expected = reference(cut);
        ASSERT_EQ(walked_in_memory(cut), expected) << "first " << n << " bytes";
        ASSERT_EQ(walked_from_file(dir, cut), expected) << "first " << n << " bytes";
    }
}

TEST(OnnxAgreesWithProtobuf, on_a_model_spanning_many_read_windows) {
    onnx::ModelProto m = sample_model();
    auto* g = m.mutable_graph();
    for (int i = 0; i < 6000; ++i) {
        auto* n = g->add_node();
        n->set_name("node_" + std::to_string(i));
        n->add_input("t" + std::to_string(i));
        if (i % 7 == 0) add_initializer(g, {i, 3, 1});
    }
    const std::string bytes = m.SerializeAsString();
    ASSERT_GT(bytes.size(), 100000u);
    TempDir dir;
    const Outcome expected = reference(bytes);
    ASSERT_TRUE(expected.accepted);
    EXPECT_EQ(walked_from_file(dir, bytes), expected);
    // Cut at a few points inside later windows, too.
    for (std::size_t cut : {16383u, 16384u, 16385u, 50001u, 99999u}) {
        EXPECT_EQ(walked_from_file(dir, bytes.substr(0, cut)), reference(bytes.substr(0, cut))) << cut;
    }
}

TEST(OnnxAgreesWithProtobuf, on_mutated_models) {
    const std::string good = sample_model().SerializeAsString();
    Rng rng{0x9e3779b97f4a7c15ull};
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string m = good;
        const int edits = 1 + static_cast<int>(rng.below(4));
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = rng.below(m.size() + 1);
            switch (rng.below(4)) {
                case 0:
                    if (at < m.size()) m[at] = static_cast<char>(rng.next());
                    break;
                case 1: m.insert(at, 1, static_cast<char>(rng.next())); break;
                case 2:
                    if (at < m.size()) m.erase(at, 1 + rng.below(3));
                    break;
                default:
                    if (at < m.size()) m[at] = static_cast<char>(m[at] ^ (1 << rng.below(8)));
            }
        }
        const Outcome expected = reference(m);
        accepted += expected.accepted;
        ASSERT_EQ(walked_in_memory(m), expected) << "round " << round;
    }
    // Both outcomes must have been exercised for the comparison to mean much.
    EXPECT_GT(accepted, 100);
    EXPECT_LT(accepted, 19900);
}

}  // namespace
}  // namespace ferrolune
