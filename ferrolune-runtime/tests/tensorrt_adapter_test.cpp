#include "ferrolune/runtime/tensorrt_adapter.h"

#include <filesystem>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace ferrolune {
namespace {

using testing::adapter_error;
using Kind = RuntimeAdapterError::Kind;
using ::testing::ElementsAre;

constexpr const char* kReport =
    "[12/11/2026-12:00:00] [I] === Performance summary ===\n"
    "[12/11/2026-12:00:00] [I] Throughput: 123.4 qps\n"
    "[12/11/2026-12:00:00] [I] Latency: min = 1.9 ms, max = 3.1 ms, mean = 2.345 ms, median = 2.3 ms\n";

struct PrecisionCase {
    QuantizationStrategy q;
    const char* flag;
};

class TrtPrecision : public ::testing::TestWithParam<PrecisionCase> {};

TEST_P(TrtPrecision, integer_strategies_use_int8_the_rest_fp16) {
    auto args = trtexec_arguments(testing::config(RuntimeKind::TensorRT, GetParam().q, 4, 4, 0),
                                  testing::model("/m/a.onnx", ModelFormat::Onnx));
    EXPECT_THAT(args, ElementsAre("--onnx=/m/a.onnx", GetParam().flag, "--batch=4", "--workspace=4096",
                                  "--iterations=10", "--warmUp=2000", "--duration=0"));
}

INSTANTIATE_TEST_SUITE_P(All, TrtPrecision,
                         ::testing::Values(PrecisionCase{QuantizationStrategy::F16, "--fp16"},
                                           PrecisionCase{QuantizationStrategy::Q8_0, "--fp16"},
                                           PrecisionCase{QuantizationStrategy::Q4_K_M, "--fp16"},
                                           PrecisionCase{QuantizationStrategy::Q4_0, "--fp16"},
                                           PrecisionCase{QuantizationStrategy::Int8, "--int8"},
                                           PrecisionCase{QuantizationStrategy::Int4, "--int8"}),
                         [](const auto& info) { return std::string(to_string(info.param.q)); });

struct ReportCase {
    const char* name;
    std::string report;
    std::optional<BenchmarkResult> ok;
    std::string error;
};

class TrtReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(TrtReport, gives_throughput_mean_latency_and_memory) {
    testing::expect_reply(parse_trtexec_report(GetParam().report), GetParam().ok, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, TrtReport,
    ::testing::Values(
        ReportCase{"RealSummaryWithoutMemoryLine", kReport, BenchmarkResult{123.4, 2.345, 0}, ""},
        ReportCase{"MemoryLine", std::string(kReport) + "[I] GPU Memory: 512 MiB\n", BenchmarkResult{123.4, 2.345, 512},
                   ""},
        ReportCase{"FractionalMemoryIsZero", std::string(kReport) + "GPU Memory: 1.5\n",
                   BenchmarkResult{123.4, 2.345, 0}, ""},
        ReportCase{"FirstLatencyLineOnly",
                   "Throughput: 5\nLatency: mean unknown\nLatency: min = 1, mean = 2.0 ms\n", std::nullopt,
                   "could not parse latency from trtexec output"},
        ReportCase{"NoLatency", "Throughput: 5 qps\n", std::nullopt, "could not parse latency from trtexec output"},
        ReportCase{"NoThroughput", "Latency: mean = 2.0 ms\n", std::nullopt,
                   "could not parse throughput from trtexec output"},
        ReportCase{"BadThroughput", "Throughput: fast\n", std::nullopt,
                   "could not parse throughput from trtexec output"}),
    [](const auto& info) { return std::string(info.param.name); });

class TrtRun : public ::testing::Test {
protected:
    testing::FakeTools tools;
    testing::TempDir models;
    TensorRtAdapter adapter;
    void SetUp() override {
        testing::write_file(models.path() / "m.onnx", "x");
        tools.add("trtexec", testing::print_text(kReport));
    }
};

TEST_F(TrtRun, measures_with_the_fake_trtexec) {
    ASSERT_TRUE(adapter.initialize(testing::config(RuntimeKind::TensorRT, QuantizationStrategy::Int4, 4, 2, 0)));
    ASSERT_TRUE(adapter.load_model(testing::model(models.str("m.onnx"), ModelFormat::Onnx)));
    auto r = adapter.run_inference("ignored");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_DOUBLE_EQ(r->tokens_per_sec, 123.4);
    EXPECT_EQ(tools.args("trtexec")[1], "--int8");
    EXPECT_EQ(tools.args("trtexec")[2], "--batch=2");
}

struct CapabilityCase {
    const char* name;
    std::optional<std::pair<uint32_t, uint32_t>> capability;
    bool accepted;
};

class TrtCapability : public ::testing::TestWithParam<CapabilityCase> {};

// The capability comes from the hardware profile (a preset included); an
// nvidia-smi on PATH that says otherwise is never asked.
TEST_P(TrtCapability, comes_from_the_profile_not_from_nvidia_smi) {
    testing::FakeTools tools;
    tools.add("trtexec", "exit 0");
    tools.add("nvidia-smi", "echo 5.0");
    TensorRtAdapter adapter(GetParam().capability);
    auto r = adapter.initialize(testing::config(RuntimeKind::TensorRT));
    EXPECT_FALSE(std::filesystem::exists(tools.args_file("nvidia-smi")));
    if (GetParam().accepted) {
        EXPECT_TRUE(r) << r.error().render();
        return;
    }
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), fmt::format("unsupported configuration: TensorRT requires compute capability "
                                              "\u2265 7.0, found {}.x",
                                              GetParam().capability->first));
    testing::TempDir models;
    testing::write_file(models.path() / "m.onnx", "x");
    ASSERT_TRUE(adapter.load_model(testing::model(models.str("m.onnx"), ModelFormat::Onnx)));
    EXPECT_EQ(adapter.run_inference("x").error().render(), "model initialization failed: adapter not initialized");
}

