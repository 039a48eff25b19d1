#include "ferrolune/optimizer/benchmark.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include <fmt/format.h>

#include "log.h"

namespace ferrolune::optimizer {

namespace {

// What an escaped exception says, for the "panicked" texts.
std::string describe_current_exception() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

Result<BenchmarkResult> guarded_measure(const MeasureFn& measure, const RuntimeConfig& config,
                                        const ModelDescription& model) {
    try {
        return measure(config, model, kBenchmarkPrompt);
    } catch (...) {
        return failf("benchmark task panicked: {}", describe_current_exception());
    }
}

}  // namespace

std::vector<BenchmarkOutcome> run_benchmarks(std::vector<RuntimeConfig> configs, const ModelDescription& model,
                                             const MeasureFn& measure, cancel::Canceller* canceller) {
    const std::size_t n = configs.size();
    if (n == 0 || (canceller && canceller->poll())) return {};

    // Each worker takes the next configuration in input order when it is
    // free, so at most pool-size measurements run and the earliest waiting
    // one always starts next. After a stop request nothing new starts, and
    // the measurements in progress see the stop through their processes.
    std::vector<std::optional<Result<BenchmarkResult>>> results(n);
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    auto worker = [&] {
        cancel::Scope scope(canceller);
        for (std::size_t i = next.fetch_add(1); i < n && !(canceller && canceller->stop_requested());
             i = next.fetch_add(1))
            results[i].emplace(guarded_measure(measure, configs[i], model));
        std::lock_guard lock(mutex);
        --running;
        finished.notify_all();
    };

    const std::size_t pool_size = std::min(n, kMaxMeasurementsInProgress);
    std::vector<std::thread> pool;
    pool.reserve(pool_size);
    for (std::size_t i = 0; i < pool_size; ++i) {
        try {
            {
                std::lock_guard lock(mutex);
                ++running;
            }
            pool.emplace_back(worker);
        } catch (const std::system_error&) {
            std::lock_guard lock(mutex);
            --running;
            // Fewer threads only means fewer measurements at once: the ones
            // started share the work, and with none the caller measures.
            break;
        }
    }
    if (pool.empty()) {
        {
            std::lock_guard lock(mutex);
            ++running;
        }
        worker();
    }
    if (canceller) {
        // The caller's thread looks at its interrupt check while it waits;
        // the workers never run it.
        std::unique_lock lock(mutex);
        while (running > 0) {
            lock.unlock();
            canceller->poll();
            lock.lock();
            finished.wait_for(lock, cancel::kPollInterval, [&] { return running == 0; });
        }
    }
    for (std::thread& t : pool) t.join();
    // Measurements cut short by a stop are not results.
    if (canceller && canceller->stop_requested()) return {};

    std::vector<BenchmarkOutcome> outcomes;
    outcomes.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!results[i]) {
            // Unreachable while every index is claimed by some worker; kept
            // so a lost slot is reported rather than read.
            log_line("benchmark outer task panicked: measurement never ran");
            continue;
        }
        outcomes.push_back(BenchmarkOutcome{configs[i], std::move(*results[i])});
    }
    return outcomes;
}

}  // namespace ferrolune::optimizer
