#include "ferrolune/runtime/adapter_registry.h"

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ferrolune/runtime/llamacpp_adapter.h"
#include "ferrolune/runtime/ollama_adapter.h"
#include "ferrolune/runtime/onnx_adapter.h"
#include "ferrolune/runtime/tensorrt_adapter.h"
#include "ferrolune/runtime/vllm_adapter.h"
#include "test_support.h"

namespace ferrolune {
namespace {

using testing::adapter_error;
using Kind = RuntimeAdapterError::Kind;

// A scripted adapter that records the calls made on it.
class ScriptedAdapter : public RuntimeAdapter {
public:
    std::vector<std::string> calls;
    std::optional<std::string> fail_at;  // "initialize", "load_model", "run1", "run2", "shutdown"
    Status initialize(const RuntimeConfig&) override { return step("initialize"); }
    Status load_model(const ModelDescription&) override { return step("load_model"); }
    Result<BenchmarkResult> run_inference(std::string_view prompt) override {
        ++runs;
        std::string name = "run" + std::to_string(runs);
        calls.push_back(name + ":" + std::string(prompt));
        if (fail_at == name) return fail(RuntimeAdapterError::inference_failed(name));
        return BenchmarkResult{10.0 * runs, 1.0 * runs, static_cast<uint64_t>(runs)};
    }
    Status shutdown() override { return step("shutdown"); }

private:
    int runs = 0;
    Status step(const std::string& name) {
        calls.push_back(name);
        if (fail_at == name) return fail(RuntimeAdapterError::initialization_failed(name));
        return {};
    }
};

TEST(Benchmark, warms_up_then_averages_three_measured_runs_with_their_spread) {
    AdapterRegistry reg;
    auto owned = std::make_unique<ScriptedAdapter>();
    auto* a = owned.get();
    reg.insert(RuntimeKind::Ollama, std::move(owned));
    auto r = reg.benchmark(testing::config(RuntimeKind::Ollama), {}, "hi");
    ASSERT_TRUE(r) << r.error().render();
    // Runs 2 to 4 give 20, 30 and 40 tok/s; the warm-up's 10 is dropped.
    EXPECT_EQ(r->tokens_per_sec, 30.0);
    ASSERT_TRUE(r->tokens_per_sec_stddev);
    EXPECT_DOUBLE_EQ(*r->tokens_per_sec_stddev, 10.0);
    EXPECT_EQ(r->runs, 3u);
    EXPECT_EQ(r->latency_ms, 3.0);
    EXPECT_EQ(r->peak_memory_mb, 4u);
    EXPECT_THAT(a->calls, ::testing::ElementsAre("initialize", "load_model", "run1:hi", "run2:hi", "run3:hi",
                                                 "run4:hi", "shutdown"));
}

// An adapter whose tool repeats the generation itself and reports the mean.
class RepeatingAdapter : public ScriptedAdapter {
public:
    Result<BenchmarkResult> run_inference(std::string_view prompt) override {
        auto r = ScriptedAdapter::run_inference(prompt);
        if (r) {
            r->runs = 3;
            r->tokens_per_sec_stddev = 0.5;
        }
        return r;
    }
};

TEST(Benchmark, a_run_that_already_averages_three_is_measured_once) {
    AdapterRegistry reg;
    auto owned = std::make_unique<RepeatingAdapter>();
    auto* a = owned.get();
    reg.insert(RuntimeKind::LlamaCpp, std::move(owned));
    auto r = reg.benchmark(testing::config(RuntimeKind::LlamaCpp), {}, "p");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(r->tokens_per_sec, 20.0);
    EXPECT_EQ(r->tokens_per_sec_stddev, 0.5);
    EXPECT_EQ(r->runs, 3u);
    EXPECT_THAT(a->calls, ::testing::ElementsAre("initialize", "load_model", "run1:p", "run2:p", "shutdown"));
}

struct CombineCase {
    const char* name;
    std::vector<BenchmarkResult> parts;
    double mean;
    double stddev;
    uint32_t runs;
};

class CombineRuns : public ::testing::TestWithParam<CombineCase> {};

TEST_P(CombineRuns, weights_by_runs_and_pools_the_spread) {
    BenchmarkResult r = combine_runs(GetParam().parts);
    EXPECT_DOUBLE_EQ(r.tokens_per_sec, GetParam().mean);
    EXPECT_NEAR(r.tokens_per_sec_stddev.value_or(-1.0), GetParam().stddev, 1e-12);
    EXPECT_EQ(r.runs, GetParam().runs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CombineRuns,
    ::testing::Values(
        CombineCase{"single_runs", {{1.0, 1.0, 1}, {2.0, 1.0, 1}, {3.0, 1.0, 1}}, 2.0, 1.0, 3},
        // Two means of three runs each, both with spread 1: pooled over six runs.
        CombineCase{"two_repeated_measurements",
                    {{10.0, 1.0, 1, 1.0, 3}, {12.0, 1.0, 1, 1.0, 3}},
                    11.0,
                    std::sqrt((2.0 + 2.0 + 3.0 + 3.0) / 5.0),
                    6},
        CombineCase{"one_part_is_kept_as_it_is", {{7.0, 1.0, 1, 0.25, 3}}, 7.0, 0.25, 3}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailCase {
    const char* step;
    std::vector<std::string> calls;
};

class BenchmarkStops : public ::testing::TestWithParam<FailCase> {};

TEST_P(BenchmarkStops, at_the_first_error_which_is_returned_unchanged) {
    AdapterRegistry reg;
    auto owned = std::make_unique<ScriptedAdapter>();
    auto* a = owned.get();
    a->fail_at = GetParam().step;
    reg.insert(RuntimeKind::LlamaCpp, std::move(owned));
    auto r = reg.benchmark(testing::config(RuntimeKind::LlamaCpp), {}, "p");
    ASSERT_FALSE(r);
    EXPECT_THAT(r.error().render(), ::testing::EndsWith(GetParam().step));
    EXPECT_TRUE(r.error().causes().empty());
    EXPECT_EQ(a->calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, BenchmarkStops,
    ::testing::Values(FailCase{"initialize", {"initialize"}},
                      FailCase{"load_model", {"initialize", "load_model"}},
                      FailCase{"run1", {"initialize", "load_model", "run1:p"}},
                      FailCase{"run2", {"initialize", "load_model", "run1:p", "run2:p"}},
                      FailCase{"run4", {"initialize", "load_model", "run1:p", "run2:p", "run3:p", "run4:p"}},
                      FailCase{"shutdown",
                               {"initialize", "load_model", "run1:p", "run2:p", "run3:p", "run4:p", "shutdown"}}),
    [](const auto& info) { return std::string(info.param.step); });

TEST(Benchmark, unregistered_kind_is_a_plain_error) {
    AdapterRegistry reg;
    auto r = reg.benchmark(testing::config(RuntimeKind::TensorRT), {}, "p");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "no adapter registered for TensorRT");
    EXPECT_EQ(adapter_error_of(r.error()), nullptr);
}

TEST(Registry, holds_one_adapter_of_the_right_type_per_kind) {
    auto reg = AdapterRegistry::with_all_adapters();
    EXPECT_NE(dynamic_cast<LlamaCppAdapter*>(reg.find(RuntimeKind::LlamaCpp)), nullptr);
    EXPECT_NE(dynamic_cast<OnnxAdapter*>(reg.find(RuntimeKind::OnnxRuntime)), nullptr);
    EXPECT_NE(dynamic_cast<TensorRtAdapter*>(reg.find(RuntimeKind::TensorRT)), nullptr);
    EXPECT_NE(dynamic_cast<OllamaAdapter*>(reg.find(RuntimeKind::Ollama)), nullptr);
    EXPECT_NE(dynamic_cast<VllmAdapter*>(reg.find(RuntimeKind::Vllm)), nullptr);
}

class FreshAdapter : public ::testing::TestWithParam<RuntimeKind> {};

TEST_P(FreshAdapter, refuses_to_run_before_initialize_and_load_model) {
    auto reg = AdapterRegistry::with_all_adapters();
    auto r = reg.find(GetParam())->run_inference("p");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "model initialization failed: adapter not initialized");
    EXPECT_EQ(adapter_error(r.error()).kind(), Kind::InitializationFailed);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, FreshAdapter,
                         ::testing::Values(RuntimeKind::LlamaCpp, RuntimeKind::OnnxRuntime, RuntimeKind::TensorRT,
                                           RuntimeKind::Ollama, RuntimeKind::Vllm),
                         [](const auto& info) { return std::string(to_string(info.param)); });

}  // namespace
}  // namespace ferrolune
