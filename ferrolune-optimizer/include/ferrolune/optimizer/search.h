// What the optimizer searches over: the model's workload class, the runtimes
// worth trying, the Bayesian search space, the exhaustive fallback list, and
// the hardware-aware estimates that stand in for a missing llama.cpp tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <optional>
#include <vector>

#include "ferrolune/hardware/hardware_profile.h"
#include "ferrolune/optimizer/optimization_result.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune::optimizer {

struct ModelAnalysis {
    std::optional<uint64_t> param_count;
    std::optional<double> fp16_memory_mb;  // megabytes of 1,000,000 bytes
    bool kv_pressure = false;
    WorkloadClass workload = WorkloadClass::Balanced;
};

struct SearchSpace {
    std::vector<RuntimeKind> runtimes;                  // best first
    std::vector<QuantizationStrategy> quantizations;    // never empty
    std::vector<uint32_t> threads;                      // ascending, unique
    std::vector<uint32_t> batch_sizes;                  // 128, 256, 512
    uint32_t max_gpu_layers = 0;                        // 0: CPU only
};

// feed_forward_length / hidden_size (integer division): > 7 compute bound,
// < 3 memory bound, otherwise (or unknown) balanced.
WorkloadClass classify_workload(const ModelDescription& model);

ModelAnalysis analyze_model_workload(const ModelDescription& model, const HardwareProfile& hw);

// Why `runtime` cannot be measured on this machine ("'ollama' not
// installed"), or nothing when its tool is there.
using InstalledCheck = std::function<std::optional<std::string>(RuntimeKind)>;

// Probes each runtime's tool the way its adapter does before a measurement
// (a GPU's compute capability from `hw` included).
InstalledCheck installed_check_on(const HardwareProfile& hw);

// Writes one "[Stage 3/7] Eliminated" line per dropped runtime (for the
// hardware, or a missing tool by `missing_tool`, which is asked once per
// runtime the hardware allows; empty means installed_check_on(hw)); returns
// at most two runtimes, highest score first. A GGUF model keeps llama.cpp
// when no runtime for it is installed.
std::vector<RuntimeKind> preselect_runtimes(ModelFormat format, const HardwareProfile& hw,
                                            const ModelAnalysis& analysis, const InstalledCheck& missing_tool = {});

// Half, all and twice the cores, each clamped to 1..64, ascending, unique.
std::vector<uint32_t> thread_counts(uint32_t core_count);

// Upper bound for gpu_layers: 0 without a GPU, else scaled by how much of
// the 16-bit weights fit in VRAM (or a step rule when the size is unknown).
uint32_t max_gpu_layers(const ModelDescription& model, const HardwareProfile& hw);

SearchSpace build_search_space(const std::vector<RuntimeKind>& runtimes, const ModelDescription& model,
                               const HardwareProfile& hw, const ModelAnalysis& analysis);

// The quantizations a search can measure on a file of their own, and the
// one kept when none of a list's can be (the input's own type).
struct MeasurableQuantizations {
    std::function<bool(QuantizationStrategy)> allows;  // empty: every one
    std::optional<QuantizationStrategy> fallback;
};

// `quants` without those `measurable` does not allow; the fallback alone
// when that leaves none, and `quants` unchanged when there is no fallback.
std::vector<QuantizationStrategy> restrict_quantizations(std::vector<QuantizationStrategy> quants,
                                                         const MeasurableQuantizations& measurable);

// The same for the fallback search's candidates: the disallowed ones go;
// when none is left, each candidate's runtime, threads and layers are kept
// once with the fallback quantization.
std::vector<RuntimeConfig> restrict_candidates(std::vector<RuntimeConfig> candidates,
                                               const MeasurableQuantizations& measurable);

// Whether the tool that measures `runtime` is given the batch size. The
// llama.cpp generation tool is not, so searching it there would measure the
// same run several times; this must follow the adapters' arguments.
bool measurement_uses_batch_size(RuntimeKind runtime);

// Whether the tool that measures `runtime` is given the thread count.
bool measurement_uses_threads(RuntimeKind runtime);

// How a runtime's measurement uses gpu_layers: as a layer count, only as
// "on the GPU or not", or not at all (the runtime places the model itself).
enum class GpuLayerUse { Count, OnOff, Ignored };
GpuLayerUse measurement_gpu_layer_use(RuntimeKind runtime);

// The configuration as its runtime runs it: a dimension the runtime ignores
// is set to the value it reports. Batch size and threads the tool is not
// given report 0 (the tool's own default applies, so no number we passed
// would be true); GPU layers report 0 without a GPU, and with one the
// space's bound when the runtime puts the model on the GPU itself.
RuntimeConfig effective_config(const SearchSpace& space, RuntimeConfig config);

// Every distinct effective configuration of the space, runtime by runtime
// in the space's order, then quantization, threads, GPU layers, batch.
std::vector<RuntimeConfig> distinct_configurations(const SearchSpace& space);

// How many of those belong to `runtime`: its share of the space.
std::size_t distinct_configuration_count(const SearchSpace& space, RuntimeKind runtime);

// The fallback search's full candidate list; empty when no quantization
// fits the GPU.
std::vector<RuntimeConfig> generate_candidates(const HardwareProfile& hw, const ModelDescription& model);

// The metrics the estimate gives a llama.cpp configuration on this machine.
BenchmarkResult estimate_llama_metrics(const RuntimeConfig& config, const ModelDescription& model,
                                       const HardwareProfile& hw);

// When every llama.cpp outcome failed because its tool is missing, replaces
// them by estimates (and says so once on stderr); otherwise returns the
// list unchanged.
std::vector<BenchmarkOutcome> apply_llama_estimates(std::vector<BenchmarkOutcome> outcomes,
                                                    const ModelDescription& model, const HardwareProfile& hw);

}  // namespace ferrolune::optimizer
