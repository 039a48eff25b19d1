#include "ferrolune/export/requantize.h"

#include <string>

#include "ferrolune/core/executable.h"
#include "ferrolune/core/paths.h"
#include "ferrolune/core/process.h"
#include "ferrolune/core/text.h"

namespace ferrolune {

std::string default_requantized_path(std::string_view model_path) {
    // Trailing separators and "." components do not name a file.
    std::string_view p = model_path;
    for (;;) {
        if (p.size() > 1 && p.back() == '/')
            p.remove_suffix(1);
        else if (p.size() > 2 && p.ends_with("/."))
            p.remove_suffix(2);
        else
            break;
    }
    std::size_t slash = p.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
    std::string_view parent = slash == std::string_view::npos ? std::string_view() : p.substr(0, slash == 0 ? 1 : slash);
    while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
    // The root itself has no parent directory.
    if (p == "/") parent = {};

    std::string stem = "model";
    if (!name.empty() && name != "." && name != "..") {
        stem = text::decode_utf8_lossy(file_stem(name));
    }
    std::string file = stem + "-optimized.gguf";
    if (parent.empty()) return file;
    if (parent == "/") return "/" + file;
    return std::string(parent) + "/" + file;
}

std::string_view quantize_type_argument(QuantizationStrategy q) {
    switch (q) {
        case QuantizationStrategy::F16: return "f16";
        case QuantizationStrategy::Q8_0: return "q8_0";
        case QuantizationStrategy::Q4_K_M: return "q4_k_m";
        case QuantizationStrategy::Q4_0: return "q4_0";
        case QuantizationStrategy::Int8: return "q8_0";
        case QuantizationStrategy::Int4: return "q4_0";
    }
    return "q4_k_m";
}

Status requantize_model(std::string_view input_path, std::string_view output_path, QuantizationStrategy quantization) {
    if (!find_executable("llama-quantize"))
        return fail("llama-quantize not found \u2014 install llama.cpp to enable model quantization");
    if (names_same_file(input_path, output_path))
        return failf("refusing to re-quantize '{}' onto itself: the output path names the input file", input_path);

    process::Command cmd;
    // The bare name: the system's program search picks the file.
    cmd.program = "llama-quantize";
    cmd.args = {std::string(input_path), std::string(output_path), std::string(quantize_type_argument(quantization))};
    cmd.stdin_mode = process::Input::Inherit;
    cmd.stdout_mode = process::Output::Inherit;
    cmd.stderr_mode = process::Output::Inherit;

    Result<process::Completed> done = process::run(cmd);
    if (!done) return failf("failed to launch llama-quantize: {}", done.error().render());
    if (done->success()) return {};
    return failf("llama-quantize exited with code {}", process::exit_status_text(*done));
}

}  // namespace ferrolune
