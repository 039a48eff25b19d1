// Search quality on scripted surfaces: runs the whole pipeline with a
// measurement function that is a known function of quantization, threads
// and GPU layers, and compares what it found with the best of every
// distinct configuration of the same space. Deterministic: the only noise
// is derived from a hash of the configuration.
//
// Prints one line per (surface, machine) case on stdout:
//   case <surface> <machine> ratio=<found/best> found=<tok/s> best=<tok/s>
//        measurements=<n> space=<distinct configurations> winner=<config> optimum=<config>
// The pipeline's own log lines go to stderr.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "ferrolune/hardware/gpu_preset.h"
#include "ferrolune/hardware/hardware_profile.h"
#include "ferrolune/optimizer/pipeline.h"
#include "ferrolune/optimizer/search.h"
#include "ferrolune/runtime/run_records.h"

namespace {

using namespace ferrolune;
using namespace ferrolune::optimizer;
using Q = QuantizationStrategy;

// What a surface sees of the machine besides the configuration.
struct Machine {
    std::string name;
    HardwareProfile hw;
};

struct Shape {
    double threads_ratio = 1.0;  // threads / cores: 0.5, 1 or 2
    int thread_rank = 0;         // 0, 1, 2: position in the space's thread list
    double offload = 0.0;        // gpu_layers / max_gpu_layers, 0 without a GPU
    bool gpu = false;
};

struct Surface {
    std::string name;
    // Feed-forward / hidden ratio of the model: 8 makes it compute bound
    // (quantizations Q8_0, Q4_K_M, F16), 2 memory bound (Q4_K_M, Q4_0).
    uint64_t ff_ratio;
    std::function<double(Q, const Shape&)> tps;
    // Relative spread reported with each figure (0: none).
    double relative_stddev = 0.0;
};

uint64_t mix(uint64_t x) {
    // splitmix64's finaliser: every input bit reaches every output bit.
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// In [-1, 1), fixed per configuration.
double config_noise(const RuntimeConfig& c) {
    uint64_t h = mix(static_cast<uint64_t>(c.runtime));
    h = mix(h ^ static_cast<uint64_t>(c.quantization));
    h = mix(h ^ c.threads);
    h = mix(h ^ (uint64_t{c.gpu_layers} << 8));
    h = mix(h ^ (uint64_t{c.batch_size} << 16));
    return static_cast<double>(h >> 11) * 0x1p-52 - 1.0;
}

double bump(double x, double centre, double width) {
    double z = (x - centre) / width;
    return std::exp(-z * z);
}

std::vector<Surface> surfaces() {
    std::vector<Surface> out;

    // One peak inside the space, separable in every dimension.
    out.push_back({"smooth", 8, [](Q q, const Shape& s) {
                       double qf = q == Q::Q4_K_M ? 1.0 : q == Q::Q8_0 ? 0.8 : 0.55;
                       double tf = 0.7 + 0.3 * bump(std::log2(s.threads_ratio), 0.0, 0.8);
                       double gf = 1.0 + 1.5 * bump(s.offload, 0.7, 0.35);
                       return 40.0 * qf * tf * gf;
                   }});

    // A narrow ridge: the best layer count moves with the thread count, so
    // no single dimension's best value is right on its own.
    out.push_back({"ridge", 8, [](Q q, const Shape& s) {
                       double qf = q == Q::Q8_0 ? 1.0 : q == Q::Q4_K_M ? 0.9 : 0.7;
                       double target = 0.25 + 0.25 * s.thread_rank;
                       double tf = 0.85 + 0.05 * s.thread_rank;
                       double gf = s.gpu ? 1.0 + 2.5 * bump(s.offload, target, 0.08) : 1.0;
                       return 30.0 * qf * tf * gf;
                   }});

    // Quantization and threads interact: which quantization wins depends on
    // the thread count, and the overall best is one off-diagonal cell.
    out.push_back({"quant_x_threads", 8, [](Q q, const Shape& s) {
                       static constexpr double table[3][3] = {
                           // threads rank 0, 1, 2
                           {1.00, 0.70, 0.55},  // Q8_0
                           {0.60, 0.80, 0.65},  // Q4_K_M
                           {0.50, 0.65, 1.20},  // F16
                       };
                       int qi = q == Q::Q8_0 ? 0 : q == Q::Q4_K_M ? 1 : 2;
                       double gf = 1.0 + 0.6 * s.offload;
                       return 25.0 * table[qi][s.thread_rank] * gf;
                   }});

    // A smooth peak under per-configuration noise of up to 8 %, with a spread
    // of 4 % reported, so neighbours can be near ties.
    out.push_back({"noisy", 8,
                   [](Q q, const Shape& s) {
                       double qf = q == Q::Q8_0 ? 1.0 : q == Q::F16 ? 0.85 : 0.75;
                       double tf = 0.75 + 0.25 * bump(s.threads_ratio, 2.0, 1.0);
                       double gf = 1.0 + 1.2 * bump(s.offload, 0.45, 0.3);
                       return 35.0 * qf * tf * gf;
                   },
                   0.04});

    // The best lies at the edges: every layer on the GPU, with F16 (the last
    // quantization of the list) winning there although it is the slowest on
    // the CPU; without a GPU the fewest threads win.
    out.push_back({"edge", 8, [](Q q, const Shape& s) {
                       double cpu_cost = q == Q::F16 ? 2.0 : q == Q::Q8_0 ? 1.2 : 1.0;
                       cpu_cost *= 1.0 + 0.25 * s.thread_rank;
                       double gpu_cost = q == Q::F16 ? 0.10 : q == Q::Q8_0 ? 0.14 : 0.16;
                       double seconds = (1.0 - s.offload) * cpu_cost + s.offload * gpu_cost;
                       return 20.0 / seconds;
                   }});

    // A memory-bound model offloaded layer by layer: time per token is the
    // CPU's share plus the GPU's share, the CPU's share saturating at the
    // core count; the best is full offload with Q4_0.
    out.push_back({"offload", 2, [](Q q, const Shape& s) {
                       double bytes = q == Q::Q4_0 ? 0.53 : 0.60;
                       double parallel = std::min(s.threads_ratio, 1.0) - 0.15 * std::max(s.threads_ratio - 1.0, 0.0);
                       double cpu = bytes / (0.3 + 0.7 * parallel);
                       double gpu = bytes * 0.12;
                       return 10.0 / ((1.0 - s.offload) * cpu + s.offload * gpu);
                   }});

    // A plateau with one narrow peak at a middle layer count (where the
    // layers left on the CPU balance the transfers): nothing around it hints
    // at it, so only a draw near it finds it.
    out.push_back({"plateau", 8, [](Q q, const Shape& s) {
                       double qf = q == Q::Q4_K_M ? 1.0 : q == Q::Q8_0 ? 0.95 : 0.9;
                       double gf = s.gpu ? 1.0 + 1.0 * bump(s.offload, 0.55, 0.06) : 1.0;
                       return 30.0 * qf * gf;
                   }});

    // Fewer threads win (memory traffic of extra threads costs more than
    // their compute), while more layers on the GPU help steadily.
    out.push_back({"few_threads", 8, [](Q q, const Shape& s) {
                       double qf = q == Q::Q4_K_M ? 1.0 : q == Q::Q8_0 ? 0.85 : 0.7;
                       double tf = 1.0 / (1.0 + 0.4 * s.thread_rank);
                       double gf = 1.0 + 0.8 * s.offload;
                       return 20.0 * qf * tf * gf;
                   }});

    return out;
}

std::vector<Machine> machines() {
    auto cpu_only = [](uint32_t cores) {
        HardwareProfile hw;
        hw.cpu.brand = "Bench CPU";
        hw.cpu.core_count = cores;
        hw.cpu.simd_level = SimdLevel::AVX2;
        hw.ram.total_mb = 64000;
        hw.ram.available_mb = 32000;
        return hw;
    };
    std::vector<Machine> out{{"cpu-2", cpu_only(2)}, {"cpu-16", cpu_only(16)}};
    auto preset = gpu_preset("4090");
    if (!preset || !*preset) {
        std::fprintf(stderr, "search_quality: the 4090 preset is missing\n");
        std::exit(1);
    }
    for (uint32_t cores : {2u, 8u}) {
        HardwareProfile hw = cpu_only(cores);
        hw.gpu = **preset;
        out.push_back({fmt::format("4090-{}", cores), hw});
    }
    return out;
}

std::string describe(const RuntimeConfig& c) {
    return fmt::format("{}/{}/{}t/{}l", to_string(c.runtime), to_string(c.quantization), c.threads, c.gpu_layers);
}

}  // namespace

int main() {
    for (const Surface& surface : surfaces()) {
        for (const Machine& machine : machines()) {
            ModelDescription model;
            model.path = "bench.gguf";
            model.format = ModelFormat::Gguf;
            // 1e9 parameters: every quantization fits in memory, and the
            // 16-bit weights fit in 24 GB of VRAM, so layers span 0..32.
            model.param_count = 1'000'000'000;
            model.hidden_size = 2048;
            model.feed_forward_length = 2048 * surface.ff_ratio;

            const HardwareProfile& hw = machine.hw;
            SearchSpace space = build_search_space({RuntimeKind::LlamaCpp, RuntimeKind::Ollama}, model, hw,
                                                   analyze_model_workload(model, hw));

            auto evaluate = [&](const RuntimeConfig& c) -> Result<BenchmarkResult> {
                Shape shape;
                if (c.runtime == RuntimeKind::Ollama) {
                    // Ollama picks threads itself and puts every layer it can
                    // on the GPU: a competitor at one point of the surface,
                    // with its own overhead.
                    shape = Shape{1.0, 1, hw.gpu ? 1.0 : 0.0, hw.gpu.has_value()};
                } else {
                    auto rank = std::ranges::find(space.threads, c.threads) - space.threads.begin();
                    shape = Shape{static_cast<double>(c.threads) / hw.cpu.core_count, static_cast<int>(rank),
                                  space.max_gpu_layers ? static_cast<double>(c.gpu_layers) / space.max_gpu_layers
                                                       : 0.0,
                                  hw.gpu.has_value()};
                }
                double tps = surface.tps(c.quantization, shape) * (c.runtime == RuntimeKind::Ollama ? 0.7 : 1.0);
                std::optional<double> stddev;
                if (surface.relative_stddev > 0.0) {
                    tps *= 1.0 + 2.0 * surface.relative_stddev * config_noise(c);
                    stddev = surface.relative_stddev * tps;
                }
                return BenchmarkResult{tps, 1000.0 / tps, 1000, stddev, 3};
            };

            std::mutex mu;
            std::size_t measurements = 0;
            MeasureFn measure = [&](const RuntimeConfig& c, const ModelDescription&, std::string_view) {
                {
                    std::lock_guard lock(mu);
                    ++measurements;
                }
                return evaluate(c);
            };

            std::optional<RuntimeConfig> optimum;
            double best = 0.0;
            const std::vector<RuntimeConfig> all = distinct_configurations(space);
            for (const RuntimeConfig& c : all) {
                auto r = evaluate(c);
                if (r && r->tokens_per_sec > best) {
                    best = r->tokens_per_sec;
                    optimum = c;
                }
            }

            Result<OptimizationResult> result = run_pipeline(model, std::nullopt, hw, measure);
            if (!result || !optimum) {
                std::printf("case %s %s error=%s\n", surface.name.c_str(), machine.name.c_str(),
                            result ? "no optimum" : result.error().render().c_str());
                continue;
            }
            // The winner's own surface value, without the tie re-measure's
            // pooling, so the ratio compares like with like.
            double found = evaluate(result->config)->tokens_per_sec;
            std::printf("%s\n", fmt::format("case {} {} ratio={:.4f} found={:.3f} best={:.3f} measurements={} "
                                            "space={} winner={} optimum={}",
                                            surface.name, machine.name, found / best, found, best, measurements,
                                            all.size(), describe(result->config), describe(*optimum))
                                    .c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}
