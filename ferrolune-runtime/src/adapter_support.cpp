#include "adapter_support.h"

#include <sys/stat.h>

#include <fmt/format.h>

#include "ferrolune/core/text.h"

namespace ferrolune::adapter_support {

process::Command captured(std::string program, std::vector<std::string> args) {
    process::Command cmd;
    cmd.program = std::move(program);
    cmd.args = std::move(args);
    return cmd;
}

std::string timeout_reason(std::string_view tool) {
    auto limit = bench_time_limit();
    return fmt::format("{} timed out after {} s", tool, limit ? limit->count() : 0);
}

Result<process::Completed> run_limited(process::Command cmd, std::string_view tool) {
    auto limit = bench_time_limit();
    if (limit) cmd.timeout = std::chrono::duration_cast<std::chrono::milliseconds>(*limit);
    auto done = process::run(cmd);
    if (!done) return fail(RuntimeAdapterError::inference_failed(done.error().render()));
    if (done->timed_out)
        return fail(RuntimeAdapterError::inference_failed(timeout_reason(tool)));
    return done;
}

std::unexpected<Error> exited_non_zero(std::string_view tool, const process::Completed& done) {
    return fail(RuntimeAdapterError::inference_failed(
        fmt::format("{} exited non-zero: {}", tool, decoded_trimmed(done.stderr_bytes))));
}

std::string decoded_trimmed(std::string_view bytes) {
    std::string decoded = text::decode_utf8_lossy(bytes);
    return std::string(text::trim(decoded));
}

std::optional<double> number_before(std::string_view line, std::string_view keyword) {
    auto at = line.find(keyword);
    if (at == std::string_view::npos) return std::nullopt;
    auto pieces = text::split_whitespace(line.substr(0, at));
    if (pieces.empty()) return std::nullopt;
    return text::parse_double(pieces.back());
}

std::optional<std::string_view> piece_after(std::string_view line, std::string_view keyword) {
    auto at = line.find(keyword);
    if (at == std::string_view::npos) return std::nullopt;
    auto pieces = text::split_whitespace(line.substr(at + keyword.size()));
    if (pieces.empty()) return std::nullopt;
    return pieces.front();
}

}  // namespace ferrolune::adapter_support
