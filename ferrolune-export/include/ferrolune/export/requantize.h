// Writing the winner's quantization of a model with llama.cpp's quantizer.
#pragma once

#include <string>
#include <string_view>

#include "ferrolune/core/error.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune {

// "f16", "q8_0", "q4_k_m" or "q4_0" (Int8 and Int4 share the last two's).
std::string_view quantize_type_argument(QuantizationStrategy q);

// Where the re-quantized model goes when the caller names no place:
// "{stem}-optimized.gguf" beside the input (bare when the input has no
// directory part), the stem being the file name without its last extension,
// or "model" when the path has no file name.
std::string default_requantized_path(std::string_view model_path);

// Runs `llama-quantize input output type` with the three standard streams
// inherited and waits for it. Refuses, without starting anything, when the
// output names the input file itself (the quantizer would read and write
// one file at once). Errors carry no causes.
Status requantize_model(std::string_view input_path, std::string_view output_path, QuantizationStrategy quantization);

}  // namespace ferrolune
