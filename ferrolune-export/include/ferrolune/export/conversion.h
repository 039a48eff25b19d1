// GGUF <-> ONNX conversion through the package's Python runner scripts: a
// compact JSON request on the script's standard input, a ConvertResponse
// on its standard output.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/core/error.h"

namespace ferrolune {

enum class ConversionDirection { GgufToOnnx, OnnxToGguf };

// The direction's runner script, e.g. "gguf_to_onnx_runner.py"; it is found
// by the runner lookup of ferrolune/runtime/runner_protocol.h.
std::string_view runner_script_name(ConversionDirection direction);

struct ConvertRequest {
    std::string input_path;
    std::string output_path;
};

// {"input_path":...,"output_path":...}: compact, keys in order, no line feed.
std::string to_json(const ConvertRequest& request);

// The script's reply; a missing member reads as absent, and "error" wins.
struct ConvertResponse {
    std::optional<std::string> output_path;
    std::optional<std::string> error;
};

// A runner reply (runner::parse_reply) that is an object whose two members,
// when present, are strings or null (others skipped), or the two-element
// array [output_path, error] of strings or null. Nothing on anything else.
std::optional<ConvertResponse> parse_convert_response(std::string_view text);

// Runs `interpreter script` with the request piped in and turns the reply
// into the output path or an error (no causes). The exit status is not used.
Result<std::string> run_conversion_script(const std::string& interpreter, const std::string& script,
                                          const ConvertRequest& request);

// Chooses the interpreter (choose_python) and finds the direction's script,
// then runs it. Returns the output path exactly as the script reported it.
Result<std::string> convert_via_runner(ConversionDirection direction, std::string_view input_path,
                                       std::string_view output_path);

}  // namespace ferrolune
