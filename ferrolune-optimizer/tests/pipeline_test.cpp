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

PipelineRun run(const ModelDescription& m, std::optional<double> limit, const HardwareProfile& hw, ScriptedSurface& s) {
    ::testing::internal::CaptureStderr();
    Result<OptimizationResult> r = run_pipeline(m, limit, hw, s.measure());
    return PipelineRun{std::move(r), ::testing::internal::GetCapturedStderr()};
}

Result<BenchmarkResult> metrics(double tps, double latency, uint64_t peak = 100) {
    return BenchmarkResult{tps, latency, peak};
}

TEST(Pipeline, stage_lines_and_the_bayesian_winner) {
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

TEST_P(StageLines, open_the_log) {
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

TEST(Pipeline, too_slow_best_falls_back_and_accepts_latency_equal_to_the_limit) {
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

TEST(Pipeline, without_limit_the_bayesian_winner_ignores_the_memory_budget) {
    ScriptedSurface surface([](const RuntimeConfig&) { return metrics(5.0, 10.0, 1'000'000); });
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface);
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->metrics.peak_memory_mb, 1'000'000u);
    EXPECT_EQ(surface.measured().size(), 8u);
}

TEST(Pipeline, fallback_keeps_peak_equal_to_the_budget_and_drops_one_above) {
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

TEST(Pipeline, both_searches_failing_give_the_two_level_error) {
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

TEST(Pipeline, nothing_within_the_limit_and_no_reasons_names_the_limit) {
    ScriptedSurface surface([](const RuntimeConfig&) { return metrics(5.0, 80.0); });
    PipelineRun r = run(gguf_model(), 0.25, machine(8, 16000), surface);
    ASSERT_FALSE(r.result);
    const std::string phase =
        "no valid configuration found: no configuration meets the latency constraint of 0.2 ms. "
        "Try relaxing --latency or freeing RAM.";
    EXPECT_EQ(r.result.error().render(), "cartesian fallback also failed: " + phase + ": " + phase);
}

TEST(Pipeline, nothing_within_the_budget_without_limit_names_memory) {
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

TEST(Pipeline, no_fallback_candidates_when_the_gpu_is_too_small) {
    ScriptedSurface surface([](const RuntimeConfig&) -> Result<BenchmarkResult> { return fail("oom"); });
    PipelineRun r = run(gguf_model(7'000'000'000), std::nullopt, machine(8, 64000, gpu(GpuVendor::Nvidia, 1000)), surface);
    ASSERT_FALSE(r.result);
    EXPECT_THAT(r.result.error().render(),
                StartsWith("cartesian fallback also failed: no candidate configurations generated for this hardware "
                           "/ model combination: no compatible runtimes found"));
    EXPECT_EQ(surface.measured().size(), 12u);
}

TEST(Pipeline, missing_llama_tool_is_replaced_by_estimates) {
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


// What every run's table must hold: one row per configuration, best first,
// the winner among them with the winner's own figures.
void expect_table_invariants(const OptimizationResult& r) {
    for (std::size_t i = 0; i < r.measurements.size(); ++i) {
        for (std::size_t j = i + 1; j < r.measurements.size(); ++j)
            EXPECT_NE(r.measurements[i].config, r.measurements[j].config) << describe(r.measurements[i].config);
        if (i) EXPECT_GE(r.measurements[i - 1].metrics.tokens_per_sec, r.measurements[i].metrics.tokens_per_sec);
    }
    auto winner = std::ranges::find_if(r.measurements, [&](const Measurement& m) { return m.config == r.config; });
    ASSERT_NE(winner, r.measurements.end());
    EXPECT_EQ(winner->metrics.tokens_per_sec, r.metrics.tokens_per_sec);
    EXPECT_EQ(winner->metrics.latency_ms, r.metrics.latency_ms);
}

struct TableCase {
    const char* name;
    std::optional<double> limit;
    // The figure for a configuration, or nothing for a failure.
    std::function<std::optional<double>(const RuntimeConfig&)> tps;
};

class MeasurementTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(MeasurementTable, HoldsEachSuccessfulConfigurationOnceWithItsFigure) {
    const TableCase& c = GetParam();
    ScriptedSurface surface([&](const RuntimeConfig& config) -> Result<BenchmarkResult> {
        std::optional<double> tps = c.tps(config);
        if (!tps) return fail(Error("connection refused").context("inference failed"));
        // Latency tells the two phases apart in the fallback case.
        return metrics(*tps, config.threads == 4 ? 100.0 : 120.0, 100 + config.threads);
    });
    PipelineRun r = run(gguf_model(), c.limit, machine(8, 16000), surface);
    ASSERT_TRUE(r.result) << r.result.error().render();
    expect_table_invariants(*r.result);

    std::vector<RuntimeConfig> expected;
    for (const RuntimeConfig& m : surface.measured())
        if (c.tps(m) && std::ranges::find(expected, m) == expected.end()) expected.push_back(m);
    ASSERT_EQ(r.result->measurements.size(), expected.size());
    for (const Measurement& row : r.result->measurements) {
        SCOPED_TRACE(describe(row.config));
        EXPECT_NE(std::ranges::find(expected, row.config), expected.end());
        EXPECT_EQ(row.metrics.tokens_per_sec, *c.tps(row.config));
        EXPECT_EQ(row.metrics.peak_memory_mb, 100 + row.config.threads);
        // Never pooled here: no ties, and the fallback's figure replaces the search's.
        EXPECT_EQ(row.metrics.runs, 1u);
        EXPECT_FALSE(row.estimate);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, MeasurementTable,
    ::testing::Values(
        TableCase{"every_configuration_succeeds", std::nullopt,
                  [](const RuntimeConfig& c) -> std::optional<double> {
                      return (c.runtime == RuntimeKind::LlamaCpp ? 10.0 : 3.0) + c.threads + c.batch_size / 1000.0;
                  }},
        TableCase{"failures_stay_out", std::nullopt,
                  [](const RuntimeConfig& c) -> std::optional<double> {
                      if (c.runtime == RuntimeKind::Ollama) return std::nullopt;
                      return 10.0 + c.threads;
                  }},
        // The search's best is too slow; the fallback measures all 24
        // candidates again and its fresh rows replace the search's.
        TableCase{"fallback_rows_replace_the_search_rows", 100.0,
                  [](const RuntimeConfig& c) -> std::optional<double> { return 10.0 + c.threads; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Pipeline, NearTieRemeasuresArePooledIntoTheirRows) {
    // LlamaCpp at 10 + threads, each +-5: the best two are within each
    // other's spread and are measured again.
    ScriptedSurface surface([](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        if (c.runtime != RuntimeKind::LlamaCpp) return metrics(1.0, 50.0);
        return BenchmarkResult{10.0 + c.threads, 50.0, 100, 5.0, 3};
    });
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface);
    ASSERT_TRUE(r.result) << r.result.error().render();
    ASSERT_THAT(r.log, HasSubstr("[Bayes tie]"));
    expect_table_invariants(*r.result);
    // Eight distinct configurations, two of them measured twice.
    EXPECT_EQ(surface.measured().size(), 10u);
    ASSERT_EQ(r.result->measurements.size(), 8u);
    const std::vector<RuntimeConfig> measured = surface.measured();
    int remeasured_rows = 0;
    for (std::size_t i = 0; i < r.result->measurements.size(); ++i) {
        const Measurement& row = r.result->measurements[i];
        SCOPED_TRACE(describe(row.config));
        const bool remeasured = std::ranges::count(measured, row.config) == 2;
        remeasured_rows += remeasured;
        // The re-measured pair were the best two, and stay on top.
        EXPECT_EQ(remeasured, i < 2);
        if (row.config.runtime == RuntimeKind::LlamaCpp) EXPECT_EQ(row.metrics.runs, remeasured ? 6u : 3u);
    }
    EXPECT_EQ(remeasured_rows, 2);
}

TEST(Pipeline, EstimatedRowsAreMarkedAndFailuresLeftOut) {
    ScriptedSurface surface([](const RuntimeConfig& c) -> Result<BenchmarkResult> {
        return fail(missing_tool_error(c.runtime == RuntimeKind::LlamaCpp ? "llama-cli" : "ollama"));
    });
    PipelineRun r = run(gguf_model(), std::nullopt, machine(8, 16000), surface);
    ASSERT_TRUE(r.result) << r.result.error().render();
    expect_table_invariants(*r.result);
    ASSERT_FALSE(r.result->measurements.empty());
    for (const Measurement& row : r.result->measurements) {
        SCOPED_TRACE(describe(row.config));
        EXPECT_EQ(row.config.runtime, RuntimeKind::LlamaCpp);
        EXPECT_TRUE(row.estimate);
        EXPECT_EQ(row.metrics.tokens_per_sec,
                  estimate_llama_metrics(row.config, gguf_model(), machine(8, 16000)).tokens_per_sec);
    }
}

}  // namespace
}  // namespace ferrolune::optimizer
