// Turning an optimization result into a directory that `ollama create` can
// import: model.gguf, a Modelfile and metadata.json.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ferrolune/core/error.h"
#include "ferrolune/core/paths.h"
#include "ferrolune/optimizer/optimization_result.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune {

// What the export wrote, and the two commands to run next. Paths are the
// byte texts as built from the output directory.
struct ExportManifest {
    std::string output_dir;
    std::string modelfile_path;
    std::string model_gguf_path;
    std::vector<std::string> ollama_commands;
};

// Writes the bundle for `result` into `output_dir` (created with its
// parents). `model_path` is the model given to optimize();
// `requantized_path`, when present, is the file re-quantization wrote, and
// that file is bundled instead of the input. An ONNX input (extension
// exactly "onnx") is converted with convert_hf_to_gguf.py from PATH;
// anything else is copied as GGUF. Errors carry no causes; files written
// before a failure stay.
Result<ExportManifest> export_ollama_bundle(const OptimizationResult& result, std::string_view model_path,
                                            std::optional<std::string_view> requantized_path,
                                            std::string_view output_dir);

// Compact JSON, members in key order: model_gguf_path, modelfile_path,
// ollama_commands, output_dir. Invalid UTF-8 in paths becomes U+FFFD.
std::string to_json(const ExportManifest& manifest);

// The num_ctx of a Modelfile for a model whose context length is unknown
// or larger.
inline constexpr uint64_t kDefaultNumCtx = 4096;

// The Modelfile text for a configuration; num_ctx is the model's context
// length when that is known and smaller than the default.
std::string modelfile_text(const RuntimeConfig& config, std::optional<uint64_t> context_length);

}  // namespace ferrolune
