#include "ferrolune/optimizer/pipeline.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "ferrolune/core/text.h"
#include "ferrolune/optimizer/bayes.h"
#include "ferrolune/optimizer/search.h"
#include "log.h"

namespace ferrolune::optimizer {

namespace {

// No decimals, to nearest with ties to even (printf's rounding of the exact value).
std::string no_decimals(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
}

std::string no_valid_configuration_message(const std::vector<std::string>& reasons,
                                           std::optional<double> max_latency_ms) {
    if (!reasons.empty())
        return fmt::format(
            "no compatible runtimes found \u2014 install the required binaries and retry.\nFailure reasons: {}",
            fmt::join(reasons, "; "));
    if (!max_latency_ms)
        return "no valid configuration found: all benchmark results exceeded the available memory budget. "
               "Try freeing RAM or using a smaller model.";
    return fmt::format(
        "no valid configuration found: no configuration meets the latency constraint of {} ms. "
        "Try relaxing --latency or freeing RAM.",
        text::one_decimal(*max_latency_ms));
}

// The exhaustive search; its error is the fallback message alone.
// Its successful measurements go into `rows`, replacing the search's rows
// for the same configurations: it decides on its own fresh figures.
Result<OptimizationResult> cartesian_search(const ModelDescription& model, std::optional<double> max_latency_ms,
                                            const HardwareProfile& hw, const SearchSpace& space,
                                            const MeasureFn& measure, const MeasurableQuantizations& measurable,
                                            std::vector<Measurement>& rows) {
    std::vector<RuntimeConfig> candidates = restrict_candidates(generate_candidates(hw, model), measurable);
    // A runtime that preselection eliminated (its tool is absent) is not
    // measured here either.
    std::erase_if(candidates, [&space](const RuntimeConfig& c) {
        return std::ranges::find(space.runtimes, c.runtime) == space.runtimes.end();
    });
    if (candidates.empty()) return fail("no candidate configurations generated for this hardware / model combination");

    std::vector<BenchmarkOutcome> outcomes = run_benchmarks(std::move(candidates), model, measure);
    // Reasons come from the raw outcomes, before estimates replace any.
    std::set<std::string> reason_set;
    std::vector<bool> failed;
    for (const BenchmarkOutcome& o : outcomes) {
        failed.push_back(!o.result);
        if (!o.result) reason_set.insert(o.result.error().root_cause());
    }
    std::vector<std::string> reasons(reason_set.begin(), reason_set.end());
    outcomes = apply_llama_estimates(std::move(outcomes), model, hw);
    std::vector<bool> estimated(outcomes.size(), false);
    for (std::size_t i = 0; i < outcomes.size() && i < failed.size(); ++i)
        estimated[i] = failed[i] && outcomes[i].result.has_value();
    record_measurements(rows, outcomes, estimated, Repeat::Replace);

    // A tenth of the available memory stays free for the runtime's own
    // buffers and the rest of the machine.
    const uint64_t budget = static_cast<uint64_t>(0.9 * static_cast<double>(hw.ram.available_mb));
    std::vector<const BenchmarkOutcome*> retained;
    for (const BenchmarkOutcome& o : outcomes) {
        if (!o.result) {
            log_line(fmt::format("[ferrolune-optimizer] benchmark error: {}", o.result.error().message()));
            continue;
        }
        if (o.result->peak_memory_mb > budget) continue;
        if (max_latency_ms && !(o.result->latency_ms <= *max_latency_ms)) continue;
        retained.push_back(&o);
    }
    if (retained.empty()) return fail(no_valid_configuration_message(reasons, max_latency_ms));
    std::ranges::stable_sort(retained, [](const BenchmarkOutcome* a, const BenchmarkOutcome* b) {
        return a->result->tokens_per_sec > b->result->tokens_per_sec;
    });
    return OptimizationResult{retained.front()->config, *retained.front()->result};
}

}  // namespace

Result<OptimizationResult> run_pipeline(const ModelDescription& model, std::optional<double> max_latency_ms,
                                        const HardwareProfile& hw, const MeasureFn& measure,
                                        cancel::Canceller* canceller, const InstalledCheck& missing_tool,
                                        const MeasurableQuantizations& measurable) {
    // Every executor call below runs under the canceller.
    cancel::Scope scope(canceller ? canceller : cancel::current());
    auto stopped = [&] { return canceller && canceller->poll(); };
    log_line(fmt::format("[Stage 1/4] Hardware: {} cores, GPU={}, VRAM={}, RAM={}MB", hw.cpu.core_count,
                         hw.gpu ? "yes" : "no", hw.gpu ? fmt::format("{}MB", hw.gpu->vram_mb) : std::string("none"),
                         hw.ram.available_mb));

    ModelAnalysis analysis = analyze_model_workload(model, hw);
    log_line(fmt::format(
        "[Stage 2/4] Model: workload={}, params={}, FP16={}", to_string(analysis.workload),
        analysis.param_count ? text::one_decimal(static_cast<double>(*analysis.param_count) / 1e9) + "B"
                             : std::string("unknown"),
        analysis.fp16_memory_mb ? no_decimals(*analysis.fp16_memory_mb) + "MB" : std::string("unknown")));

    std::vector<RuntimeKind> runtimes = preselect_runtimes(model.format, hw, analysis, missing_tool);
    log_line(fmt::format("[Stage 3/4] Preselected runtimes: {}", format_runtime_list(runtimes)));
    if (runtimes.empty()) return fail("no compatible runtimes available for this model format and hardware");

    SearchSpace space = build_search_space(runtimes, model, hw, analysis);
    space.quantizations = restrict_quantizations(std::move(space.quantizations), measurable);
    // A space no larger than the budget is measured whole: its size is the
    // initial sample count and nothing is left to refine.
    const bool exhaustive = searches_exhaustively(space);
    log_line(fmt::format("[Stage 4/4] Bayesian optimization: {} initial samples + {} refinement iterations",
                         exhaustive ? distinct_configurations(space).size() : kInitialSamples,
                         exhaustive ? 0 : kRefinementIterations));

    BayesianOutcome bayes = bayesian_search(space, model, hw, measure);
    if (stopped()) return fail(cancel::interrupted_error());
    std::vector<Measurement> rows = std::move(bayes.rows);
    auto with_rows = [&rows](OptimizationResult r) {
        sort_best_first(rows);
        r.measurements = std::move(rows);
        return r;
    };
    if (bayes.best_config && bayes.best_metrics) {
        const RuntimeConfig& c = *bayes.best_config;
        const BenchmarkResult& m = *bayes.best_metrics;
        // The count follows the figure, so readers of the line's head are unaffected.
        log_line(fmt::format("[Bayes final] Best: {} \u2192 {} tok/s ({} measurements)", describe_config(c),
                             text::one_decimal(m.tokens_per_sec), bayes.measurements));
        if (!(max_latency_ms && m.latency_ms > *max_latency_ms)) return with_rows(OptimizationResult{c, m});
        log_line(fmt::format(
            "[Bayes final] Best config latency {}ms exceeds limit {}ms \u2014 falling back to cartesian search",
            text::one_decimal(m.latency_ms), text::one_decimal(*max_latency_ms)));
    }
    log_line(fmt::format(
        "[Bayes final] No successful evaluations \u2014 falling back to cartesian search. Failure reasons: {}",
        bayes.failure_reasons.empty() ? std::string("none recorded") : fmt::format("{}", fmt::join(bayes.failure_reasons, "; "))));

    Result<OptimizationResult> fallback = cartesian_search(model, max_latency_ms, hw, space, measure, measurable, rows);
    if (stopped()) return fail(cancel::interrupted_error());
    if (fallback) return with_rows(std::move(*fallback));

    Error bayes_error(no_valid_configuration_message(bayes.failure_reasons, max_latency_ms));
    return fail(std::move(bayes_error).context(
        fmt::format("cartesian fallback also failed: {}", fallback.error().message())));
}

}  // namespace ferrolune::optimizer
