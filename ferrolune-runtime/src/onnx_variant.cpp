#include "ferrolune/runtime/onnx_variant.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "ferrolune/core/cancel.h"
#include "ferrolune/core/json_writer.h"
#include "ferrolune/core/paths.h"
#include "ferrolune/core/process.h"
#include "ferrolune/core/text.h"
#include "ferrolune/runtime/python_interpreter.h"
#include "ferrolune/runtime/runner_protocol.h"
#include "ferrolune/runtime/runtime_adapter.h"

namespace ferrolune {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kScript = "onnx_variant_runner.py";
constexpr std::string_view kPythonHint = "install Python 3 from https://www.python.org";

// A directory of our own beside the output: the runner writes the variant
// (and ONNX Runtime its scratch files) inside it, so that a runner killed
// halfway leaves nothing we cannot remove, and the finished variant is
// renamed into place on the same filesystem. Removed with everything in it
// when the call ends.
class WorkDir {
public:
    static Result<WorkDir> beside(std::string_view output) {
        fs::path parent = fs::path(output).parent_path();
        if (parent.empty()) parent = ".";
        std::string pattern = (parent / ".ferrolune-variant-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            const int err = errno;
            return fail(os_error(err).context(fmt::format("cannot create a working directory in {}", parent.string())));
        }
        std::error_code ec;
        fs::path absolute = fs::absolute(pattern, ec);
        return WorkDir(ec ? fs::path(pattern) : absolute);
    }
    WorkDir(WorkDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    WorkDir& operator=(WorkDir&&) = delete;
    ~WorkDir() {
        if (path_.empty()) return;
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    explicit WorkDir(fs::path p) : path_(std::move(p)) {}
    fs::path path_;
};

std::string request_json(std::string_view input, const std::string& output, QuantizationStrategy q) {
    json::Writer w;
    w.begin_object();
    w.key("input").string(input);
    w.key("output").string(output);
    w.key("quantization").string(to_string(q));
    w.end_object();
    return w.take();
}

// The runner's reply: nothing on success, its error text otherwise.
Status read_reply(const process::Completed& done) {
    auto invalid = [&] {
        return failf("{} returned invalid output (exit status {}; stderr: {})", kScript, process::exit_status_text(done),
                     text::trim(text::decode_utf8_lossy(done.stderr_bytes)));
    };
    auto reply = runner::parse_reply(done.stdout_bytes);
    if (!reply || !reply->is_object()) return invalid();
    if (auto it = reply->find("error"); it != reply->end() && !it->is_null()) {
        if (!it->is_string()) return invalid();
        return fail(it->get<std::string>());
    }
    if (auto it = reply->find("output"); it == reply->end() || !it->is_string()) return invalid();
    return {};
}

}  // namespace

bool onnx_variant_supported(QuantizationStrategy q) {
    return q == QuantizationStrategy::Int8 || q == QuantizationStrategy::F16;
}

Status make_onnx_variant(std::string_view input_path, std::string_view output_path, QuantizationStrategy quantization) {
    if (!onnx_variant_supported(quantization))
        return failf("an ONNX variant cannot be made in {}: only Int8 and F16 are supported", to_string(quantization));
    if (names_same_file(input_path, output_path))
        return failf("refusing to write the {} variant of '{}' onto itself: the output path names the input file",
                     to_string(quantization), input_path);
    std::error_code ec;
    if (fs::is_directory(fs::path(output_path), ec)) return failf("output path is a directory: {}", output_path);

    auto python = choose_python();
    if (!python) return fail(RuntimeAdapterError::not_installed("python3", std::string(kPythonHint)));
    auto script = runner::find_script(kScript, runner::SearchPlaces::current(*python));
    if (!script) return failf("{} not found \u2014 ensure ferrolune is properly installed", kScript);

    if (cancel::Canceller* c = cancel::current(); c && c->stop_requested()) return fail(cancel::interrupted_error());

    auto work = WorkDir::beside(output_path);
    if (!work) return fail(work.error());
    const std::string name(file_name(output_path).value_or("variant.onnx"));
    const fs::path made = work->path() / name;

    auto done = process::run(runner::script_command(*python, *script, request_json(input_path, made.string(), quantization)));
    if (!done) {
        if (process::is_start_failure(done.error()))
            return failf("failed to spawn {}: {}", kScript, done.error().message());
        return fail(done.error());
    }
    // Whatever the runner left behind goes with the working directory.
    if (done->cancelled) return fail(cancel::interrupted_error());
    if (auto s = read_reply(*done); !s) return s;
    if (!fs::is_regular_file(made, ec))
        return failf("{} reported success but wrote no file at {}", kScript, made.string());
    fs::rename(made, fs::path(output_path), ec);
    if (ec) return failf("cannot move the {} variant to {}: {}", to_string(quantization), output_path, ec.message());
    return {};
}

}  // namespace ferrolune
