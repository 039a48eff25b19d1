// Files of each quantization the search measures: a configuration is only
// as true as the file it ran on, so every quantization is measured on a
// file of that quantization. The input's own type is the input itself;
// every other type is made once per optimize call, lazily, in a private
// directory beside the output (one filesystem, so the winner is renamed
// into place), and the directory goes when the store does.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ferrolune/core/error.h"
#include "ferrolune/optimizer/benchmark.h"
#include "ferrolune/runtime/run_records.h"

namespace ferrolune::optimizer {

// What the input file is, as far as quantization goes.
struct InputQuantization {
    // The input's own type when it is one of the strategies: measured on
    // the input itself, never made.
    std::optional<QuantizationStrategy> own;
    // Bits per weight of the input's type; nothing when the type is unknown.
    std::optional<double> bits_per_weight;
};

// llama.cpp's general.file_type: 0 F32, 1 F16, 7 Q8_0, 15 Q4_K_M, 2 Q4_0.
// F32 is known but none of the strategies; any other value is unknown.
InputQuantization gguf_input_quantization(std::optional<uint32_t> file_type);

// Average bits per weight of a quantization's files, for free-space
// estimates and the precision order.
double bits_per_weight(QuantizationStrategy q);

// Whether `q` keeps less than the input holds, or as much: a type of higher
// precision than the input adds size, not accuracy. With an unknown input
// every type is allowed (the maker refuses what it cannot do).
bool not_above_input(QuantizationStrategy q, const InputQuantization& input);

// Makes the `q` file of `input` at `output`.
using MakeVariantFn = std::function<Status(std::string_view input, std::string_view output, QuantizationStrategy q)>;
// Bytes free for an unprivileged writer in `directory`, or an error.
using FreeSpaceFn = std::function<Result<uint64_t>(const std::string& directory)>;

// statvfs's f_bavail * f_frsize.
Result<uint64_t> statvfs_free_bytes(const std::string& directory);

class VariantStore {
public:
    struct Options {
        std::string input_path;
        InputQuantization input;
        std::string directory;   // where the private directory is created
        std::string extension;   // ".gguf" or ".onnx"
        MakeVariantFn make;
        FreeSpaceFn free_space = statvfs_free_bytes;
    };

    // Creates the private directory; an error when it cannot be created.
    static Result<std::unique_ptr<VariantStore>> create(Options options);
    ~VariantStore();
    VariantStore(const VariantStore&) = delete;
    VariantStore& operator=(const VariantStore&) = delete;

    // The file a configuration of `q` is measured on: the input for its own
    // type, else the variant, made the first time it is asked for (once,
    // however many threads ask at once). A variant that cannot be made (no
    // room, the maker failed) stays failed with the same reason.
    Result<std::string> file_for(QuantizationStrategy q);

    // The made variant of `q`, when there is one, handed over: the caller
    // renames it away (the store then has nothing left to remove of it).
    std::optional<std::string> take(QuantizationStrategy q);

    // A path in the private directory for a file the caller writes there.
    std::string scratch_path(std::string_view name) const;

    const std::string& directory() const { return private_dir_; }

private:
    struct Slot {
        std::mutex mutex;
        std::optional<Result<std::string>> made;
    };
    VariantStore(Options options, std::string private_dir);
    Result<std::string> make(QuantizationStrategy q);

    Options options_;
    std::string private_dir_;
    std::mutex slots_mutex_;
    std::map<QuantizationStrategy, std::unique_ptr<Slot>> slots_;
};

// Whether the program that measures `runtime` is on PATH (llama.cpp's
// tools, ollama); runtimes measured through runner scripts count as there.
bool measuring_tool_installed(RuntimeKind runtime);

// `measure` run on the file of each configuration's quantization: the
// model description's path becomes that file's. A configuration whose file
// cannot be had fails with the reason and is not measured. A runtime whose
// tool is missing is handed the input unchanged, so that it fails with its
// own reason and no file is made for nothing.
MeasureFn measure_on_variants(VariantStore& store, MeasureFn measure,
                              std::function<bool(RuntimeKind)> tool_installed = measuring_tool_installed);

}  // namespace ferrolune::optimizer
