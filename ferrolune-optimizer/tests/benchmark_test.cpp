#include "ferrolune/optimizer/benchmark.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace ferrolune::optimizer {
namespace {

using namespace testing_support;
using ::testing::HasSubstr;

std::vector<RuntimeConfig> configs(int n) {
    std::vector<RuntimeConfig> out;
    for (int i = 0; i < n; ++i)
        out.push_back(RuntimeConfig{RuntimeKind::LlamaCpp, QuantizationStrategy::Q4_K_M, static_cast<uint32_t>(i + 1), 512, 0});
    return out;
}

std::size_t thread_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

// Measurements that block until the test lets them go, recording the order
// in which they started and how many were in progress at once.
class Gate {
public:
    MeasureFn measure() {
        return [this](const RuntimeConfig& c, const ModelDescription&, std::string_view) -> Result<BenchmarkResult> {
            std::unique_lock lock(mu_);
            started_.push_back(c.threads);
            max_in_progress_ = std::max(max_in_progress_, ++in_progress_);
            cv_.notify_all();
            cv_.wait(lock, [&] { return std::ranges::find(released_ids_, c.threads) != released_ids_.end(); });
            --in_progress_;
            cv_.notify_all();
            return BenchmarkResult{static_cast<double>(c.threads), 1.0, 1};
        };
    }
    void wait_started(std::size_t n) {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return started_.size() >= n; });
    }
    void release(uint32_t id) {
        std::lock_guard lock(mu_);
        released_ids_.push_back(id);
        cv_.notify_all();
    }
    void wait_in_progress(std::size_t n) {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return in_progress_ == n; });
    }
    std::vector<uint32_t> started() {
        std::lock_guard lock(mu_);
        return started_;
    }
    std::size_t max_in_progress() {
        std::lock_guard lock(mu_);
        return max_in_progress_;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<uint32_t> started_;
    std::vector<uint32_t> released_ids_;
    std::size_t in_progress_ = 0;
    std::size_t max_in_progress_ = 0;
};

TEST(RunBenchmarks, empty_list_returns_at_once_without_measuring) {
    bool called = false;
    auto out = run_benchmarks({}, gguf_model(), [&](const RuntimeConfig&, const ModelDescription&, std::string_view) {
        called = true;
        return Result<BenchmarkResult>(BenchmarkResult{});
    });
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(called);
}

TEST(RunBenchmarks, at_most_three_in_progress_and_waiting_ones_start_in_input_order) {
    Gate gate;
    std::vector<BenchmarkOutcome> out;
    std::thread caller([&] { out = run_benchmarks(configs(6), gguf_model(), gate.measure()); });

    gate.wait_started(3);
    gate.wait_in_progress(3);
    // Give a faulty executor every chance to start a fourth measurement.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(gate.started().size(), 3u);

    // Freeing one slot admits exactly the next configuration in input order,
    // whichever of the running ones finished.
    auto first_three = gate.started();
    gate.release(first_three[1]);
    gate.wait_started(4);
    EXPECT_EQ(gate.started()[3], 4u);
    gate.release(first_three[2]);
    gate.wait_started(5);
    EXPECT_EQ(gate.started()[4], 5u);
    for (uint32_t id : {first_three[0], 4u, 5u}) gate.release(id);
    gate.wait_started(6);
    gate.release(6);
    caller.join();

    EXPECT_EQ(gate.max_in_progress(), 3u);
    std::vector<uint32_t> firsts = first_three;
    std::ranges::sort(firsts);
    EXPECT_EQ(firsts, (std::vector<uint32_t>{1, 2, 3}));
    ASSERT_EQ(out.size(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i].config.threads, static_cast<uint32_t>(i + 1));
}

TEST(RunBenchmarks, outcomes_keep_input_order_whatever_the_finishing_order) {
    // Finishing order 3, 4, 5, 2, 1 (the latest started finish first).
    Gate gate;
    std::vector<BenchmarkOutcome> out;
    std::thread caller([&] { out = run_benchmarks(configs(5), gguf_model(), gate.measure()); });
    gate.wait_started(3);
    gate.release(3);
    gate.wait_started(4);
    gate.release(4);
    gate.wait_started(5);
    for (uint32_t id : {5u, 2u, 1u}) gate.release(id);
    caller.join();
    ASSERT_EQ(out.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(out[i].config.threads, static_cast<uint32_t>(i + 1));
        ASSERT_TRUE(out[i].result);
        EXPECT_EQ(out[i].result->tokens_per_sec, i + 1.0);
    }
}

