#include "ferrolune/export/conversion.h"

#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "ferrolune/core/json_writer.h"
#include "ferrolune/core/paths.h"
#include "ferrolune/core/process.h"
#include "ferrolune/core/text.h"
#include "ferrolune/runtime/python_interpreter.h"
#include "ferrolune/runtime/runner_protocol.h"
#include "ferrolune/runtime/runtime_adapter.h"

namespace ferrolune {
namespace {

constexpr std::string_view kPythonHint = "install Python 3 from https://www.python.org";

bool is_text_or_null(const nlohmann::json& v) { return v.is_string() || v.is_null(); }

std::optional<std::string> text_of(const nlohmann::json& v) {
    if (v.is_string()) return v.get<std::string>();
    return std::nullopt;
}

}  // namespace

std::string_view runner_script_name(ConversionDirection direction) {
    return direction == ConversionDirection::GgufToOnnx ? "gguf_to_onnx_runner.py" : "onnx_to_gguf_runner.py";
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
    auto reply = runner::parse_reply(text);
    if (!reply) return std::nullopt;
    ConvertResponse response;
    if (reply->is_array()) {
        if (reply->size() != 2 || !is_text_or_null((*reply)[0]) || !is_text_or_null((*reply)[1])) return std::nullopt;
        response.output_path = text_of((*reply)[0]);
        response.error = text_of((*reply)[1]);
        return response;
    }
    for (auto [key, slot] : {std::pair{"output_path", &response.output_path}, std::pair{"error", &response.error}}) {
        auto it = reply->find(key);
        if (it == reply->end()) continue;
        if (!is_text_or_null(*it)) return std::nullopt;
        *slot = text_of(*it);
    }
    return response;
}

Result<std::string> run_conversion_script(const std::string& interpreter, const std::string& script,
                                          const ConvertRequest& request) {
    auto done = process::run(runner::script_command(interpreter, script, to_json(request)));
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

    auto python = choose_python();
    if (!python) return fail(RuntimeAdapterError::not_installed("python3", std::string(kPythonHint)));
    const std::string_view name = runner_script_name(direction);
    auto script = runner::find_script(name, runner::SearchPlaces::current(*python));
    if (!script) return failf("{} not found \u2014 ensure ferrolune is properly installed", name);
    return run_conversion_script(*python, *script, ConvertRequest{std::string(input_path), std::string(output_path)});
}

}  // namespace ferrolune
