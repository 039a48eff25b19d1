#include "ferrolune/runtime/runner_protocol.h"

#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "ferrolune/core/paths.h"
#include "ferrolune/core/self_location.h"
#include "ferrolune/core/text.h"

namespace ferrolune::runner {
namespace {

using Json = nlohmann::json;

std::optional<std::string> ask_installed_package(const std::string& python, std::string_view file_name) {
    process::Command cmd;
    cmd.program = python;
    cmd.args = {"-c", fmt::format("import ferrolune, os; print(os.path.join(os.path.dirname(ferrolune.__file__), "
                                  "'runners', '{}'))",
                                  file_name)};
    auto done = process::run(cmd);
    if (!done || !done->success()) return std::nullopt;
    std::string candidate(text::trim(text::decode_utf8_lossy(done->stdout_bytes)));
    if (candidate.empty() || !path_exists(candidate)) return std::nullopt;
    return candidate;
}

}  // namespace

std::string checkout_path(std::string_view file_name) { return fmt::format("python/ferrolune/runners/{}", file_name); }

SearchPlaces SearchPlaces::current(std::optional<std::string> python) {
    SearchPlaces places;
    places.executable_dir = executable_directory();
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    if (!ec) places.working_dir = cwd.string();
    places.source_dir = source_dir_from_env();
    places.extension_dir = self_directory();
    places.python = std::move(python);
    return places;
}

std::optional<std::string> find_script(std::string_view file_name, const SearchPlaces& places) {
    const std::string relative = checkout_path(file_name);
    if (places.executable_dir && !places.executable_dir->empty()) {
        std::string candidate = join_path(*places.executable_dir, relative);
        if (path_exists(candidate)) return candidate;
    }
    if (places.working_dir) {
        if (auto found = find_upwards(*places.working_dir, relative, 6)) return found;
    }
    if (places.source_dir) {
        if (auto found = find_upwards(*places.source_dir, relative, 5)) return found;
    }
    // An installed package keeps the scripts in runners/ beside the
    // extension module, which is where this code is loaded from; this finds
    // them even for a virtual environment that python3 on PATH knows
    // nothing of.
    if (places.extension_dir && !places.extension_dir->empty()) {
        std::string candidate = join_path(join_path(*places.extension_dir, "runners"), file_name);
        if (path_exists(candidate)) return candidate;
    }
    if (places.python) return ask_installed_package(*places.python, file_name);
    return std::nullopt;
}

process::Command script_command(std::string interpreter, std::string script, std::string request) {
    process::Command cmd;
    cmd.program = std::move(interpreter);
    cmd.args = {std::move(script)};
    cmd.stdin_mode = process::Input::Pipe;
    cmd.stdin_data = std::move(request);
    return cmd;
}

std::optional<Json> parse_reply(std::string_view text) {
    // The JSON library skips a byte-order mark; a reply must not have one.
    if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
    std::set<std::string> keys;
    bool repeated = false;
    auto watch_keys = [&](int depth, Json::parse_event_t event, Json& parsed) {
        if (depth == 1 && event == Json::parse_event_t::key && !keys.insert(parsed.get<std::string>()).second)
            repeated = true;
        return true;
    };
    Json reply = Json::parse(text.begin(), text.end(), watch_keys, /*allow_exceptions=*/false);
    if (reply.is_discarded() || repeated) return std::nullopt;
    if (!reply.is_object() && !reply.is_array()) return std::nullopt;
    return reply;
}

}  // namespace ferrolune::runner
