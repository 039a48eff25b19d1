// The Python class OptimizationResult: the winning configuration and its
// metrics, plus the model path given to optimize() and the path of the
// re-quantized file.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "ferrolune/optimizer/optimization_result.h"
#include "ferrolune/optimizer/optimization_result.h"
#include "py_object.h"

namespace ferrolune::py {

// The type object, created on first use (once per process).
PyTypeObject* optimization_result_type();

// A new OptimizationResult object owning these values.
Ref make_optimization_result(OptimizationResult record, std::string model_path,
                             std::optional<std::string> output_path,
                             std::optional<std::string> requantize_skipped_reason = std::nullopt);

// What an OptimizationResult object owns; valid while the object lives.
struct OptimizationResultView {
    const OptimizationResult& record;
    const std::string& model_path;
    const std::optional<std::string>& output_path;
};

// `object` must already be known to be an OptimizationResult instance.
OptimizationResultView optimization_result_view(Handle object);

}  // namespace ferrolune::py
