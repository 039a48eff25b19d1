#include "ferrolune/optimizer/optimization_result.h"

#include <algorithm>

#include "ferrolune/core/json_writer.h"
#include "ferrolune/runtime/adapter_registry.h"

namespace ferrolune {

std::string_view to_string(WorkloadClass w) {
    switch (w) {
        case WorkloadClass::MemoryBound: return "MemoryBound";
        case WorkloadClass::ComputeBound: return "ComputeBound";
        case WorkloadClass::Balanced: return "Balanced";
    }
    return "?";
}

std::string format_runtime_list(const std::vector<RuntimeKind>& kinds) {
    std::string out = "[";
    for (size_t i = 0; i < kinds.size(); ++i) {
        if (i) out += ", ";
        out += to_string(kinds[i]);
    }
    out += "]";
    return out;
}

double relative_weight_size(QuantizationStrategy q) {
    switch (q) {
        case QuantizationStrategy::F16: return 1.0;
        case QuantizationStrategy::Q8_0:
        case QuantizationStrategy::Int8: return 0.5;
        default: return 0.25;
    }
}

double relative_decode_speed(QuantizationStrategy q) {
    switch (q) {
        case QuantizationStrategy::F16: return 0.28;
        case QuantizationStrategy::Q8_0:
        case QuantizationStrategy::Int8: return 0.55;
        case QuantizationStrategy::Q4_0: return 0.95;
        case QuantizationStrategy::Q4_K_M:
        case QuantizationStrategy::Int4: return 1.0;
    }
    return 1.0;
}

namespace {
std::string write_result(const OptimizationResult& r, bool pretty) {
    json::Writer w(pretty);
    w.begin_object();
    w.key("config").begin_object();
    w.key("runtime").string(to_string(r.config.runtime));
    w.key("quantization").string(to_string(r.config.quantization));
    w.key("threads").uint(r.config.threads);
    w.key("batch_size").uint(r.config.batch_size);
    w.key("gpu_layers").uint(r.config.gpu_layers);
    w.end_object();
    w.key("metrics").begin_object();
    w.key("tokens_per_sec").number(r.metrics.tokens_per_sec);
    w.key("latency_ms").number(r.metrics.latency_ms);
    w.key("peak_memory_mb").uint(r.metrics.peak_memory_mb);
    w.end_object();
    w.end_object();
    return w.take();
}
}  // namespace

std::string to_json(const OptimizationResult& r) { return write_result(r, false); }
std::string to_json_pretty(const OptimizationResult& r) { return write_result(r, true); }

void record_measurements(std::vector<Measurement>& rows, const std::vector<BenchmarkOutcome>& outcomes,
                         const std::vector<bool>& estimated, Repeat repeat) {
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const BenchmarkOutcome& o = outcomes[i];
        if (!o.result) continue;
        const bool estimate = i < estimated.size() && estimated[i];
        auto row = std::ranges::find_if(rows, [&](const Measurement& m) { return m.config == o.config; });
        if (row == rows.end()) {
            rows.push_back(Measurement{o.config, *o.result, estimate});
        } else if (repeat == Repeat::Replace || row->estimate) {
            *row = Measurement{o.config, *o.result, estimate};
        } else if (!estimate) {
            row->metrics = combine_runs({row->metrics, *o.result});
        }
    }
}

void sort_best_first(std::vector<Measurement>& rows) {
    std::ranges::stable_sort(rows, [](const Measurement& a, const Measurement& b) {
        return a.metrics.tokens_per_sec > b.metrics.tokens_per_sec;
    });
}

}  // namespace ferrolune