TEST(RunBenchmarks, throwing_measurement_becomes_its_own_error_only) {
    auto measure = [](const RuntimeConfig& c, const ModelDescription&, std::string_view) -> Result<BenchmarkResult> {
        if (c.threads == 2) throw std::runtime_error("index out of range");
        if (c.threads == 3) throw 42;
        if (c.threads == 4) return fail(missing_tool_error("llama-cli"));
        return BenchmarkResult{1.0, 1.0, 1};
    };
    auto out = run_benchmarks(configs(5), gguf_model(), measure);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_TRUE(out[0].result);
    ASSERT_FALSE(out[1].result);
    EXPECT_EQ(out[1].result.error().message(), "benchmark task panicked: index out of range");
    ASSERT_FALSE(out[2].result);
    EXPECT_THAT(out[2].result.error().message(), ::testing::StartsWith("benchmark task panicked: "));
    ASSERT_FALSE(out[3].result);
    EXPECT_THAT(out[3].result.error().render(), HasSubstr("was not found in PATH"));
    EXPECT_TRUE(out[4].result);
}

TEST(RunBenchmarks, missing_tool_through_the_real_registry_fails_only_its_configuration) {
    const char* old = std::getenv("PATH");
    std::string saved = old ? old : "";
    ::setenv("PATH", "/nonexistent-ferrolune-bin", 1);
    auto measure = [](const RuntimeConfig& c, const ModelDescription& m, std::string_view prompt) {
        if (c.threads == 2) return measure_with_adapters(c, m, prompt);
        return Result<BenchmarkResult>(BenchmarkResult{c.threads * 1.0, 1.0, 1});
    };
    auto out = run_benchmarks(configs(3), gguf_model(), measure);
    if (old)
        ::setenv("PATH", saved.c_str(), 1);
    else
        ::unsetenv("PATH");
    ASSERT_EQ(out.size(), 3u);
    ASSERT_FALSE(out[1].result);
    EXPECT_THAT(out[1].result.error().render(), HasSubstr("was not found in PATH"));
    EXPECT_THAT(out[1].result.error().render(), HasSubstr("'llama-cli'"));
    ASSERT_TRUE(out[0].result);
    ASSERT_TRUE(out[2].result);
    EXPECT_EQ(out[2].result->tokens_per_sec, 3.0);
}

TEST(RunBenchmarks, leaves_no_thread_behind) {
    std::size_t before = thread_count();
    auto out = run_benchmarks(configs(7), gguf_model(), [](const RuntimeConfig&, const ModelDescription&, std::string_view) {
        return Result<BenchmarkResult>(BenchmarkResult{1.0, 1.0, 1});
    });
    EXPECT_EQ(out.size(), 7u);
    EXPECT_EQ(thread_count(), before);
}

// An interrupt while measurements run: the waiting thread's check is what
// notices it (workers never run the check), nothing new starts, and the
// measurements cut short are not reported.
TEST(BenchmarkExecutor, interrupt_check_on_the_waiting_thread_stops_the_batch) {
    std::atomic<bool> interrupt{false};
    std::atomic<int> started{0};
    std::atomic<bool> check_ran_elsewhere{false};
    const auto caller = std::this_thread::get_id();
    cancel::Canceller canceller([&] {
        if (std::this_thread::get_id() != caller) check_ran_elsewhere = true;
        return interrupt.load();
    });
    auto measure = [&](const RuntimeConfig&, const ModelDescription&, std::string_view) -> Result<BenchmarkResult> {
        ++started;
        interrupt = true;
        // Blocks like a running tool until the stop reaches this thread.
        while (!cancel::current()->stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return BenchmarkResult{1.0, 1.0, 1};
    };
    auto out = run_benchmarks(configs(7), gguf_model(), measure, &canceller);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(canceller.stop_requested());
    EXPECT_LE(started.load(), static_cast<int>(kMaxMeasurementsInProgress));
    EXPECT_FALSE(check_ran_elsewhere.load());
}

}  // namespace
}  // namespace ferrolune::optimizer
