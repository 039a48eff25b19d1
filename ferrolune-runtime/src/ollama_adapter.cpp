#include "ferrolune/runtime/ollama_adapter.h"

#include <cmath>
#include <vector>

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/locid.h>

#include <fmt/format.h>

#include "adapter_support.h"
#include "ferrolune/core/executable.h"
#include "ferrolune/core/text.h"

namespace ferrolune {
namespace {

using adapter_support::contains;

constexpr std::string_view kInstallHint =
    "install Ollama from https://ollama.com or via your package manager (e.g. brew install ollama)";

bool is_alphanumeric(UChar32 c) {
    if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
    auto type = u_charType(c);
    return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

std::optional<std::string_view> model_stem(std::string_view path) {
    auto name = file_name(path);
    if (!name) return std::nullopt;
    return file_stem(*name);
}

// The first line with all `keys` that lacks `prompt_marker`, else the first
// line with all `keys`: ollama prints the prompt-evaluation figures first.
std::optional<std::string_view> generation_line(const std::vector<std::string_view>& lines,
                                                std::initializer_list<std::string_view> keys,
                                                std::string_view prompt_marker) {
    std::optional<std::string_view> first;
    for (auto line : lines) {
        bool all = true;
        for (auto k : keys) all = all && contains(line, k);
        if (!all) continue;
        if (!contains(line, prompt_marker)) return line;
        if (!first) first = line;
    }
    return first;
}

}  // namespace

std::string ollama_model_tag(std::string_view model_path) {
    auto stem = model_stem(model_path);
    if (!stem || !text::is_valid_utf8(*stem)) return "model";
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(stem->data(), static_cast<int32_t>(stem->size())));
    u.toLower(icu::Locale::getRoot());
    std::string out;
    for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) {
        UChar32 c = u.char32At(i);
        if (is_alphanumeric(c)) {
            icu::UnicodeString(c).toUTF8String(out);
        } else {
            out += '-';
        }
    }
    return out;
}

std::optional<OllamaTiming> parse_ollama_statistics(std::string_view stderr_text) {
    auto lines = text::split_lines(stderr_text);
    auto rate_line = generation_line(lines, {"eval rate", "tokens/s"}, "prompt eval rate");
    if (!rate_line) return std::nullopt;
    auto tps = adapter_support::number_before(*rate_line, "tokens/s");
    if (!tps) return std::nullopt;

    std::optional<double> latency;
    if (auto duration_line = generation_line(lines, {"eval duration"}, "prompt eval duration")) {
        auto pieces = text::split_whitespace(*duration_line);
        if (!pieces.empty()) {
            std::string_view piece = pieces.back();
            while (!piece.empty() && piece.back() == 's') piece.remove_suffix(1);
            // Only plain seconds count: 61.145167ms and 1m2.5s do not parse here.
            if (auto secs = text::parse_double(piece); secs && std::isfinite(*secs)) latency = *secs * 1000.0;
        }
    }
    return OllamaTiming{*tps, latency ? *latency : 1000.0 / *tps};
}

Status OllamaAdapter::initialize(const RuntimeConfig& config) {
    auto found = find_executable("ollama");
    if (!found) return fail(RuntimeAdapterError::not_installed("ollama", std::string(kInstallHint)));
    tool_ = std::move(*found);
    config_ = config;
    return {};
}

Status OllamaAdapter::load_model(const ModelDescription& model) {
    if (auto s = check_model(model, std::nullopt, "Ollama"); !s) return s;
    tag_ = ollama_model_tag(model.path);
    model_ = model;
    return {};
}

Result<BenchmarkResult> OllamaAdapter::run_inference(std::string_view prompt) {
    if (auto ready = check_ready(); !ready) return fail(std::move(ready.error()));
    if (!tag_) return fail(RuntimeAdapterError::initialization_failed("model tag not set"));
    process::Command cmd = adapter_support::captured(*tool_, {"run", *tag_, std::string(prompt), "--verbose"});
    auto done = adapter_support::run_limited(std::move(cmd), "ollama");
    if (!done) return fail(std::move(done.error()));
    if (!done->success())
        return adapter_support::exited_non_zero("ollama", *done);
    auto timing = parse_ollama_statistics(text::decode_utf8_lossy(done->stderr_bytes));
    if (!timing) return fail(RuntimeAdapterError::inference_failed("could not parse timing output from ollama"));
    return BenchmarkResult{timing->tokens_per_sec, timing->latency_ms,
                           estimate_memory_mb(model_->param_count, config_->quantization)};
}

}  // namespace ferrolune
