#include "ferrolune/runtime/adapter_registry.h"

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

TEST(Benchmark, warms_up_then_returns_the_second_run) {
    AdapterRegistry reg;
    auto owned = std::make_unique<ScriptedAdapter>();
    auto* a = owned.get();
    reg.insert(RuntimeKind::Ollama, std::move(owned));
    auto r = reg.benchmark(testing::config(RuntimeKind::Ollama), {}, "hi");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(r->tokens_per_sec, 20.0);
    EXPECT_EQ(r->peak_memory_mb, 2u);
    EXPECT_THAT(a->calls, ::testing::ElementsAre("initialize", "load_model", "run1:hi", "run2:hi", "shutdown"));
}

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
                      FailCase{"shutdown", {"initialize", "load_model", "run1:p", "run2:p", "shutdown"}}),
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
