#include "ferrolune/runtime/requantize.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "ferrolune/core/cancel.h"
#include "ferrolune/core/executable.h"
#include "ferrolune/core/paths.h"
#include "ferrolune/core/process.h"
#include "ferrolune/core/text.h"

namespace ferrolune {

namespace {

// What tells a file the tool wrote apart from one it never touched.
struct FileStamp {
    dev_t dev;
    ino_t ino;
    off_t size;
    struct timespec mtime;
    bool operator==(const FileStamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

std::optional<FileStamp> stamp_of(std::string_view path) {
    struct stat st{};
    if (::stat(std::string(path).c_str(), &st) != 0) return std::nullopt;
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

std::optional<uint64_t> size_of_file(std::string_view path) {
    auto s = stamp_of(path);
    if (!s) return std::nullopt;
    return static_cast<uint64_t>(s->size);
}

// Decimal units, as the optimizer's megabytes.
std::string size_text(std::optional<uint64_t> bytes) {
    if (!bytes) return "unknown size";
    const double b = static_cast<double>(*bytes);
    if (b < 1e6) return text::one_decimal(b / 1e3) + " KB";
    if (b < 1e9) return text::one_decimal(b / 1e6) + " MB";
    return text::one_decimal(b / 1e9) + " GB";
}

// One whole line on standard error, as the optimizer's progress lines.
void status_line(const std::string& line) {
    std::string l = line + "\n";
    std::fwrite(l.data(), 1, l.size(), stderr);
    std::fflush(stderr);
}

// The last few non-blank lines of the tool's output on one line, with
// control characters blanked and the whole bounded, so a reason stays
// readable in a one-line message.
std::string last_lines(std::string_view output) {
    constexpr std::size_t kLines = 3;
    constexpr std::size_t kMaxChars = 400;
    std::vector<std::string> picked;
    for (std::string_view line : text::split_lines(output)) {
        line = text::trim(line);
        if (line.empty()) continue;
        std::string clean;
        for (char c : line) clean.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c);
        picked.push_back(std::move(clean));
        if (picked.size() > kLines) picked.erase(picked.begin());
    }
    std::string joined = text::decode_utf8_lossy(fmt::format("{}", fmt::join(picked, " | ")));
    if (joined.size() > kMaxChars) {
        // Keep the end, where the tool says what went wrong; cut on a
        // character boundary.
        std::size_t cut = joined.size() - kMaxChars;
        while (cut < joined.size() && (static_cast<unsigned char>(joined[cut]) & 0xC0) == 0x80) ++cut;
        joined = "\u2026" + joined.substr(cut);
    }
    return joined;
}

}  // namespace

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

Status requantize_model(std::string_view input_path, std::string_view output_path, QuantizationStrategy quantization,
                        bool from_quantized) {
    if (!find_executable("llama-quantize"))
        return fail("llama-quantize not found \u2014 install llama.cpp to enable model quantization");
    if (names_same_file(input_path, output_path))
        return failf("refusing to re-quantize '{}' onto itself: the output path names the input file", input_path);

    const std::string_view type = quantize_type_argument(quantization);
    process::Command cmd;
    // The bare name: the system's program search picks the file.
    cmd.program = "llama-quantize";
    cmd.args = {std::string(input_path), std::string(output_path), std::string(type)};
    if (from_quantized) cmd.args.insert(cmd.args.begin(), "--allow-requantize");
    // Its loader and tensor dumps are for a failure's reason, not for the
    // user's terminal (through the API they would land in the caller's stdout).
    cmd.stdin_mode = process::Input::Null;
    cmd.stdout_mode = process::Output::Capture;
    cmd.stderr_mode = process::Output::Capture;

    const std::optional<FileStamp> before_output = stamp_of(output_path);
    const std::optional<uint64_t> input_size = size_of_file(input_path);
    status_line(fmt::format("[ferrolune] re-quantizing {} to {} \u2192 {}", input_path, type, output_path));
    const auto started = std::chrono::steady_clock::now();
    Result<process::Completed> done = process::run(cmd);
    if (!done) return failf("failed to launch llama-quantize: {}", done.error().render());
    if (done->cancelled) {
        // A half-written file is no model; one that was there before and
        // that the tool never touched stays.
        if (stamp_of(output_path) != before_output) ::unlink(std::string(output_path).c_str());
        return fail(cancel::interrupted_error());
    }
    if (done->success()) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        status_line(fmt::format("[ferrolune] re-quantized to {}: {} \u2192 {} in {} s", type, size_text(input_size),
                                size_text(size_of_file(output_path)), text::one_decimal(seconds)));
        return {};
    }
    Error error(fmt::format("llama-quantize exited with code {}", process::exit_status_text(*done)));
    std::string tail = last_lines(done->stderr_bytes.empty() ? done->stdout_bytes : done->stderr_bytes);
    if (!tail.empty()) error = Error(std::move(tail)).context(error.message());
    return fail(std::move(error));
}

}  // namespace ferrolune
