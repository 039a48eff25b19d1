#include "ferrolune/optimizer/pipeline.h"

#include <atomic>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ferrolune/optimizer/search.h"
#include "test_support.h"

namespace ferrolune::optimizer {
namespace {

using namespace testing_support;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Q = QuantizationStrategy;

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(s.substr(start, nl - start));
    return out;
}

struct PipelineRun {
    Result<OptimizationResult> result;
    std::string log;
};

PipelineRun run(const ModelDescription& m, std::optional<double> limit, const HardwareProfile& hw, ScriptedSurface& s,
                const InstalledCheck& missing_tool = every_tool_installed) {
    ::testing::internal::CaptureStderr();
    Result<OptimizationResult> r = run_pipeline(m, limit, hw, s.measure(), nullptr, missing_tool);
    return PipelineRun{std::move(r), ::testing::internal::GetCapturedStderr()};
}

Result<BenchmarkResult> metrics(double tps, double latency, uint64_t peak = 100) {
    return BenchmarkResult{tps, latency, peak};
}

TEST(Pipeline, StageLinesAndTheBayesianWinner) {
    ScriptedSurface surface([](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        // Eight cores, no GPU: threads 4, 8, 16.
        return metrics(c.runtime == RuntimeKind::LlamaCpp ? 10.0 + c.threads : 5.0, 50.0);
    });
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface);
    ASSERT_TRUE(r.result) << r.result.error().render();
    EXPECT_EQ(r.result->config.runtime, RuntimeKind::LlamaCpp);
    // Eight distinct configurations fit the budget: each measured once.
    EXPECT_EQ(surface.measured().size(), 8u);

    auto lines = lines_of(r.log);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "[Stage 1/4] Hardware: 8 cores, GPU=no, VRAM=none, RAM=16000MB");
    EXPECT_EQ(lines[1], "[Stage 2/4] Model: workload=Balanced, params=unknown, FP16=unknown");
    EXPECT_EQ(lines[2], "[Stage 3/4] Preselected runtimes: [LlamaCpp, Ollama]");
    EXPECT_EQ(lines[3], "[Stage 4/4] Bayesian optimization: 8 initial samples + 0 refinement iterations");
    EXPECT_EQ(lines.back(), "[Bayes final] Best: LlamaCpp/" + std::string(to_string(r.result->config.quantization)) +
                                "/" + std::to_string(r.result->config.threads) + " threads/0 gpu_layers \u2192 " +
                                (r.result->config.threads == 16 ? "26.0" : r.result->config.threads == 8 ? "18.0" : "14.0") +
                                " tok/s (8 measurements)");
    EXPECT_EQ(r.result->config.threads, 16u);
    EXPECT_THAT(r.log, ::testing::Not(HasSubstr("cartesian")));
}

struct StageCase {
    const char* name;
    ModelDescription model;
    HardwareProfile hw;
    std::vector<std::string> first_lines;
};

class StageLines : public ::testing::TestWithParam<StageCase> {};

TEST_P(StageLines, OpenTheLog) {
    ScriptedSurface surface([](const RuntimeConfig&) { return metrics(1.0, 1.0); });
    PipelineRun r = run(GetParam().model, std::nullopt, GetParam().hw, surface);
    auto lines = lines_of(r.log);
    ASSERT_GE(lines.size(), GetParam().first_lines.size());
    for (std::size_t i = 0; i < GetParam().first_lines.size(); ++i) EXPECT_EQ(lines[i], GetParam().first_lines[i]);
}

