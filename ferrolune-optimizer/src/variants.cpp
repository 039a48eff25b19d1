#include "ferrolune/optimizer/variants.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include <sys/statvfs.h>

#include <fmt/format.h>

#include "ferrolune/core/executable.h"
#include "ferrolune/core/paths.h"
#include "ferrolune/runtime/llamacpp_adapter.h"
#include "log.h"

namespace ferrolune::optimizer {

namespace {

constexpr double kF32Bits = 32.0;
// An input of unknown type is sized as a 16-bit file: the common case, and
// a quantized input is smaller, so the estimate errs on the safe side.
constexpr double kUnknownInputBits = 16.0;

std::string megabytes(double bytes) { return fmt::format("{:.0f}", bytes / 1'000'000.0); }

}  // namespace

double bits_per_weight(QuantizationStrategy q) {
    switch (q) {
        case QuantizationStrategy::F16: return 16.0;
        case QuantizationStrategy::Q8_0:
        case QuantizationStrategy::Int8: return 8.5;
        case QuantizationStrategy::Q4_K_M: return 4.85;
        case QuantizationStrategy::Q4_0:
        case QuantizationStrategy::Int4: return 4.5;
    }
    return 16.0;
}

InputQuantization gguf_input_quantization(std::optional<uint32_t> file_type) {
    using Q = QuantizationStrategy;
    if (!file_type) return {};
    switch (*file_type) {
        case 0: return {std::nullopt, kF32Bits};
        case 1: return {Q::F16, bits_per_weight(Q::F16)};
        case 7: return {Q::Q8_0, bits_per_weight(Q::Q8_0)};
        case 15: return {Q::Q4_K_M, bits_per_weight(Q::Q4_K_M)};
        case 2: return {Q::Q4_0, bits_per_weight(Q::Q4_0)};
        default: return {};
    }
}

bool not_above_input(QuantizationStrategy q, const InputQuantization& input) {
    if (input.own == q) return true;
    return !input.bits_per_weight || bits_per_weight(q) <= *input.bits_per_weight;
}

Result<uint64_t> statvfs_free_bytes(const std::string& directory) {
    struct statvfs st {};
    if (::statvfs(directory.c_str(), &st) != 0) return failf("statvfs {}: {}", directory, std::strerror(errno));
    return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

Result<std::unique_ptr<VariantStore>> VariantStore::create(Options options) {
    const std::string parent = options.directory.empty() ? std::string(".") : options.directory;
    // Hidden, so a listing of the user's directory does not show it while
    // the search runs.
    std::string pattern = join_path(parent, ".ferrolune-variants-XXXXXX");
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        return failf("cannot create a private directory in '{}': {}", parent, std::strerror(errno));
    std::string dir(buf.data());
    return std::unique_ptr<VariantStore>(new VariantStore(std::move(options), std::move(dir)));
}

VariantStore::VariantStore(Options options, std::string private_dir)
    : options_(std::move(options)), private_dir_(std::move(private_dir)) {}

VariantStore::~VariantStore() {
    // Whatever was made and not taken goes, partial files of a stopped
    // maker included.
    std::error_code ec;
    std::filesystem::remove_all(private_dir_, ec);
}

std::string VariantStore::scratch_path(std::string_view name) const { return join_path(private_dir_, name); }

Result<std::string> VariantStore::file_for(QuantizationStrategy q) {
    if (options_.input.own == q) return options_.input_path;
    Slot* slot = nullptr;
    {
        std::lock_guard lock(slots_mutex_);
        auto& entry = slots_[q];
        if (!entry) entry = std::make_unique<Slot>();
        slot = entry.get();
    }
    // Per type: a second thread asking for the same variant waits for the
    // first one's file instead of making another; other types go ahead.
    std::lock_guard lock(slot->mutex);
    if (!slot->made) slot->made.emplace(make(q));
    if (!*slot->made) return fail(slot->made->error());
    return **slot->made;
}

Result<std::string> VariantStore::make(QuantizationStrategy q) {
    const std::string target = scratch_path(fmt::format("{}{}", to_string(q), options_.extension));
    std::error_code ec;
    const uintmax_t input_bytes = std::filesystem::file_size(options_.input_path, ec);
    if (!ec) {
        const double input_bits = options_.input.bits_per_weight.value_or(kUnknownInputBits);
        const double needed = static_cast<double>(input_bytes) * bits_per_weight(q) / input_bits;
        Result<uint64_t> free_bytes = options_.free_space(private_dir_);
        if (free_bytes && static_cast<double>(*free_bytes) < needed) {
            std::string reason =
                fmt::format("not enough free space for the {} file: it needs about {} MB, {} MB are free in '{}'",
                            to_string(q), megabytes(needed), megabytes(static_cast<double>(*free_bytes)),
                            options_.directory.empty() ? std::string(".") : options_.directory);
            log_line(fmt::format("[ferrolune] skipping {}: {}", to_string(q), reason));
            return fail(std::move(reason));
        }
    }
    if (Status made = options_.make(options_.input_path, target, q); !made) return fail(made.error());
    // A maker that says it succeeded but left no file would have every
    // configuration of the type fail on a missing model: say it here.
    if (!path_exists(target)) return failf("the {} file was not written at '{}'", to_string(q), target);
    return target;
}

std::optional<std::string> VariantStore::take(QuantizationStrategy q) {
    std::lock_guard lock(slots_mutex_);
    auto it = slots_.find(q);
    if (it == slots_.end()) return std::nullopt;
    std::lock_guard slot_lock(it->second->mutex);
    std::optional<Result<std::string>>& made = it->second->made;
    if (!made || !*made) return std::nullopt;
    std::string path = **made;
    made.reset();
    return path;
}

bool measuring_tool_installed(RuntimeKind runtime) {
    switch (runtime) {
        case RuntimeKind::LlamaCpp: return find_llama_measuring_tool().has_value();
        case RuntimeKind::Ollama: return find_executable("ollama").has_value();
        case RuntimeKind::OnnxRuntime:
        case RuntimeKind::TensorRT:
        case RuntimeKind::Vllm: return true;
    }
    return true;
}

MeasureFn measure_on_variants(VariantStore& store, MeasureFn measure,
                              std::function<bool(RuntimeKind)> tool_installed) {
    return [&store, measure = std::move(measure), tool_installed = std::move(tool_installed)](
               const RuntimeConfig& config, const ModelDescription& model,
               std::string_view prompt) -> Result<BenchmarkResult> {
        // No file is worth making for a runtime that cannot run at all: the
        // measurement itself says what is missing (and the estimates may
        // stand in), without reading the model.
        if (tool_installed && !tool_installed(config.runtime)) return measure(config, model, prompt);
        Result<std::string> file = store.file_for(config.quantization);
        if (!file) return fail(file.error());
        ModelDescription on_file = model;
        on_file.path = std::move(*file);
        return measure(config, on_file, prompt);
    };
}

}  // namespace ferrolune::optimizer
