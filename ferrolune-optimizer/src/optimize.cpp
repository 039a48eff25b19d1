#include "ferrolune/optimizer/optimize.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include "ferrolune/core/executable.h"
#include "ferrolune/core/file.h"
#include "ferrolune/core/paths.h"
#include "ferrolune/core/text.h"
#include "ferrolune/hardware/detect.h"
#include "ferrolune/hardware/gpu_preset.h"
#include "ferrolune/model_ir/inspect_model.h"
#include "ferrolune/optimizer/pipeline.h"
#include "ferrolune/optimizer/variants.h"
#include "ferrolune/runtime/onnx_variant.h"
#include "ferrolune/runtime/requantize.h"
#include "log.h"

namespace ferrolune::optimizer {

namespace {

Result<ModelFormat> parse_format(const std::string& format) {
    const std::string lowered = text::ascii_lower(format);
    if (lowered == "onnx") return ModelFormat::Onnx;
    if (lowered == "gguf") return ModelFormat::Gguf;
    return failf("unknown model format '{}'; expected 'onnx' or 'gguf'", lowered);
}

std::string default_output_path(const std::string& model_path, ModelFormat format) {
    std::string path = default_requantized_path(model_path);
    if (format == ModelFormat::Onnx) path.replace(path.size() - std::string_view(".gguf").size(), std::string::npos, ".onnx");
    return path;
}

// The output's directory, so the winner is renamed into place; the input's
// when the output's does not exist (writing the output then fails and says
// so, but the search still has somewhere to put its files).
std::string private_directory_parent(const std::string& model_path, const std::string& target) {
    std::filesystem::path out_dir = std::filesystem::path(target).parent_path();
    std::error_code ec;
    if (out_dir.empty() || std::filesystem::is_directory(out_dir, ec)) return out_dir.string();
    return std::filesystem::path(model_path).parent_path().string();
}

// Copies `from` to `to` (created, never overwritten in place), looking at
// the interrupt check between chunks.
Status copy_file(const std::string& from, const std::string& to, cancel::Canceller& canceller) {
    Result<file::Fd> in = file::open_regular_for_reading(from);
    if (!in) return fail(std::move(in.error()).context(fmt::format("read '{}'", from)));
    Result<file::Fd> out = file::open(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!out) return fail(std::move(out.error()).context(fmt::format("write '{}'", to)));
    Status copied = file::copy_contents(in->get(), out->get(), [&]() -> Status {
        if (canceller.poll()) return fail(cancel::interrupted_error());
        return {};
    });
    if (!copied) {
        if (cancel::is_interrupted(copied.error())) return copied;
        return fail(std::move(copied.error()).context(fmt::format("copy '{}' to '{}'", from, to)));
    }
    return out->close();
}

Status move_into_place(const std::string& from, const std::string& to, cancel::Canceller& canceller) {
    if (::rename(from.c_str(), to.c_str()) == 0) return {};
    if (errno != EXDEV) return failf("cannot write '{}': {}", to, std::strerror(errno));
    // Another filesystem after all (the output's directory did not exist
    // when the search began): copy, and leave the original to the store.
    if (Status copied = copy_file(from, to, canceller); !copied) {
        std::error_code ec;
        std::filesystem::remove(to, ec);
        return copied;
    }
    return {};
}

// The winner's figure is the highest of several noisy ones, so it errs high
// by about their spread. One more measurement, taken after the choice, is
// the figure a user of the written file can expect; it replaces the chosen
// one in the result and in the winner's row. A single candidate, or an
// estimate, had no choice to bias it.
Status confirm_winner(OptimizationResult& best, const ModelDescription& model, const MeasureFn& measure,
                      cancel::Canceller& canceller) {
    auto row = std::ranges::find_if(best.measurements, [&](const Measurement& m) { return m.config == best.config; });
    if (best.measurements.size() < 2 || row == best.measurements.end() || row->estimate) return {};
    std::vector<BenchmarkOutcome> again = run_benchmarks({best.config}, model, measure, &canceller);
    if (canceller.poll()) return fail(cancel::interrupted_error());
    if (again.empty() || !again.front().result) return {};
    const BenchmarkResult& fresh = *again.front().result;
    log_line(fmt::format("[ferrolune] {} measured again after the choice \u2192 {} tok/s (chosen on {} tok/s)",
                         describe_config(best.config), text::one_decimal(fresh.tokens_per_sec),
                         text::one_decimal(best.metrics.tokens_per_sec)));
    best.metrics = fresh;
    row->metrics = fresh;
    sort_best_first(best.measurements);
    return {};
}

// An input already below F16: smaller types are made from it only with the
// quantizer's explicit consent (types above it are never candidates).
bool is_quantized(const InputQuantization& input) {
    return input.own && *input.own != QuantizationStrategy::F16;
}

// The file the result describes, at `target`: the search's own file of the
// winning type, renamed into place; the input's copy when the winner is
// the input's own type; made now only when the search has none (the
// fallback's winner, or a type whose file was skipped).
Status write_output(const std::string& model_path, const std::string& target, QuantizationStrategy q,
                    const InputQuantization& input, VariantStore* store, bool onnx, cancel::Canceller& canceller) {
    auto make_directly = [&] {
        return onnx ? make_onnx_variant(model_path, target, q) : requantize_model(model_path, target, q, is_quantized(input));
    };
    // The makers refuse this with their reason and write nothing.
    if (names_same_file(model_path, target)) return make_directly();
    if (store) {
        if (std::optional<std::string> made = store->take(q)) {
            if (Status moved = move_into_place(*made, target, canceller); !moved) return moved;
            log_line(fmt::format("[ferrolune] wrote the measured {} file \u2192 {}", to_string(q), target));
            return {};
        }
    }
    if (input.own == q) {
        // The user always gets the file the result describes, even when it
        // is the input's own type: a copy, written aside and renamed so that
        // no partial file is left at the output.
        const std::string aside = store ? store->scratch_path("output.partial") : target + ".partial";
        Status copied = copy_file(model_path, aside, canceller);
        if (copied) copied = move_into_place(aside, target, canceller);
        std::error_code ec;
        std::filesystem::remove(aside, ec);
        if (!copied) return copied;
        log_line(fmt::format("[ferrolune] the input is already {}: copied it \u2192 {}", to_string(q), target));
        return {};
    }
    return make_directly();
}

}  // namespace

Result<OptimizeOutcome> optimize_model(const OptimizeRequest& request, const cancel::InterruptCheck& interrupt,
                                       const OptimizeSeams& seams) {
    Result<ModelFormat> format = parse_format(request.format);
    if (!format) return fail(format.error());

    // Everything below, detection's tools included, runs under the
    // caller's interrupt check.
    cancel::Canceller canceller(interrupt);
    cancel::Scope scope(&canceller);

    Result<ModelIR> ir = seams.inspect ? seams.inspect(request.model_path) : inspect_model(request.model_path);
    // Measuring something that is no model at all only buries the reason;
    // a model whose metadata does not fully decode is still measured, with
    // its figures absent, and the adapters say what that means.
    if (!ir && is_not_a_model(ir.error())) return fail(ir.error());
    ModelDescription model = describe_model(request.model_path, *format, ir);

    HardwareProfile hw = detect();
    if (request.gpu) {
        Result<std::optional<GpuInfo>> preset = gpu_preset(*request.gpu);
        if (!preset) return fail(preset.error());
        hw.gpu = std::move(*preset);
    }
    if (canceller.poll()) return fail(cancel::interrupted_error());

    const bool onnx = *format == ModelFormat::Onnx;
    const std::string target =
        request.output_path ? *request.output_path : default_output_path(request.model_path, *format);

    // Which file each quantization is measured on.
    InputQuantization input;
    std::function<bool(QuantizationStrategy)> can_make;
    if (onnx) {
        // An ONNX model is taken as the float model (F32 unless converted):
        // without a float16 conversion it stands for F16 itself, the
        // closest type the space has.
        input.bits_per_weight = 32.0;
        if (!onnx_variant_supported(QuantizationStrategy::F16)) input.own = QuantizationStrategy::F16;
        can_make = [](QuantizationStrategy q) { return onnx_variant_supported(q); };
    } else {
        input = gguf_input_quantization(ir ? ir->file_type : std::nullopt);
        if (find_executable("llama-quantize")) {
            can_make = [](QuantizationStrategy) { return true; };
        } else if (input.own) {
            log_line(fmt::format(
                "[ferrolune] llama-quantize not found \u2014 only the input's own type ({}) is measured",
                to_string(*input.own)));
        } else {
            log_line("[ferrolune] llama-quantize not found \u2014 every quantization is measured on the input file "
                     "itself, whose type is none of them");
        }
        if (can_make && !input.bits_per_weight)
            log_line("[ferrolune] the model's file type is unknown \u2014 every quantization is made from it, "
                     "and one the quantizer refuses is not measured");
    }

    std::unique_ptr<VariantStore> store;
    if (can_make) {
        Result<std::unique_ptr<VariantStore>> created = VariantStore::create(
            {request.model_path, input, private_directory_parent(request.model_path, target),
             onnx ? ".onnx" : ".gguf", onnx ? MakeVariantFn(make_onnx_variant)
                  : MakeVariantFn([from_quantized = is_quantized(input)](std::string_view in, std::string_view out,
                                                                        QuantizationStrategy q) {
                        return requantize_model(in, out, q, from_quantized);
                    })});
        if (created) {
            store = std::move(*created);
        } else {
            log_line(fmt::format("[ferrolune] {} \u2014 only the input's own type is measured",
                                 created.error().render()));
            can_make = nullptr;
        }
    }
    MeasurableQuantizations measurable;
    if (can_make || input.own) {
        measurable.fallback = input.own;
        measurable.allows = [input, can_make](QuantizationStrategy q) {
            return q == input.own || (can_make && can_make(q) && not_above_input(q, input));
        };
    }

    // The adapters plan with this profile (a GPU preset included).
    MeasureFn measure = seams.measure ? seams.measure : measure_with_adapters_on(hw);
    if (store) measure = measure_on_variants(*store, std::move(measure));
    // Measurements take turns, each with the machine to itself: two
    // generations (or a quantizer and a generation) sharing the cores would
    // each time the other, and the figures would not be what a user gets.
    measure = [inner = std::move(measure), turn = std::make_shared<std::mutex>()](
                  const RuntimeConfig& config, const ModelDescription& m, std::string_view prompt) {
        std::lock_guard<std::mutex> hold(*turn);
        return inner(config, m, prompt);
    };
    Result<OptimizationResult> best =
        run_pipeline(model, request.max_latency_ms, hw, measure, &canceller, {}, measurable);
    if (!best) return fail(best.error());
    if (Status confirmed = confirm_winner(*best, model, measure, canceller); !confirmed) return fail(confirmed.error());

    OptimizeOutcome outcome{*best, std::nullopt, std::nullopt};
    Status written = write_output(request.model_path, target, best->config.quantization, input, store.get(), onnx,
                                  canceller);
    if (!written && cancel::is_interrupted(written.error())) return fail(written.error());
    if (written) {
        outcome.output_path = target;
    } else {
        // Never silent: the search's result stands, but the user learns why
        // there is no file.
        outcome.requantize_skipped_reason = written.error().render();
        log_line(fmt::format("[ferrolune] no re-quantized model written: {}", *outcome.requantize_skipped_reason));
    }
    return outcome;
}

}  // namespace ferrolune::optimizer
