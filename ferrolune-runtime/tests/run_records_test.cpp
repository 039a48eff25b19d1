#include "ferrolune/runtime/run_records.h"

#include <gtest/gtest.h>

namespace ferrolune {
namespace {

ModelIR inspected() {
    ModelIR ir;
    ir.format = ModelFormat::Gguf;
    ir.param_count = 1'100'000'000;
    ir.context_length = 2048;
    ir.layer_count = 22;
    ir.hidden_size = 2048;
    ir.attention_head_count = 32;
    ir.attention_head_count_kv = 4;
    ir.feed_forward_length = 5632;
    ir.kv_cache_size_mb = 44.0;
    ir.memory_footprint_mb = 2098.0;
    ir.flops_per_token = 2.2e9;
    return ir;
}

TEST(DescribeModel, carries_every_inspected_figure_the_search_uses) {
    ModelDescription m = describe_model("/m/tiny.gguf", ModelFormat::Gguf, inspected());
    EXPECT_EQ(m.path, "/m/tiny.gguf");
    EXPECT_EQ(m.param_count, 1'100'000'000u);
    EXPECT_EQ(m.context_length, 2048u);
    EXPECT_EQ(m.layer_count, 22u);
    EXPECT_EQ(m.hidden_size, 2048u);
    EXPECT_EQ(m.attention_head_count, 32u);
    EXPECT_EQ(m.attention_head_count_kv, 4u);
    EXPECT_EQ(m.feed_forward_length, 5632u);
    EXPECT_EQ(m.kv_cache_size_mb, 44.0);
    EXPECT_EQ(m.memory_footprint_mb, 2098.0);
    EXPECT_EQ(m.flops_per_token, 2.2e9);
}

TEST(DescribeModel, stated_format_wins_over_the_file) {
    EXPECT_EQ(describe_model("m", ModelFormat::Onnx, inspected()).format, ModelFormat::Onnx);
}

TEST(DescribeModel, unreadable_model_leaves_the_figures_absent) {
    Result<ModelIR> unreadable = fail("not a model");
    ModelDescription m = describe_model("/m/x.gguf", ModelFormat::Gguf, unreadable);
    EXPECT_EQ(m.path, "/m/x.gguf");
    EXPECT_EQ(m.format, ModelFormat::Gguf);
    EXPECT_FALSE(m.param_count);
    EXPECT_FALSE(m.layer_count);
    EXPECT_FALSE(m.kv_cache_size_mb);
}

}  // namespace
}  // namespace ferrolune
