// Quantized variants of an ONNX model, made by a runner script with ONNX
// Runtime's own tools, so that each quantization is measured on a file of
// that quantization.
#pragma once

#include <string_view>

#include "ferrolune/core/error.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune {

// True for the quantizations an ONNX variant can be made in (Int8 through
// dynamic quantization, F16 through a float16 conversion that keeps the
// inputs and outputs in their types).
bool onnx_variant_supported(QuantizationStrategy q);

// Writes `output_path`, the `quantization` variant of the ONNX model at
// `input_path`. Refuses an output that names the input file. Stopped through
// the thread's canceller, it removes a partial output and fails with
// cancel::interrupted_error().
Status make_onnx_variant(std::string_view input_path, std::string_view output_path, QuantizationStrategy quantization);

}  // namespace ferrolune
