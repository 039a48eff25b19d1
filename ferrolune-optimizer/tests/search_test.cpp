#include "ferrolune/optimizer/search.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace ferrolune::optimizer {
namespace {

using namespace testing_support;
using ::testing::ElementsAre;
using Q = QuantizationStrategy;

struct WorkloadCase {
    const char* name;
    std::optional<uint64_t> ffn;
    std::optional<uint32_t> hidden;
    WorkloadClass want;
};

class Workload : public ::testing::TestWithParam<WorkloadCase> {};

TEST_P(Workload, classifies_by_integer_ratio) {
    ModelDescription m = gguf_model();
    m.feed_forward_length = GetParam().ffn;
    m.hidden_size = GetParam().hidden;
    EXPECT_EQ(classify_workload(m), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Workload,
    ::testing::Values(WorkloadCase{"ratio_2_memory", 11008, 4096, WorkloadClass::MemoryBound},
                      WorkloadCase{"ratio_4_balanced", 16384, 4096, WorkloadClass::Balanced},
                      WorkloadCase{"ratio_8_compute", 32768, 4096, WorkloadClass::ComputeBound},
                      WorkloadCase{"ratio_7_balanced", 7 * 4096 + 4095, 4096, WorkloadClass::Balanced},
                      WorkloadCase{"ratio_3_balanced", 3 * 4096, 4096, WorkloadClass::Balanced},
                      WorkloadCase{"hidden_zero", 100, 0, WorkloadClass::Balanced},
                      WorkloadCase{"ffn_absent", std::nullopt, 4096, WorkloadClass::Balanced},
                      WorkloadCase{"hidden_absent", 4096, std::nullopt, WorkloadClass::Balanced}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AnalyzeModelWorkload, footprint_wins_over_params_and_kv_pressure_uses_vram_or_ram) {
    ModelDescription m = gguf_model(7'000'000'000);
    EXPECT_DOUBLE_EQ(*analyze_model_workload(m, machine(8, 16000)).fp16_memory_mb, 14000.0);
    m.memory_footprint_mb = 13351.44;
    EXPECT_DOUBLE_EQ(*analyze_model_workload(m, machine(8, 16000)).fp16_memory_mb, 13351.44);
    EXPECT_FALSE(analyze_model_workload(gguf_model(), machine(8, 16000)).fp16_memory_mb);

    m.kv_cache_size_mb = 3000.0;
    EXPECT_FALSE(analyze_model_workload(m, machine(8, 16000)).kv_pressure);  // 0.2 x 16000 = 3200
    EXPECT_TRUE(analyze_model_workload(m, machine(8, 14000)).kv_pressure);   // 2800
    EXPECT_TRUE(analyze_model_workload(m, machine(8, 64000, gpu(GpuVendor::Nvidia, 8192))).kv_pressure);
}

struct PreselectCase {
    const char* name;
    ModelFormat format;
    std::optional<GpuInfo> gpu;
    std::vector<RuntimeKind> want;
    std::string log;
};

class Preselect : public ::testing::TestWithParam<PreselectCase> {};

TEST_P(Preselect, keeps_best_two_and_logs_eliminations) {
    const PreselectCase& c = GetParam();
    ::testing::internal::CaptureStderr();
    auto got = preselect_runtimes(c.format, machine(8, 16000, c.gpu), ModelAnalysis{});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.log);
    EXPECT_EQ(got, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Preselect,
    ::testing::Values(
        PreselectCase{"gguf_cpu", ModelFormat::Gguf, std::nullopt, {RuntimeKind::LlamaCpp, RuntimeKind::Ollama}, ""},
        PreselectCase{"onnx_nvidia", ModelFormat::Onnx, gpu(GpuVendor::Nvidia, 24576),
                      {RuntimeKind::TensorRT, RuntimeKind::OnnxRuntime}, ""},
        PreselectCase{"onnx_amd", ModelFormat::Onnx, gpu(GpuVendor::Amd, 16384),
                      {RuntimeKind::OnnxRuntime, RuntimeKind::Vllm},
                      "[Stage 3/7] Eliminated TensorRT: TensorRT requires NVIDIA GPU\n"},
        PreselectCase{"onnx_cpu", ModelFormat::Onnx, std::nullopt, {RuntimeKind::OnnxRuntime},
                      "[Stage 3/7] Eliminated TensorRT: TensorRT requires NVIDIA GPU\n"
                      "[Stage 3/7] Eliminated Vllm: vLLM requires a GPU\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Preselect, kv_pressure_without_vram_drops_vllm) {
    ModelAnalysis pressured;
    pressured.kv_pressure = true;
    ::testing::internal::CaptureStderr();
    auto got = preselect_runtimes(ModelFormat::Onnx, machine(8, 16000, gpu(GpuVendor::Apple, 0)), pressured);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(),
                ::testing::HasSubstr("[Stage 3/7] Eliminated Vllm: vLLM cannot handle KV pressure without VRAM\n"));
    EXPECT_THAT(got, ElementsAre(RuntimeKind::OnnxRuntime));
}

TEST(ThreadCounts, half_full_double_clamped_and_unique) {
    EXPECT_THAT(thread_counts(8), ElementsAre(4, 8, 16));
    EXPECT_THAT(thread_counts(1), ElementsAre(1, 2));
    EXPECT_THAT(thread_counts(48), ElementsAre(24, 48, 64));
    EXPECT_THAT(thread_counts(200), ElementsAre(64));
    EXPECT_THAT(thread_counts(0), ElementsAre(1));
}

struct GpuBoundCase {
    const char* name;
    std::optional<uint64_t> params;
    std::optional<uint64_t> vram;
    uint32_t want;
    std::optional<uint32_t> layers = std::nullopt;  // the model's, when inspected
};

class GpuBound : public ::testing::TestWithParam<GpuBoundCase> {};

TEST_P(GpuBound, scales_with_vram) {
    const GpuBoundCase& c = GetParam();
    std::optional<GpuInfo> g;
    if (c.vram) g = gpu(GpuVendor::Nvidia, *c.vram);
    ModelDescription m = gguf_model(c.params);
    m.layer_count = c.layers;
    EXPECT_EQ(max_gpu_layers(m, machine(8, 16000, g)), c.want);
}

INSTANTIATE_TEST_SUITE_P(Cases, GpuBound,
                         ::testing::Values(GpuBoundCase{"no_gpu", 7'000'000'000, std::nullopt, 0},
                                           GpuBoundCase{"partial_fit", 7'000'000'000, 8192, 19},
                                           GpuBoundCase{"full_fit", 7'000'000'000, 24576, 32},
                                           GpuBoundCase{"zero_params", 0, 8192, 0},
                                           GpuBoundCase{"unknown_small", std::nullopt, 4095, 16},
                                           GpuBoundCase{"unknown_mid", std::nullopt, 4096, 32},
                                           GpuBoundCase{"unknown_large", std::nullopt, 12288, 48},
                                           GpuBoundCase{"full_fit_of_a_22_layer_model", 7'000'000'000, 24576, 22, 22},
                                           GpuBoundCase{"partial_fit_of_an_80_layer_model", 7'000'000'000, 8192, 49, 80},
                                           GpuBoundCase{"unknown_size_capped_at_the_layers", std::nullopt, 12288, 12, 12}),
                         [](const auto& info) { return std::string(info.param.name); });

struct QuantCase {
    const char* name;
    uint64_t ffn;
    uint64_t available;
    std::vector<Q> want;
};

class SpaceQuantizations : public ::testing::TestWithParam<QuantCase> {};

TEST_P(SpaceQuantizations, filtered_by_memory) {
    const QuantCase& c = GetParam();
    ModelDescription m = gguf_model(7'000'000'000);
    m.hidden_size = 4096;
    m.feed_forward_length = c.ffn;
    HardwareProfile hw = machine(8, c.available);
    SearchSpace s = build_search_space({RuntimeKind::LlamaCpp}, m, hw, analyze_model_workload(m, hw));
    EXPECT_EQ(s.quantizations, c.want);
    EXPECT_THAT(s.batch_sizes, ElementsAre(128, 256, 512));
    EXPECT_EQ(s.max_gpu_layers, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SpaceQuantizations,
                         ::testing::Values(QuantCase{"memory_bound_fits", 8192, 8000, {Q::Q4_K_M, Q::Q4_0}},
                                           QuantCase{"compute_bound_keeps_small", 40000, 8000, {Q::Q4_K_M}},
                                           QuantCase{"balanced_roomy", 16384, 64000, {Q::Q4_K_M, Q::Q8_0}},
                                           QuantCase{"nothing_fits", 8192, 2000, {Q::Q4_K_M}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SpaceQuantizations, onnx_table_and_fallback_is_q4_k_m_whatever_the_format) {
    ModelDescription m = gguf_model(7'000'000'000);
    m.format = ModelFormat::Onnx;
    m.hidden_size = 4096;
    m.feed_forward_length = 8192;
    EXPECT_THAT(build_search_space({}, m, machine(8, 64000), ModelAnalysis{std::nullopt, std::nullopt, false,
                                                                          WorkloadClass::MemoryBound})
                    .quantizations,
                ElementsAre(Q::Int8, Q::F16));
    EXPECT_THAT(build_search_space({}, m, machine(8, 1000), ModelAnalysis{}).quantizations, ElementsAre(Q::Q4_K_M));
}

TEST(GenerateCandidates, gguf_without_gpu_on_eight_cores) {
    auto c = generate_candidates(machine(8, 16000), gguf_model());
    ASSERT_EQ(c.size(), 24u);
    EXPECT_EQ(describe(c[0]), "LlamaCpp/Q4_K_M/4/0/512");
    EXPECT_EQ(describe(c[3]), "Ollama/Q4_K_M/4/0/512");
    EXPECT_EQ(describe(c[23]), "Ollama/F16/16/0/512");
}

TEST(GenerateCandidates, gpu_layer_steps_memory_filter_and_batch_size) {
    // 7e9 params, 8192 MB of VRAM: F16 needs 14000 MB, above 0.9 x 8192, and is dropped; Q8_0's 7000 fits.
    ModelDescription m = gguf_model(7'000'000'000);
    m.kv_cache_size_mb = 4000.0;  // above 0.3 x VRAM: batch 256
    auto c = generate_candidates(machine(2, 16000, gpu(GpuVendor::Nvidia, 8192)), m);
    // bound 19: layers 0, 4, 9, 14, 19; threads 1, 2, 4; pairs Q4_K_M, Q4_0, Q8_0 for both runtimes.
    ASSERT_EQ(c.size(), 6u * 3u * 5u);
    std::vector<uint32_t> layers;
    for (int i = 0; i < 5; ++i) layers.push_back(c[i].gpu_layers);
    EXPECT_THAT(layers, ElementsAre(0, 4, 9, 14, 19));
    for (const RuntimeConfig& r : c) {
        EXPECT_EQ(r.batch_size, 256u);
        EXPECT_NE(r.quantization, Q::F16);
    }
    // A GPU too small for every strategy yields nothing.
    EXPECT_TRUE(generate_candidates(machine(8, 16000, gpu(GpuVendor::Nvidia, 1000)), m).empty());
}

TEST(GenerateCandidates, onnx_memory_bound_puts_integer_strategies_first) {
    ModelDescription m = gguf_model();
    m.format = ModelFormat::Onnx;
    m.hidden_size = 4096;
    m.feed_forward_length = 4096;
    auto c = generate_candidates(machine(1, 16000, gpu(GpuVendor::Nvidia, 24576)), m);
    std::vector<std::string> pairs;
    for (const RuntimeConfig& r : c)
        if (r.threads == 1 && r.gpu_layers == 0)
            pairs.push_back(std::string(to_string(r.runtime)) + "/" + std::string(to_string(r.quantization)));
    EXPECT_THAT(pairs, ElementsAre("OnnxRuntime/Int8", "TensorRT/Int8", "OnnxRuntime/F16", "TensorRT/F16",
                                   "Vllm/F16", "Vllm/Q8_0"));
}

BenchmarkOutcome failed(RuntimeKind k, Error e) {
    return BenchmarkOutcome{RuntimeConfig{k, Q::Q4_K_M, 8, 512, 0}, std::unexpected(std::move(e))};
}

TEST(ApplyLlamaEstimates, replaces_only_when_every_llama_failure_is_a_missing_tool) {
    const HardwareProfile hw = machine(8, 16000);
    const ModelDescription m = gguf_model();
    std::vector<BenchmarkOutcome> outcomes = {failed(RuntimeKind::LlamaCpp, missing_tool_error("llama-cli")),
                                              failed(RuntimeKind::Ollama, missing_tool_error("ollama"))};

    ::testing::internal::CaptureStderr();
    auto replaced = apply_llama_estimates(outcomes, m, hw);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[ferrolune] llama-cli not found \u2014 using hardware-aware estimates for GGUF configs\n");
    ASSERT_TRUE(replaced[0].result);
    EXPECT_DOUBLE_EQ(replaced[0].result->tokens_per_sec, 19.2);
    EXPECT_DOUBLE_EQ(replaced[0].result->latency_ms, 1000.0 / 19.2);
    EXPECT_FALSE(replaced[1].result);

    // A llama.cpp failure for another reason, even deep in the chain, blocks it.
    outcomes.push_back(failed(RuntimeKind::LlamaCpp, Error("exit 1").context("inference failed: exit 1")));
    ::testing::internal::CaptureStderr();
    auto unchanged = apply_llama_estimates(outcomes, m, hw);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(unchanged[0].result);

    // The phrase may sit in a cause rather than the outer message.
    std::vector<BenchmarkOutcome> wrapped = {failed(RuntimeKind::LlamaCpp, missing_tool_error("llama-cli").context("x"))};
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(apply_llama_estimates(wrapped, m, hw)[0].result);
    ::testing::internal::GetCapturedStderr();
}

// The kind of the error decides, not its wording: a script that happens to
// print the phrase is a failed measurement, not a missing tool.
TEST(ApplyLlamaEstimates, keeps_a_failure_that_only_quotes_the_missing_tool_text) {
    const HardwareProfile hw = machine(8, 16000);
    const ModelDescription m = gguf_model();
    std::vector<BenchmarkOutcome> outcomes = {
        failed(RuntimeKind::LlamaCpp,
               RuntimeAdapterError::inference_failed("llama-completion exited non-zero: required binary 'x' was "
                                                     "not found in PATH")
                   .to_error())};
    ::testing::internal::CaptureStderr();
    auto unchanged = apply_llama_estimates(outcomes, m, hw);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(unchanged[0].result);
}

struct EstimateCase {
    const char* name;
    RuntimeConfig config;
    std::optional<GpuInfo> gpu;
    SimdLevel simd;
    double tps;
};

class Estimate : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(Estimate, throughput) {
    const EstimateCase& c = GetParam();
    EXPECT_NEAR(estimate_llama_metrics(c.config, gguf_model(), machine(8, 16000, c.gpu, c.simd)).tokens_per_sec, c.tps,
                1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Estimate,
    ::testing::Values(
        EstimateCase{"avx2_full_threads", {RuntimeKind::LlamaCpp, Q::Q4_K_M, 8, 512, 0}, std::nullopt, SimdLevel::AVX2, 19.2},
        EstimateCase{"half_threads_f16", {RuntimeKind::LlamaCpp, Q::F16, 4, 512, 0}, std::nullopt, SimdLevel::AVX512,
                     0.6 * 2 * 8 * 0.28 * 1.5},
        EstimateCase{"gpu_boost", {RuntimeKind::LlamaCpp, Q::Q4_0, 16, 512, 33}, gpu(GpuVendor::Nvidia, 8192),
                     SimdLevel::None, 2 * 8 * 0.95 * 0.8 * 5.0},
        EstimateCase{"layers_without_gpu_no_boost", {RuntimeKind::LlamaCpp, Q::Q8_0, 8, 512, 10}, std::nullopt,
                     SimdLevel::AVX, 2 * 8 * 0.55}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Estimate, peak_memory_from_footprint_or_params_plus_kv_cache) {
    RuntimeConfig c{RuntimeKind::LlamaCpp, Q::Q4_K_M, 8, 512, 0};
    ModelDescription m = gguf_model(7'000'000'000);
    EXPECT_EQ(estimate_llama_metrics(c, m, machine(8, 1)).peak_memory_mb, 3500u);
    m.memory_footprint_mb = 13351.44;
    m.kv_cache_size_mb = 1024.9;
    EXPECT_EQ(estimate_llama_metrics(c, m, machine(8, 1)).peak_memory_mb, 3337u + 1024u);
    EXPECT_EQ(estimate_llama_metrics(c, gguf_model(), machine(8, 1)).peak_memory_mb, 0u);
}

struct EffectiveCase {
    const char* name;
    RuntimeKind runtime;
    uint32_t gpu_bound;
    RuntimeConfig want;  // from threads 8, batch 256, 5 GPU layers
    std::size_t distinct;  // of a space with one quantization, threads 4/8/16, batches 128/256/512
};

class IgnoredDimensions : public ::testing::TestWithParam<EffectiveCase> {};

TEST_P(IgnoredDimensions, are_reported_as_used_and_not_searched) {
    const auto& c = GetParam();
    SearchSpace space{{c.runtime}, {QuantizationStrategy::Q4_K_M}, {4, 8, 16}, {128, 256, 512}, c.gpu_bound};
    EXPECT_EQ(effective_config(space, RuntimeConfig{c.runtime, QuantizationStrategy::Q4_K_M, 8, 256, 5}), c.want);
    std::vector<RuntimeConfig> all = distinct_configurations(space);
    EXPECT_EQ(all.size(), c.distinct);
    for (const RuntimeConfig& config : all) EXPECT_EQ(effective_config(space, config), config);
}

INSTANTIATE_TEST_SUITE_P(
    Runtimes, IgnoredDimensions,
    ::testing::Values(
        // The generation tool gets no batch flag: batch is not a dimension.
        EffectiveCase{"llama_with_gpu", RuntimeKind::LlamaCpp, 32,
                      {RuntimeKind::LlamaCpp, QuantizationStrategy::Q4_K_M, 8, 0, 5}, 3 * 33},
        EffectiveCase{"llama_without_gpu", RuntimeKind::LlamaCpp, 0,
                      {RuntimeKind::LlamaCpp, QuantizationStrategy::Q4_K_M, 8, 0, 0}, 3},
        // Any layer count only switches the execution provider.
        EffectiveCase{"onnx_with_gpu", RuntimeKind::OnnxRuntime, 32,
                      {RuntimeKind::OnnxRuntime, QuantizationStrategy::Q4_K_M, 8, 256, 32}, 3 * 2 * 3},
        EffectiveCase{"onnx_without_gpu", RuntimeKind::OnnxRuntime, 0,
                      {RuntimeKind::OnnxRuntime, QuantizationStrategy::Q4_K_M, 8, 256, 0}, 3 * 3},
        EffectiveCase{"tensorrt", RuntimeKind::TensorRT, 32,
                      {RuntimeKind::TensorRT, QuantizationStrategy::Q4_K_M, 0, 256, 32}, 3},
        EffectiveCase{"ollama_with_gpu", RuntimeKind::Ollama, 32,
                      {RuntimeKind::Ollama, QuantizationStrategy::Q4_K_M, 0, 0, 32}, 1},
        EffectiveCase{"ollama_without_gpu", RuntimeKind::Ollama, 0,
                      {RuntimeKind::Ollama, QuantizationStrategy::Q4_K_M, 0, 0, 0}, 1},
        EffectiveCase{"vllm", RuntimeKind::Vllm, 16, {RuntimeKind::Vllm, QuantizationStrategy::Q4_K_M, 0, 0, 16}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ferrolune::optimizer
