// The bodies of the module functions that take arguments. Each receives its
// arguments already converted (module.cpp does the matching and
// conversion) and returns a new reference, or a null Ref with a Python
// exception set. Each body lives in its own source file.
#pragma once

#include <optional>
#include <string>

#include "py_object.h"

namespace ferrolune::py {

// optimize_function.cpp
Ref optimize_function(const std::string& model_path, const std::string& format, const std::optional<std::string>& gpu,
                      std::optional<double> max_latency_ms, const std::optional<std::string>& output_path,
                      bool use_cache);

// analyze_model_function.cpp
Ref analyze_model_function(const std::string& model_path);

// export_functions.cpp. `result` is known to be an OptimizationResult
// (read it with optimization_result_view).
Ref export_ollama_function(Handle result, const std::string& output_dir);
Ref convert_gguf_to_onnx_function(const std::string& input_path, const std::string& output_path);
Ref convert_onnx_to_gguf_function(const std::string& input_path, const std::string& output_path);

}  // namespace ferrolune::py
