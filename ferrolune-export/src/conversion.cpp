#include "ferrolune/export/conversion.h"

#include <cstdlib>
#include <filesystem>
#include <set>
#include <variant>
#include <vector>

#include <sys/stat.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "ferrolune/core/executable.h"
#include "ferrolune/core/json_writer.h"
#include "ferrolune/core/paths.h"
#include "ferrolune/core/process.h"
#include "ferrolune/core/self_location.h"
#include "ferrolune/core/text.h"
#include "ferrolune/export/ollama_bundle.h"
#include "ferrolune/runtime/adapter_registry.h"

namespace ferrolune {
namespace {

constexpr std::string_view kPythonHint = "install Python 3 from https://www.python.org";

// Reads the reply without building a document, so that a repeated member
// is seen (a DOM keeps only the last one) and wrong types stop the parse.
class ReplyReader final : public nlohmann::json_sax<nlohmann::json> {
public:
    ConvertResponse response;
    bool shape_ok = false;  // the top-level value was an object or array

    bool null() override { return scalar(nullptr); }
    bool boolean(bool) override { return scalar(std::nullopt); }
    bool number_integer(number_integer_t) override { return scalar(std::nullopt); }
    bool number_unsigned(number_unsigned_t) override { return scalar(std::nullopt); }
    bool number_float(number_float_t, const string_t&) override { return scalar(std::nullopt); }
    bool string(string_t& s) override { return scalar(&s); }
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override { return open(true); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override { return close(); }

    bool key(string_t& k) override {
        if (depth_ != 1) return true;
        if (!keys_.insert(k).second) return false;
        if (k == "output_path") slot_ = &response.output_path;
        else if (k == "error") slot_ = &response.error;
        else slot_ = nullptr;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    // nullptr: JSON null; a string; or nullopt for any other scalar.
    using Scalar = std::variant<std::nullptr_t, const std::string*, std::nullopt_t>;

    bool scalar(Scalar v) {
        if (depth_ == 0) return false;  // a bare scalar is no reply
        if (depth_ > 1) return true;    // inside a skipped member
        std::optional<std::string>* slot = target();
        if (!slot) return top_is_object_;  // unknown member: skipped
        if (std::holds_alternative<std::nullptr_t>(v)) return true;
        if (auto* s = std::get_if<const std::string*>(&v)) {
            *slot = **s;
            return true;
        }
        return false;
    }

    // Where the next value at depth 1 goes; for the array form this also
    // counts the element, and a third element fails.
    std::optional<std::string>* target() {
        if (top_is_object_) return slot_;
        switch (index_++) {
            case 0: return &response.output_path;
            case 1: return &response.error;
            default: too_long_ = true; return nullptr;
        }
    }

    bool open(bool object) {
        if (depth_ == 0) {
            top_is_object_ = object;
            shape_ok = true;
        } else if (depth_ == 1) {
            // A nested value is only fine as the value of an unknown member.
            if (!top_is_object_ || target() != nullptr) return false;
        }
        ++depth_;
        return true;
    }

    bool close() {
        --depth_;
        if (depth_ == 0 && !top_is_object_ && index_ != 2) return false;
        return true;
    }

    int depth_ = 0;
    bool top_is_object_ = false;
    bool too_long_ = false;
    unsigned index_ = 0;
    std::optional<std::string>* slot_ = nullptr;
    std::set<std::string> keys_;

public:
    bool array_too_long() const { return too_long_; }
};

std::string_view file_name_of(std::string_view relative_path) {
    auto slash = relative_path.rfind('/');
    return slash == std::string_view::npos ? relative_path : relative_path.substr(slash + 1);
}

std::optional<std::string> ask_installed_package(const std::string& python3, std::string_view file_name) {
    process::Command cmd;
    cmd.program = python3;
    cmd.args = {"-c", fmt::format("import ferrolune, os; print(os.path.join(os.path.dirname(ferrolune.__file__), '{}'))",
                                  file_name)};
    auto done = process::run(cmd);
    if (!done || !done->success()) return std::nullopt;
    std::string candidate(text::trim(text::decode_utf8_lossy(done->stdout_bytes)));
    if (!path_exists(candidate)) return std::nullopt;
    return candidate;
}

}  // namespace

std::string_view runner_relative_path(ConversionDirection direction) {
    return direction == ConversionDirection::GgufToOnnx ? "python/ferrolune/gguf_to_onnx_runner.py"
                                                        : "python/ferrolune/onnx_to_gguf_runner.py";
}

std::string to_json(const ConvertRequest& request) {
    json::Writer w;
    w.begin_object();
    w.key("input_path").string(request.input_path);
    w.key("output_path").string(request.output_path);
    w.end_object();
    return w.take();
}

std::optional<ConvertResponse> parse_convert_response(std::string_view text) {
    // The JSON library skips a byte-order mark; a reply must not have one.
    if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
    ReplyReader reader;
    bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &reader, nlohmann::json::input_format_t::json,
                                        /*strict=*/true);
    if (!ok || !reader.shape_ok || reader.array_too_long()) return std::nullopt;
    return reader.response;
}

RunnerSearchPlaces RunnerSearchPlaces::current() {
    RunnerSearchPlaces places;
    places.executable_dir = executable_directory();
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    if (!ec) places.working_dir = cwd.string();
    places.source_dir = source_dir_from_env();
    places.extension_dir = self_directory();
    places.python3 = find_executable("python3");
    return places;
}

std::optional<std::string> find_runner_script(std::string_view relative_path, const RunnerSearchPlaces& places) {
    const std::string_view file_name = file_name_of(relative_path);
    if (places.executable_dir) {
        std::string candidate = join_path(join_path(join_path(*places.executable_dir, "python"), "ferrolune"), file_name);
        if (path_exists(candidate)) return candidate;
    }
    if (places.working_dir) {
        if (auto found = find_upwards(*places.working_dir, relative_path, 6)) return found;
    }
    if (places.source_dir) {
        if (auto found = find_upwards(*places.source_dir, relative_path, 5)) return found;
    }
    // The scripts are installed beside the extension module; this finds them
    // even when the interpreter is a virtual environment that python3 on
    // PATH knows nothing of.
    if (places.extension_dir) {
        std::string candidate = join_path(*places.extension_dir, file_name);
        if (path_exists(candidate)) return candidate;
    }
    if (places.python3) return ask_installed_package(*places.python3, file_name);
    return std::nullopt;
}

std::optional<std::string> find_runner_script(std::string_view relative_path) {
    return find_runner_script(relative_path, RunnerSearchPlaces::current());
}

Result<std::string> run_conversion_script(const std::string& interpreter, const std::string& script,
                                          const ConvertRequest& request) {
    process::Command cmd;
    cmd.program = interpreter;
    cmd.args = {script};
    cmd.stdin_mode = process::Input::Pipe;
    cmd.stdin_data = to_json(request);
    auto done = process::run(cmd);
    if (!done) {
        if (process::is_start_failure(done.error()))
            return failf("failed to spawn conversion process: {}", done.error().message());
        return fail(done.error().message());
    }
    auto reply = parse_convert_response(done->stdout_bytes);
    if (!reply) {
        return failf("conversion process returned invalid output (stderr: {})",
                     text::trim(text::decode_utf8_lossy(done->stderr_bytes)));
    }
    if (reply->error) return fail(*reply->error);
    if (reply->output_path) return *reply->output_path;
    return fail("conversion succeeded but no output_path was returned");
}

Result<std::string> convert_via_runner(ConversionDirection direction, std::string_view input_path,
                                       std::string_view output_path) {
    // The runner creates its output before it has read all of its input, so
    // a conversion onto the input itself would destroy it.
    if (names_same_file(input_path, output_path))
        return failf("refusing to convert '{}' onto itself: the output path names the input file", input_path);

    auto python3 = find_executable("python3");
    if (!python3) return fail(RuntimeAdapterError::not_installed("python3", std::string(kPythonHint)));
    const std::string_view relative = runner_relative_path(direction);
    auto script = find_runner_script(relative);
    if (!script) return failf("{} not found — ensure ferrolune is properly installed", file_name_of(relative));
    return run_conversion_script(*python3, *script, ConvertRequest{std::string(input_path), std::string(output_path)});
}

}  // namespace ferrolune
