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

// Relative path of the direction's script in a source checkout, e.g.
// "python/ferrolune/gguf_to_onnx_runner.py".
std::string_view runner_relative_path(ConversionDirection direction);

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

// One object (unknown members skipped, a repeated member invalid) or the
// two-element array [output_path, error], each a string or null, with only
// JSON white space around it. Nothing on anything else.
std::optional<ConvertResponse> parse_convert_response(std::string_view text);

// The places find_runner_script looks in, so tests can set each of them.
struct RunnerSearchPlaces {
    std::optional<std::string> executable_dir;   // executable_directory()
    std::optional<std::string> working_dir;      // getcwd
    std::optional<std::string> source_dir;       // FERROLUNE_SOURCE_DIR
    std::optional<std::string> extension_dir;    // self_directory()
    // python3 asked for the installed package's directory; absent skips it.
    std::optional<std::string> python3;

    // The places of this process.
    static RunnerSearchPlaces current();
};

// First existing candidate of: <executable dir>/python/ferrolune/<file>;
// the working directory and up to five ancestors joined with the relative
// path; the same for FERROLUNE_SOURCE_DIR and up to four ancestors; the
// directory of the extension module itself; the directory python3 reports
// for the installed ferrolune package.
std::optional<std::string> find_runner_script(std::string_view relative_path);
std::optional<std::string> find_runner_script(std::string_view relative_path, const RunnerSearchPlaces& places);

// Runs `interpreter script` with the request piped in and turns the reply
// into the output path or an error (no causes). The exit status is not used.
Result<std::string> run_conversion_script(const std::string& interpreter, const std::string& script,
                                          const ConvertRequest& request);

// Finds python3 and the direction's script, then runs it. Returns the
// output path exactly as the script reported it.
Result<std::string> convert_via_runner(ConversionDirection direction, std::string_view input_path,
                                       std::string_view output_path);

}  // namespace ferrolune
