#include "ferrolune/optimizer/optimization_result.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "ferrolune/testing/case_name.h"

namespace ferrolune {
namespace {

OptimizationResult example() {
    return {RuntimeConfig{RuntimeKind::LlamaCpp, QuantizationStrategy::Q4_K_M, 8, 512, 32},
            BenchmarkResult{41.5, 24.0, 4210}};
}

TEST(RunRecordJson, compact_form_is_exact) {
    EXPECT_EQ(to_json(example()),
              R"({"config":{"runtime":"LlamaCpp","quantization":"Q4_K_M","threads":8,"batch_size":512,"gpu_layers":32},)"
              R"("metrics":{"tokens_per_sec":41.5,"latency_ms":24.0,"peak_memory_mb":4210}})");
}

TEST(RunRecordJson, pretty_form_has_fourteen_lines_and_no_trailing_line_feed) {
    auto r = example();
    r.config.runtime = RuntimeKind::Vllm;
    r.config.quantization = QuantizationStrategy::Int8;
    EXPECT_EQ(to_json_pretty(r),
              "{\n"
              "  \"config\": {\n"
              "    \"runtime\": \"Vllm\",\n"
              "    \"quantization\": \"Int8\",\n"
              "    \"threads\": 8,\n"
              "    \"batch_size\": 512,\n"
              "    \"gpu_layers\": 32\n"
              "  },\n"
              "  \"metrics\": {\n"
              "    \"tokens_per_sec\": 41.5,\n"
              "    \"latency_ms\": 24.0,\n"
              "    \"peak_memory_mb\": 4210\n"
              "  }\n"
              "}");
}

struct FloatCase {
    double value;
    const char* text;
};

class RunRecordFloats : public ::testing::TestWithParam<FloatCase> {};

TEST_P(RunRecordFloats, follow_the_shortest_round_trip_rules_in_both_forms) {
    auto r = example();
    r.metrics.tokens_per_sec = GetParam().value;
    std::string member = std::string("\"tokens_per_sec\":") + GetParam().text + ",";
    EXPECT_NE(to_json(r).find(member), std::string::npos) << to_json(r);
    std::string pretty_member = std::string("\"tokens_per_sec\": ") + GetParam().text + ",\n";
    auto pretty = to_json_pretty(r);
    EXPECT_NE(pretty.find(pretty_member), std::string::npos) << pretty;
    EXPECT_EQ(std::count(pretty.begin(), pretty.end(), '\n'), 13);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RunRecordFloats,
    ::testing::Values(FloatCase{12.0, "12.0"}, FloatCase{0.0, "0.0"}, FloatCase{0.00001, "0.00001"},
                      FloatCase{1e16, "1e16"}, FloatCase{1.5e-6, "1.5e-6"}, FloatCase{-2.25, "-2.25"},
                      FloatCase{9999999999999998.0, "9999999999999998.0"}, FloatCase{0.1, "0.1"},
                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "null"},
                      FloatCase{std::numeric_limits<double>::infinity(), "null"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "null"}),
    [](const auto& info) { return testing::number_case_name(info.param.value, info.param.text); });

TEST(RunRecordNames, are_the_exact_texts) {
    EXPECT_EQ(format_runtime_list({RuntimeKind::LlamaCpp, RuntimeKind::OnnxRuntime, RuntimeKind::TensorRT,
                                   RuntimeKind::Ollama, RuntimeKind::Vllm}),
              "[LlamaCpp, OnnxRuntime, TensorRT, Ollama, Vllm]");
    EXPECT_EQ(format_runtime_list({}), "[]");
    const char* quant[] = {"F16", "Q8_0", "Q4_K_M", "Q4_0", "Int8", "Int4"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(to_string(static_cast<QuantizationStrategy>(i)), quant[i]);
    EXPECT_EQ(to_string(WorkloadClass::ComputeBound), "ComputeBound");
}

TEST(QuantizationProperties, match_the_table) {
    struct Row {
        QuantizationStrategy q;
        double bytes, weight, speed;
        bool integer;
    };
    const Row rows[] = {{QuantizationStrategy::F16, 2.0, 1.0, 0.28, false},
                        {QuantizationStrategy::Q8_0, 1.0, 0.5, 0.55, false},
                        {QuantizationStrategy::Q4_K_M, 0.5, 0.25, 1.0, false},
                        {QuantizationStrategy::Q4_0, 0.5, 0.25, 0.95, false},
                        {QuantizationStrategy::Int8, 1.0, 0.5, 0.55, true},
                        {QuantizationStrategy::Int4, 0.5, 0.25, 1.0, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(to_string(row.q));
        EXPECT_EQ(bytes_per_param(row.q), row.bytes);
        EXPECT_EQ(relative_weight_size(row.q), row.weight);
        EXPECT_EQ(relative_decode_speed(row.q), row.speed);
        EXPECT_EQ(is_integer_strategy(row.q), row.integer);
    }
}

}  // namespace
}  // namespace ferrolune
