#include "ferrolune/optimizer/optimize.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ferrolune/core/cancel.h"
#include "ferrolune/model_ir/inspect_model.h"
#include "test_support.h"

namespace ferrolune::optimizer {
namespace {

Error not_a_model(std::string text) {
    Error e(std::move(text));
    e.set_detail(NotAModel{});
    return e;
}

struct InspectCase {
    const char* name;
    bool marked_not_a_model;  // the reader says it is no model at all
    bool measured;
};

class OptimizeInspection : public ::testing::TestWithParam<InspectCase> {};

TEST_P(OptimizeInspection, only_a_file_that_is_no_model_stops_before_measuring) {
    std::atomic<int> measurements{0};
    OptimizeSeams seams;
    seams.inspect = [&](const std::string&) -> Result<ModelIR> {
        if (GetParam().marked_not_a_model) return fail(not_a_model("invalid GGUF magic"));
        return fail("read KV key");
    };
    seams.measure = [&](const RuntimeConfig&, const ModelDescription&, std::string_view) -> Result<BenchmarkResult> {
        ++measurements;
        return fail("no tool here");
    };
    // An output path naming the input: the quantizer never runs.
    auto r = optimize_model({"/nonexistent/m.gguf", "gguf", "cpu", std::nullopt, "/nonexistent/m.gguf"}, {}, seams);
    EXPECT_EQ(measurements.load() > 0, GetParam().measured);
    ASSERT_FALSE(r);
    if (GetParam().marked_not_a_model) EXPECT_EQ(r.error().render(), "invalid GGUF magic");
}

INSTANTIATE_TEST_SUITE_P(Optimize, OptimizeInspection,
                         ::testing::Values(InspectCase{"not_a_model", true, false},
                                           InspectCase{"partly_decoded", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Optimize, interrupt_during_measurements_ends_with_the_interrupted_error) {
    std::atomic<int> measurements{0};
    std::atomic<bool> interrupt{false};
    OptimizeSeams seams;
    seams.inspect = [](const std::string&) -> Result<ModelIR> { return ModelIR{}; };
    seams.measure = [&](const RuntimeConfig&, const ModelDescription&, std::string_view) -> Result<BenchmarkResult> {
        ++measurements;
        interrupt = true;  // the caller's check sees it on its next poll
        // A measurement lasts until the stop reaches it, as a killed child's would.
        for (int i = 0; i < 5000; ++i) {
            if (cancel::Canceller* c = cancel::current(); c && c->stop_requested()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return BenchmarkResult{10.0, 5.0, 100};
    };
    auto r = optimize_model({"/nonexistent/m.gguf", "gguf", "cpu", std::nullopt, std::nullopt},
                            [&] { return interrupt.load(); }, seams);
    ASSERT_FALSE(r);
    EXPECT_TRUE(cancel::is_interrupted(r.error())) << r.error().render();
    // Only the measurements already running when the stop came ran at all.
    EXPECT_LE(measurements.load(), static_cast<int>(kMaxMeasurementsInProgress));
}

// The chosen figure was the highest of several; the one reported is a
// measurement taken after the choice, in the result and in the winner's row.
TEST(Optimize, the_winner_is_measured_again_after_the_choice_and_that_figure_reported) {
    std::mutex mu;
    std::map<std::pair<int, uint32_t>, int> seen;
    const std::pair<int, uint32_t> lucky{static_cast<int>(QuantizationStrategy::Q4_K_M), 4};
    OptimizeSeams seams;
    seams.inspect = [](const std::string&) -> Result<ModelIR> { return ModelIR{}; };
    seams.measure = [&](const RuntimeConfig& c, const ModelDescription&, std::string_view) -> Result<BenchmarkResult> {
        std::lock_guard lock(mu);
        const std::pair<int, uint32_t> key{static_cast<int>(c.quantization), c.threads};
        const int n = seen[key]++;
        // One configuration was lucky the first time.
        if (key == lucky) return BenchmarkResult{n == 0 ? 30.0 : 24.0, 5.0, 100, 1.0, 3};
        return BenchmarkResult{10.0 + c.threads, 5.0, 100, 1.0, 3};
    };
    // An output path naming the input: nothing is written, the figures stand.
    auto r = optimize_model({"/nonexistent/m.gguf", "gguf", "cpu", std::nullopt, "/nonexistent/m.gguf"}, {}, seams);
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(r->result.config.threads, 4u);
    EXPECT_EQ(seen[lucky], 2);
    EXPECT_DOUBLE_EQ(r->result.metrics.tokens_per_sec, 24.0);
    int winners = 0;
    for (const Measurement& m : r->result.measurements)
        if (m.config == r->result.config) {
            ++winners;
            EXPECT_DOUBLE_EQ(m.metrics.tokens_per_sec, 24.0);
        }
    EXPECT_EQ(winners, 1);
}

TEST(Optimize, unknown_format_fails_first) {
    auto r = optimize_model({"m.gguf", "ONNX ", std::nullopt, std::nullopt, std::nullopt});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "unknown model format 'onnx '; expected 'onnx' or 'gguf'");
}

}  // namespace
}  // namespace ferrolune::optimizer
