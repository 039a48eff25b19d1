// What the adapters share: running a measurement's child under the time
// limit, the wording of a failed run, and small parsing helpers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ferrolune/core/paths.h"
#include "ferrolune/core/process.h"
#include "ferrolune/runtime/measurement_limits.h"
#include "ferrolune/runtime/runtime_adapter.h"

namespace ferrolune::adapter_support {

// A capture-mode command: no input, both outputs collected.
process::Command captured(std::string program, std::vector<std::string> args);

// Runs `cmd` with the bench time limit. A child that cannot be started fails
// with InferenceFailed and the system error text; one that outlives the
// limit is killed with its process group and fails with InferenceFailed
// "{tool} timed out after {N} s".
Result<process::Completed> run_limited(process::Command cmd, std::string_view tool);

// "{tool} timed out after {N} s" with the current limit.
std::string timeout_reason(std::string_view tool);

// InferenceFailed "{tool} exited non-zero: {stderr}", the standard error
// decoded and trimmed.
std::unexpected<Error> exited_non_zero(std::string_view tool, const process::Completed& done);

// Decoded (invalid UTF-8 replaced) and trimmed.
std::string decoded_trimmed(std::string_view bytes);

// The last white-space-separated piece before the first occurrence of
// `keyword` in `line`, as a decimal number; nothing if absent or unparsable.
std::optional<double> number_before(std::string_view line, std::string_view keyword);

// The first white-space-separated piece after the first occurrence of
// `keyword` in `line`; nothing if there is no such piece.
std::optional<std::string_view> piece_after(std::string_view line, std::string_view keyword);

inline bool contains(std::string_view s, std::string_view needle) { return s.find(needle) != std::string_view::npos; }

}  // namespace ferrolune::adapter_support