ModelDescription onnx_model() {
    ModelDescription m = gguf_model();
    m.format = ModelFormat::Onnx;
    m.path = "model.onnx";
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StageLines,
    ::testing::Values(
        StageCase{"params_and_gpu", gguf_model(6'738'415'616), machine(16, 32000, gpu(GpuVendor::Nvidia, 24576)),
                  {"[Stage 1/4] Hardware: 16 cores, GPU=yes, VRAM=24576MB, RAM=32000MB",
                   "[Stage 2/4] Model: workload=Balanced, params=6.7B, FP16=13477MB"}},
        StageCase{"onnx_without_gpu", onnx_model(), machine(4, 8000),
                  {"[Stage 1/4] Hardware: 4 cores, GPU=no, VRAM=none, RAM=8000MB",
                   "[Stage 2/4] Model: workload=Balanced, params=unknown, FP16=unknown",
                   "[Stage 3/7] Eliminated TensorRT: TensorRT requires NVIDIA GPU",
                   "[Stage 3/7] Eliminated Vllm: vLLM requires a GPU",
                   "[Stage 3/4] Preselected runtimes: [OnnxRuntime]"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pipeline, TooSlowBestFallsBackAndAcceptsLatencyEqualToTheLimit) {
    // Only the fallback's first candidate meets the limit, exactly.
    const RuntimeConfig exact{RuntimeKind::LlamaCpp, Q::Q4_K_M, 4, 512, 0};
    ScriptedSurface surface([&](const RuntimeConfig& c) {
        return c == exact ? metrics(3.0, 100.0) : metrics(10.0 + c.threads, 120.0);
    });
    PipelineRun r = run(gguf_model(), 100.0, machine(8, 16000), surface);
    ASSERT_TRUE(r.result) << r.result.error().render();
    EXPECT_EQ(r.result->config, exact);
    EXPECT_EQ(r.result->metrics.latency_ms, 100.0);
    EXPECT_EQ(surface.measured().size(), 8u + 24u);
    EXPECT_THAT(r.log, HasSubstr(" tok/s (8 measurements)\n[Bayes final] Best config latency 120.0ms exceeds limit 100.0ms \u2014 "
                                 "falling back to cartesian search\n[Bayes final] No successful evaluations \u2014 "
                                 "falling back to cartesian search. Failure reasons: none recorded\n"));
}

TEST(Pipeline, WithoutLimitTheBayesianWinnerIgnoresTheMemoryBudget) {
    ScriptedSurface surface([](const RuntimeConfig&) { return metrics(5.0, 10.0, 1'000'000); });
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface);
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->metrics.peak_memory_mb, 1'000'000u);
    EXPECT_EQ(surface.measured().size(), 8u);
}

TEST(Pipeline, FallbackKeepsPeakEqualToTheBudgetAndDropsOneAbove) {
    // The eight Bayesian measurements fail; the fallback then succeeds.
    std::atomic<int> calls{0};
    ScriptedSurface surface([&](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        if (calls++ < 8) return fail(Error("connection refused").context("inference failed: connection refused"));
        if (c.runtime == RuntimeKind::LlamaCpp && c.quantization == Q::Q4_K_M && c.threads == 8)
            return metrics(50.0, 1.0, 14401);  // budget is 0.9 x 16000 = 14400
        if (c.runtime == RuntimeKind::LlamaCpp && c.quantization == Q::Q4_K_M && c.threads == 4)
            return metrics(5.0, 1.0, 14400);
        return metrics(1.0, 1.0, 10);
    });
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface);
    ASSERT_TRUE(r.result) << r.result.error().render();
    EXPECT_EQ(describe(r.result->config), "LlamaCpp/Q4_K_M/4/0/512");
    EXPECT_THAT(r.log, HasSubstr("[Bayes final] No successful evaluations \u2014 falling back to cartesian search. "
                                 "Failure reasons: connection refused\n"));
    EXPECT_THAT(r.log, HasSubstr("[Bayes init 7/8] Ollama/Q4_K_M \u2192 ERROR: inference failed: connection refused\n"));
    EXPECT_THAT(r.log, ::testing::Not(HasSubstr("[ferrolune-optimizer]")));
}

TEST(Pipeline, BothSearchesFailingGiveTheTwoLevelError) {
    ScriptedSurface surface([](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        std::string root = c.runtime == RuntimeKind::Ollama ? "ollama: connection refused" : "llama: bad magic";
        return fail(Error(root).context("run failed"));
    });
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface);
    ASSERT_FALSE(r.result);
    const std::string phase =
        "no compatible runtimes found \u2014 install the required binaries and retry.\n"
        "Failure reasons: llama: bad magic; ollama: connection refused";
    EXPECT_EQ(r.result.error().render(), "cartesian fallback also failed: " + phase + ": " + phase);
    EXPECT_EQ(r.result.error().message(), "cartesian fallback also failed: " + phase);
    auto lines = lines_of(r.log);
    EXPECT_EQ(std::ranges::count(lines, "[ferrolune-optimizer] benchmark error: run failed"), 24);
}

