// Measures a model already registered with Ollama, under a tag derived
// from the model file's name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/runtime/adapter_base.h"

namespace ferrolune {

class OllamaAdapter : public AdapterBase {
public:
    Status initialize(const RuntimeConfig& config) override;
    // Any format; the file must exist. Derives the model tag.
    Status load_model(const ModelDescription& model) override;
    // `ollama run TAG PROMPT --verbose`; the statistics come on standard error.
    Result<BenchmarkResult> run_inference(std::string_view prompt) override;

    const std::optional<std::string>& model_tag() const { return tag_; }

private:
    std::optional<std::string> tag_;
};

// The file name's stem, lower-cased, with every character that is neither
// alphabetic nor numeric replaced by '-'; "model" when there is no usable stem.
std::string ollama_model_tag(std::string_view model_path);

struct OllamaTiming {
    double tokens_per_sec = 0.0;
    double latency_ms = 0.0;
};

// Generation rate and duration from `ollama run --verbose` statistics (the
// prompt-evaluation lines are used only when no generation line exists).
// A duration that is not plain seconds gives 1000 ÷ rate.
std::optional<OllamaTiming> parse_ollama_statistics(std::string_view stderr_text);

}  // namespace ferrolune
