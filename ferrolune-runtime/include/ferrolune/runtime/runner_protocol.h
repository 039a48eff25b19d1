// How the native side talks to the package's runner scripts
// (python/ferrolune/runners/ in a checkout, ferrolune/runners/ when
// installed): where a script is found, the command that runs it with a
// JSON request on standard input, and the one strict reply read back.
//
// The ONNX Runtime measurements and both conversions go through here, so
// they find the same script and read replies by the same rules.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ferrolune/core/process.h"

namespace ferrolune::runner {

// "python/ferrolune/runners/<file_name>": where a checkout keeps the script.
std::string checkout_path(std::string_view file_name);

// The places find_script looks in, so tests can set each of them.
struct SearchPlaces {
    std::optional<std::string> executable_dir;  // executable_directory()
    std::optional<std::string> working_dir;     // getcwd
    std::optional<std::string> source_dir;      // FERROLUNE_SOURCE_DIR
    std::optional<std::string> extension_dir;   // self_directory()
    // Asked for the installed package's directory; absent skips that step.
    std::optional<std::string> python;

    // The places of this process, with `python` to ask.
    static SearchPlaces current(std::optional<std::string> python);
};

// First existing candidate of: <executable dir>/python/ferrolune/runners/
// <file>; the working directory and up to five ancestors joined with the
// checkout path; the same for FERROLUNE_SOURCE_DIR and up to four
// ancestors; <extension module's directory>/runners/<file>; the runners
// directory of the ferrolune package the interpreter imports. An unusable
// answer from the interpreter ends the search empty.
std::optional<std::string> find_script(std::string_view file_name, const SearchPlaces& places);

// `interpreter script` with `request` piped in and both outputs captured.
process::Command script_command(std::string interpreter, std::string script, std::string request);

// The reply: exactly one JSON object or array with only JSON white space
// around it, no byte-order mark, no top-level member given twice (a
// document would silently keep the last one). Nothing on anything else.
std::optional<nlohmann::json> parse_reply(std::string_view text);

}  // namespace ferrolune::runner
