#include "ferrolune/runtime/adapter_registry.h"

#include "ferrolune/runtime/llamacpp_adapter.h"
#include "ferrolune/runtime/ollama_adapter.h"
#include "ferrolune/runtime/onnx_adapter.h"
#include "ferrolune/runtime/tensorrt_adapter.h"
#include "ferrolune/runtime/vllm_adapter.h"

namespace ferrolune {

AdapterRegistry AdapterRegistry::with_all_adapters(const AdapterHost& host) {
    AdapterRegistry r;
    r.insert(RuntimeKind::LlamaCpp, std::make_unique<LlamaCppAdapter>());
    r.insert(RuntimeKind::OnnxRuntime, std::make_unique<OnnxAdapter>());
    r.insert(RuntimeKind::TensorRT, std::make_unique<TensorRtAdapter>(host.gpu_compute_capability));
    r.insert(RuntimeKind::Ollama, std::make_unique<OllamaAdapter>());
    r.insert(RuntimeKind::Vllm, std::make_unique<VllmAdapter>());
    return r;
}

void AdapterRegistry::insert(RuntimeKind kind, std::unique_ptr<RuntimeAdapter> adapter) {
    adapters_[kind] = std::move(adapter);
}

RuntimeAdapter* AdapterRegistry::find(RuntimeKind kind) const {
    auto it = adapters_.find(kind);
    return it == adapters_.end() ? nullptr : it->second.get();
}

Result<BenchmarkResult> AdapterRegistry::benchmark(const RuntimeConfig& config, const ModelDescription& model,
                                                   std::string_view prompt) {
    RuntimeAdapter* adapter = find(config.runtime);
    if (!adapter) return failf("no adapter registered for {}", to_string(config.runtime));
    if (auto s = adapter->initialize(config); !s) return fail(std::move(s.error()));
    if (auto s = adapter->load_model(model); !s) return fail(std::move(s.error()));
    // The first run pays for loading the model into caches; only the second counts.
    if (auto warm = adapter->run_inference(prompt); !warm) return fail(std::move(warm.error()));
    auto measured = adapter->run_inference(prompt);
    if (!measured) return measured;
    if (auto s = adapter->shutdown(); !s) return fail(std::move(s.error()));
    return measured;
}

}  // namespace ferrolune
