#include "ferrolune/optimizer/search.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <variant>

#include <fmt/format.h>

#include "ferrolune/runtime/adapter_registry.h"
#include "ferrolune/runtime/runtime_adapter.h"
#include "log.h"

namespace ferrolune::optimizer {

namespace {

// Truncation toward zero; negative and NaN give 0, too large the maximum.
uint64_t saturating_u64(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(v);
}

uint32_t saturating_u32(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(v);
}

double megabytes_at(QuantizationStrategy q, uint64_t params) {
    return bytes_per_param(q) * static_cast<double>(params) / 1'000'000.0;
}

uint32_t preferred_batch_size(const ModelDescription& model, const HardwareProfile& hw) {
    if (hw.gpu && model.kv_cache_size_mb &&
        *model.kv_cache_size_mb > 0.3 * static_cast<double>(hw.gpu->vram_mb))
        return 256;
    return 512;
}

double simd_factor(SimdLevel s) {
    switch (s) {
        case SimdLevel::None: return 0.8;
        case SimdLevel::AVX: return 1.0;
        case SimdLevel::AVX2: return 1.2;
        case SimdLevel::AVX512: return 1.5;
    }
    return 0.8;
}

bool mentions_missing_tool(const Error& e) {
    const RuntimeAdapterError* kind = adapter_error_of(e);
    return kind && kind->kind() == RuntimeAdapterError::Kind::NotInstalled;
}

}  // namespace

WorkloadClass classify_workload(const ModelDescription& model) {
    if (!model.feed_forward_length || !model.hidden_size || *model.hidden_size == 0) return WorkloadClass::Balanced;
    uint64_t r = *model.feed_forward_length / *model.hidden_size;
    if (r > 7) return WorkloadClass::ComputeBound;
    if (r < 3) return WorkloadClass::MemoryBound;
    return WorkloadClass::Balanced;
}

ModelAnalysis analyze_model_workload(const ModelDescription& model, const HardwareProfile& hw) {
    ModelAnalysis a;
    a.workload = classify_workload(model);
    a.param_count = model.param_count;
    if (model.memory_footprint_mb)
        a.fp16_memory_mb = model.memory_footprint_mb;
    else if (model.param_count)
        a.fp16_memory_mb = static_cast<double>(*model.param_count) * 2.0 / 1'000'000.0;
    if (model.kv_cache_size_mb) {
        double threshold = hw.gpu ? 0.3 * static_cast<double>(hw.gpu->vram_mb)
                                  : 0.2 * static_cast<double>(hw.ram.available_mb);
        a.kv_pressure = *model.kv_cache_size_mb > threshold;
    }
    return a;
}

InstalledCheck installed_check_on(const HardwareProfile& hw) {
    AdapterHost host;
    if (hw.gpu) host.gpu_compute_capability = hw.gpu->compute_capability;
    return [host](RuntimeKind runtime) -> std::optional<std::string> {
        Status probed = probe_runtime(runtime, host);
        if (probed) return std::nullopt;
        const RuntimeAdapterError* kind = adapter_error_of(probed.error());
        if (!kind || kind->kind() != RuntimeAdapterError::Kind::NotInstalled) return std::nullopt;
        // Any other failure is the measurement's to report, with its reason.
        return fmt::format("'{}' not installed", std::get<RuntimeAdapterError::NotInstalled>(kind->value()).binary);
    };
}

std::vector<RuntimeKind> preselect_runtimes(ModelFormat format, const HardwareProfile& hw,
                                            const ModelAnalysis& analysis, const InstalledCheck& missing_tool) {
    struct Entry {
        RuntimeKind runtime;
        int score;
        std::optional<std::string> eliminated_because;
    };
    std::vector<Entry> entries;
    if (format == ModelFormat::Gguf) {
        entries = {{RuntimeKind::LlamaCpp, 10, std::nullopt}, {RuntimeKind::Ollama, 8, std::nullopt}};
    } else {
        bool nvidia = hw.gpu && hw.gpu->vendor == GpuVendor::Nvidia;
        std::optional<std::string> vllm_reason;
        if (!hw.gpu)
            vllm_reason = "vLLM requires a GPU";
        else if (analysis.kv_pressure && hw.gpu->vram_mb == 0)
            vllm_reason = "vLLM cannot handle KV pressure without VRAM";
        entries = {{RuntimeKind::OnnxRuntime, 8, std::nullopt},
                   {RuntimeKind::TensorRT, 10,
                    nvidia ? std::nullopt : std::optional<std::string>("TensorRT requires NVIDIA GPU")},
                   {RuntimeKind::Vllm, 7, vllm_reason}};
    }
    // Only what the hardware allows is probed, each tool once.
    const InstalledCheck check = missing_tool ? missing_tool : installed_check_on(hw);
    for (Entry& e : entries)
        if (!e.eliminated_because) e.eliminated_because = check(e.runtime);
    // Without any GGUF runtime, llama.cpp stays: its failed measurements
    // are then answered by the hardware estimates.
    if (format == ModelFormat::Gguf && std::ranges::all_of(entries, [](const Entry& e) { return e.eliminated_because.has_value(); }))
        entries.front().eliminated_because.reset();

    std::vector<Entry> kept;
    for (const Entry& e : entries) {
        if (e.eliminated_because)
            log_line(fmt::format("[Stage 3/7] Eliminated {}: {}", to_string(e.runtime), *e.eliminated_because));
        else
            kept.push_back(e);
    }
    std::ranges::stable_sort(kept, [](const Entry& a, const Entry& b) { return a.score > b.score; });
    std::vector<RuntimeKind> out;
    for (const Entry& e : kept) {
        if (out.size() == 2) break;
        out.push_back(e.runtime);
    }
    return out;
}

std::vector<uint32_t> thread_counts(uint32_t core_count) {
    uint64_t n = core_count;
    std::vector<uint32_t> t;
    for (uint64_t v : {n / 2, n, 2 * n}) t.push_back(static_cast<uint32_t>(std::clamp<uint64_t>(v, 1, 64)));
    std::ranges::sort(t);
    t.erase(std::unique(t.begin(), t.end()), t.end());
    return t;
}

uint32_t max_gpu_layers(const ModelDescription& model, const HardwareProfile& hw) {
    if (!hw.gpu) return 0;
    double vram = static_cast<double>(hw.gpu->vram_mb);
    if (!model.param_count) {
        uint32_t guess = hw.gpu->vram_mb < 4096 ? 16 : hw.gpu->vram_mb < 12288 ? 32 : 48;
        // More layers than the model has cannot be offloaded.
        return model.layer_count ? std::min(guess, *model.layer_count) : guess;
    }
    double s = static_cast<double>(*model.param_count) * 2.0 / 1'048'576.0;
    if (!(s > 0.0)) return 0;
    // The share of the F16 weights that fits in VRAM, in layers; 32 stands
    // in for a model whose layer count is unknown.
    double layers = model.layer_count ? static_cast<double>(*model.layer_count) : 32.0;
    return saturating_u32(std::floor(layers * std::min(vram / s, 1.0)));
}

SearchSpace build_search_space(const std::vector<RuntimeKind>& runtimes, const ModelDescription& model,
                               const HardwareProfile& hw, const ModelAnalysis& analysis) {
    using Q = QuantizationStrategy;
    SearchSpace space;
    space.runtimes = runtimes;

    std::vector<Q> quants;
    if (model.format == ModelFormat::Gguf) {
        switch (analysis.workload) {
            case WorkloadClass::MemoryBound: quants = {Q::Q4_K_M, Q::Q4_0}; break;
            case WorkloadClass::ComputeBound: quants = {Q::Q8_0, Q::Q4_K_M, Q::F16}; break;
            case WorkloadClass::Balanced: quants = {Q::Q4_K_M, Q::Q8_0}; break;
        }
    } else {
        switch (analysis.workload) {
            case WorkloadClass::MemoryBound: quants = {Q::Int8, Q::F16}; break;
            case WorkloadClass::ComputeBound:
            case WorkloadClass::Balanced: quants = {Q::F16, Q::Int8}; break;
        }
    }
    if (model.param_count) {
        double budget = 0.8 * static_cast<double>(hw.ram.available_mb);
        std::erase_if(quants, [&](Q q) { return !(budget >= megabytes_at(q, *model.param_count)); });
    }
    if (quants.empty()) quants = {Q::Q4_K_M};
    space.quantizations = std::move(quants);

    space.threads = thread_counts(hw.cpu.core_count);
    space.batch_sizes = {128, 256, 512};
    space.max_gpu_layers = max_gpu_layers(model, hw);
    return space;
}

std::vector<QuantizationStrategy> restrict_quantizations(std::vector<QuantizationStrategy> quants,
                                                         const MeasurableQuantizations& measurable) {
    if (!measurable.allows) return quants;
    std::vector<QuantizationStrategy> kept = quants;
    std::erase_if(kept, [&](QuantizationStrategy q) { return !measurable.allows(q); });
    if (!kept.empty()) return kept;
    if (measurable.fallback) return {*measurable.fallback};
    return quants;
}

std::vector<RuntimeConfig> restrict_candidates(std::vector<RuntimeConfig> candidates,
                                               const MeasurableQuantizations& measurable) {
    if (!measurable.allows) return candidates;
    std::vector<RuntimeConfig> kept = candidates;
    std::erase_if(kept, [&](const RuntimeConfig& c) { return !measurable.allows(c.quantization); });
    if (!kept.empty() || !measurable.fallback) return kept.empty() ? candidates : kept;
    for (RuntimeConfig c : candidates) {
        c.quantization = *measurable.fallback;
        if (std::ranges::find(kept, c) == kept.end()) kept.push_back(c);
    }
    return kept;
}

bool measurement_uses_batch_size(RuntimeKind runtime) {
    switch (runtime) {
        case RuntimeKind::OnnxRuntime:  // rows of the forward pass
        case RuntimeKind::TensorRT:     // --batch
            return true;
        case RuntimeKind::LlamaCpp:  // the generation tool gets no batch flag
        case RuntimeKind::Ollama:
        case RuntimeKind::Vllm:
            return false;
    }
    return false;
}

bool measurement_uses_threads(RuntimeKind runtime) {
    return runtime == RuntimeKind::LlamaCpp || runtime == RuntimeKind::OnnxRuntime;
}

GpuLayerUse measurement_gpu_layer_use(RuntimeKind runtime) {
    switch (runtime) {
        case RuntimeKind::LlamaCpp: return GpuLayerUse::Count;
        case RuntimeKind::OnnxRuntime: return GpuLayerUse::OnOff;  // picks the execution provider
        case RuntimeKind::TensorRT:
        case RuntimeKind::Ollama:
        case RuntimeKind::Vllm: return GpuLayerUse::Ignored;
    }
    return GpuLayerUse::Ignored;
}

RuntimeConfig effective_config(const SearchSpace& space, RuntimeConfig config) {
    if (!measurement_uses_batch_size(config.runtime)) config.batch_size = 0;
    if (!measurement_uses_threads(config.runtime)) config.threads = 0;
    const uint32_t bound = space.max_gpu_layers;
    switch (measurement_gpu_layer_use(config.runtime)) {
        case GpuLayerUse::Count: config.gpu_layers = std::min(config.gpu_layers, bound); break;
        case GpuLayerUse::OnOff: config.gpu_layers = config.gpu_layers != 0 ? bound : 0; break;
        case GpuLayerUse::Ignored: config.gpu_layers = bound; break;
    }
    return config;
}

std::vector<RuntimeConfig> distinct_configurations(const SearchSpace& space) {
    std::vector<RuntimeConfig> out;
    for (RuntimeKind runtime : space.runtimes) {
        std::vector<uint32_t> threads = measurement_uses_threads(runtime) ? space.threads : std::vector<uint32_t>{0};
        std::vector<uint32_t> batches =
            measurement_uses_batch_size(runtime) ? space.batch_sizes : std::vector<uint32_t>{0};
        std::vector<uint32_t> layers;
        switch (measurement_gpu_layer_use(runtime)) {
            case GpuLayerUse::Count:
                for (uint64_t g = 0; g <= space.max_gpu_layers; ++g) layers.push_back(static_cast<uint32_t>(g));
                break;
            case GpuLayerUse::OnOff:
                layers = {0};
                if (space.max_gpu_layers != 0) layers.push_back(space.max_gpu_layers);
                break;
            case GpuLayerUse::Ignored: layers = {space.max_gpu_layers}; break;
        }
        for (QuantizationStrategy q : space.quantizations)
            for (uint32_t t : threads)
                for (uint32_t g : layers)
                    for (uint32_t b : batches) out.push_back(RuntimeConfig{runtime, q, t, b, g});
    }
    return out;
}

std::size_t distinct_configuration_count(const SearchSpace& space, RuntimeKind runtime) {
    std::size_t layers = 1;
    switch (measurement_gpu_layer_use(runtime)) {
        case GpuLayerUse::Count: layers = std::size_t{space.max_gpu_layers} + 1; break;
        case GpuLayerUse::OnOff: layers = space.max_gpu_layers != 0 ? 2 : 1; break;
        case GpuLayerUse::Ignored: break;
    }
    const std::size_t threads = measurement_uses_threads(runtime) ? space.threads.size() : 1;
    const std::size_t batches = measurement_uses_batch_size(runtime) ? space.batch_sizes.size() : 1;
    return space.quantizations.size() * threads * layers * batches;
}

std::vector<RuntimeConfig> generate_candidates(const HardwareProfile& hw, const ModelDescription& model) {
    using Q = QuantizationStrategy;
    WorkloadClass workload = classify_workload(model);

    std::vector<std::pair<RuntimeKind, Q>> pairs;
    if (model.format == ModelFormat::Gguf) {
        std::vector<Q> order = workload == WorkloadClass::ComputeBound
                                   ? std::vector<Q>{Q::F16, Q::Q8_0, Q::Q4_K_M, Q::Q4_0}
                                   : std::vector<Q>{Q::Q4_K_M, Q::Q4_0, Q::Q8_0, Q::F16};
        for (Q q : order) {
            pairs.emplace_back(RuntimeKind::LlamaCpp, q);
            pairs.emplace_back(RuntimeKind::Ollama, q);
        }
    } else {
        pairs = {{RuntimeKind::OnnxRuntime, Q::F16}, {RuntimeKind::OnnxRuntime, Q::Int8}};
        if (hw.gpu && hw.gpu->vendor == GpuVendor::Nvidia) {
            pairs.emplace_back(RuntimeKind::TensorRT, Q::F16);
            pairs.emplace_back(RuntimeKind::TensorRT, Q::Int8);
        }
        if (hw.gpu) {
            pairs.emplace_back(RuntimeKind::Vllm, Q::F16);
            pairs.emplace_back(RuntimeKind::Vllm, Q::Q8_0);
        }
        if (workload == WorkloadClass::MemoryBound)
            std::ranges::stable_partition(pairs, [](const auto& p) { return is_integer_strategy(p.second); });
    }

    std::vector<uint32_t> threads = thread_counts(hw.cpu.core_count);

    std::vector<uint32_t> layers{0};
    if (hw.gpu) {
        uint32_t m = max_gpu_layers(model, hw);
        if (m != 0) {
            layers.clear();
            for (uint32_t k = 0; k <= 4; ++k) {
                // Unsigned 32-bit arithmetic, as the layer counts are stored.
                uint32_t v = static_cast<uint32_t>(k * m) / 4;
                layers.push_back(std::min(m, v));
            }
            std::ranges::sort(layers);
            layers.erase(std::unique(layers.begin(), layers.end()), layers.end());
        }
    }

    uint32_t batch = preferred_batch_size(model, hw);

    std::vector<RuntimeConfig> out;
    for (const auto& [runtime, q] : pairs) {
        if (hw.gpu && model.param_count &&
            megabytes_at(q, *model.param_count) > 0.9 * static_cast<double>(hw.gpu->vram_mb))
            continue;
        for (uint32_t t : threads)
            for (uint32_t g : layers) out.push_back(RuntimeConfig{runtime, q, t, batch, g});
    }
    return out;
}

BenchmarkResult estimate_llama_metrics(const RuntimeConfig& config, const ModelDescription& model,
                                       const HardwareProfile& hw) {
    QuantizationStrategy q = config.quantization;
    double n = static_cast<double>(hw.cpu.core_count);

    uint64_t weights = 0;
    if (model.memory_footprint_mb)
        weights = saturating_u64(*model.memory_footprint_mb * relative_weight_size(q));
    else if (model.param_count)
        weights = saturating_u64(megabytes_at(q, *model.param_count));
    uint64_t peak = weights;
    if (model.kv_cache_size_mb) {
        uint64_t kv = saturating_u64(*model.kv_cache_size_mb);
        peak = kv > std::numeric_limits<uint64_t>::max() - weights ? std::numeric_limits<uint64_t>::max()
                                                                     : weights + kv;
    }

    double gpu_boost = (hw.gpu && config.gpu_layers != 0) ? 1.0 + 4.0 * config.gpu_layers / 33.0 : 1.0;
    double thread_factor = 0.2 + 0.8 * std::min(static_cast<double>(config.threads) / n, 1.0);
    double tps = thread_factor * (2.0 * n * relative_decode_speed(q) * simd_factor(hw.cpu.simd_level)) * gpu_boost;
    return BenchmarkResult{tps, 1000.0 / tps, peak, std::nullopt, 1};
}

std::vector<BenchmarkOutcome> apply_llama_estimates(std::vector<BenchmarkOutcome> outcomes,
                                                    const ModelDescription& model, const HardwareProfile& hw) {
    bool any_llama = false;
    for (const BenchmarkOutcome& o : outcomes) {
        if (o.config.runtime != RuntimeKind::LlamaCpp) continue;
        any_llama = true;
        if (o.result || !mentions_missing_tool(o.result.error())) return outcomes;
    }
    if (!any_llama) return outcomes;

    log_line("[ferrolune] llama-cli not found \u2014 using hardware-aware estimates for GGUF configs");
    for (BenchmarkOutcome& o : outcomes)
        if (o.config.runtime == RuntimeKind::LlamaCpp) o.result = estimate_llama_metrics(o.config, model, hw);
    return outcomes;
}

}  // namespace ferrolune::optimizer
