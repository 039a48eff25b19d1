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

// Runs `llama-quantize input output type` and waits for it. Its output is
// captured, never shown: one line on standard error says it starts, one
// when it succeeded (type, size before and after, time). Refuses, without
// starting anything, when the output names the input file itself (the
// quantizer would read and write one file at once). A non-zero end is
// "llama-quantize exited with code {}", caused by the tool's last lines
// when it wrote any. Stopped through the thread's canceller, it removes the
// partial output and fails with cancel::interrupted_error().
// `from_quantized` says the input is already quantized: the tool then needs
// --allow-requantize to go down to a smaller type.
Status requantize_model(std::string_view input_path, std::string_view output_path, QuantizationStrategy quantization,
                        bool from_quantized = false);

}  // namespace ferrolune