TEST(Pipeline, NothingWithinTheLimitAndNoReasonsNamesTheLimit) {
    ScriptedSurface surface([](const RuntimeConfig&) { return metrics(5.0, 80.0); });
    PipelineRun r = run(gguf_model(), 0.25, machine(8, 16000), surface);
    ASSERT_FALSE(r.result);
    const std::string phase =
        "no valid configuration found: no configuration meets the latency constraint of 0.2 ms. "
        "Try relaxing --latency or freeing RAM.";
    EXPECT_EQ(r.result.error().render(), "cartesian fallback also failed: " + phase + ": " + phase);
}

TEST(Pipeline, NothingWithinTheBudgetWithoutLimitNamesMemory) {
    std::atomic<int> calls{0};
    ScriptedSurface surface([&](const RuntimeConfig&) -> Result<BenchmarkResult> {
        if (calls++ < 8) return fail("down");
        return metrics(5.0, 1.0, 1'000'000);
    });
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface);
    ASSERT_FALSE(r.result);
    EXPECT_EQ(r.result.error().render(),
              "cartesian fallback also failed: no valid configuration found: all benchmark results exceeded the "
              "available memory budget. Try freeing RAM or using a smaller model.: no compatible runtimes found "
              "\u2014 install the required binaries and retry.\nFailure reasons: down");
}

TEST(Pipeline, NoFallbackCandidatesWhenTheGpuIsTooSmall) {
    ScriptedSurface surface([](const RuntimeConfig&) -> Result<BenchmarkResult> { return fail("oom"); });
    PipelineRun r = run(gguf_model(7'000'000'000), std::nullopt, machine(8, 64000, gpu(GpuVendor::Nvidia, 1000)), surface);
    ASSERT_FALSE(r.result);
    EXPECT_THAT(r.result.error().render(),
                StartsWith("cartesian fallback also failed: no candidate configurations generated for this hardware "
                           "/ model combination: no compatible runtimes found"));
    EXPECT_EQ(surface.measured().size(), 12u);
}

TEST(Pipeline, AnAbsentRuntimeIsNeverMeasured) {
    ScriptedSurface surface([](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        return metrics(c.runtime == RuntimeKind::Ollama ? 1000.0 : 10.0 + c.threads, 50.0);
    });
    auto no_ollama = [](RuntimeKind r) -> std::optional<std::string> {
        if (r == RuntimeKind::Ollama) return "'ollama' not installed";
        return std::nullopt;
    };
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface, no_ollama);
    ASSERT_TRUE(r.result) << r.result.error().render();
    EXPECT_EQ(r.result->config.runtime, RuntimeKind::LlamaCpp);
    for (const RuntimeConfig& c : surface.measured()) EXPECT_NE(c.runtime, RuntimeKind::Ollama);
    auto lines = lines_of(r.log);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], "[Stage 3/7] Eliminated Ollama: 'ollama' not installed");
    EXPECT_EQ(lines[3], "[Stage 3/4] Preselected runtimes: [LlamaCpp]");
}

TEST(Pipeline, MissingLlamaToolIsReplacedByEstimates) {
    ScriptedSurface surface([](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        return fail(missing_tool_error(c.runtime == RuntimeKind::LlamaCpp ? "llama-cli" : "ollama"));
    });
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface);
    ASSERT_TRUE(r.result) << r.result.error().render();
    EXPECT_EQ(r.result->config.runtime, RuntimeKind::LlamaCpp);
    EXPECT_EQ(r.result->metrics.tokens_per_sec,
              estimate_llama_metrics(r.result->config, gguf_model(), machine(8, 16000)).tokens_per_sec);
    EXPECT_THAT(r.log, HasSubstr("[ferrolune] llama-cli not found \u2014 using hardware-aware estimates for GGUF configs\n"));
    EXPECT_THAT(r.log, HasSubstr("Ollama/Q4_K_M \u2192 ERROR: required binary 'ollama' was not found in PATH"));
}

}  // namespace
}  // namespace ferrolune::optimizer