INSTANTIATE_TEST_SUITE_P(Profiles, TrtCapability,
                         ::testing::Values(CapabilityCase{"unknown", std::nullopt, true},
                                           CapabilityCase{"pascal", std::pair{6u, 1u}, false},
                                           CapabilityCase{"volta", std::pair{7u, 0u}, true},
                                           CapabilityCase{"ada", std::pair{8u, 9u}, true},
                                           CapabilityCase{"maxwell", std::pair{5u, 2u}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrtRun, refuses_gguf_and_reports_non_zero_exit) {
    auto gguf = adapter.load_model(testing::model(models.str("m.onnx"), ModelFormat::Gguf));
    ASSERT_FALSE(gguf);
    EXPECT_EQ(gguf.error().render(), "unsupported configuration: TensorRT only supports ONNX models, got GGUF");

    tools.add("trtexec", "echo 'engine build failed' >&2; exit 2");
    ASSERT_TRUE(adapter.initialize(testing::config(RuntimeKind::TensorRT)));
    ASSERT_TRUE(adapter.load_model(testing::model(models.str("m.onnx"), ModelFormat::Onnx)));
    EXPECT_EQ(adapter.run_inference("x").error().render(), "inference failed: trtexec exited non-zero: engine build failed");
}

TEST(TrtInitialize, missing_trtexec_is_not_installed) {
    testing::FakeTools only(true);
    TensorRtAdapter adapter;
    auto r = adapter.initialize(testing::config(RuntimeKind::TensorRT));
    ASSERT_FALSE(r);
    EXPECT_EQ(adapter_error(r.error()).kind(), Kind::NotInstalled);
    EXPECT_THAT(r.error().render(),
                ::testing::StartsWith("required binary 'trtexec' was not found in PATH \u2014 install NVIDIA TensorRT from https://"));
}

}  // namespace
}  // namespace ferrolune
