// Temporary directories, environment overrides and fake tools for the
// adapter tests. A fake tool is a small shell script written by the test
// into a directory that is put first on PATH.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ferrolune/runtime/adapter_registry.h"
#include "ferrolune/testing/scratch.h"

// The interpreter with onnx, onnxruntime and gguf, and the checkout, as the
// build names them; tests that run real Python code use these.
#ifndef FERROLUNE_TEST_PYTHON
#define FERROLUNE_TEST_PYTHON "python3"
#endif
#ifndef FERROLUNE_TEST_SOURCE_DIR
#define FERROLUNE_TEST_SOURCE_DIR "."
#endif

namespace ferrolune::testing {

namespace fs = std::filesystem;

// The arguments a fake tool recorded (NUL-separated, one invocation per file).
inline std::vector<std::string> read_args(const fs::path& p) {
    std::vector<std::string> args;
    std::string all = read_file(p), cur;
    for (char c : all) {
        if (c == '\0') {
            args.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    return args;
}

// A directory of fake tools placed first on PATH for the fixture's lifetime.
class FakeTools {
public:
    // With `only_fakes`, PATH holds nothing but the fake directory, so no
    // system python3 or tool can be found.
    explicit FakeTools(bool only_fakes = false)
        : path_env_("PATH", only_fakes ? dir_.str() : dir_.str() + ":/usr/bin:/bin") {}

    // Writes an executable /bin/sh script `name` whose body is `body`.
    // Every invocation first records its arguments into `<name>.args`.
    fs::path add(const std::string& name, const std::string& body) {
        fs::path p = dir_.path() / name;
        write_file(p, "#!/bin/sh\nPATH=\"$PATH:/usr/bin:/bin\"\nprintf '%s\\0' \"$@\" > '" + args_file(name).string() + "'\n" + body + "\n");
        ::chmod(p.c_str(), 0755);
        return p;
    }
    fs::path args_file(const std::string& name) const { return dir_.path() / (name + ".args"); }
    std::vector<std::string> args(const std::string& name) const { return read_args(args_file(name)); }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    ScopedEnv path_env_;
};

// A here-document that prints `text` exactly (no trailing line feed added).
inline std::string print_text(const std::string& text, bool to_stderr = false) {
    return "printf '%s' " + shell_quote(text) + (to_stderr ? " >&2" : "");
}

inline const RuntimeAdapterError& adapter_error(const Error& e) {
    const RuntimeAdapterError* a = adapter_error_of(e);
    if (!a) throw std::runtime_error("not an adapter error: " + e.render());
    return *a;
}

// A parsed tool reply against the expected metrics, or, when none are
// expected, against the InferenceFailed text with `reason`.
inline void expect_reply(const Result<BenchmarkResult>& r, const std::optional<BenchmarkResult>& ok,
                         const std::string& reason) {
    ASSERT_EQ(r.has_value(), ok.has_value()) << (r ? "" : r.error().render());
    if (r) {
        EXPECT_DOUBLE_EQ(r->tokens_per_sec, ok->tokens_per_sec);
        EXPECT_DOUBLE_EQ(r->latency_ms, ok->latency_ms);
        EXPECT_EQ(r->peak_memory_mb, ok->peak_memory_mb);
    } else {
        EXPECT_EQ(r.error().render(), "inference failed: " + reason);
        EXPECT_EQ(adapter_error(r.error()).kind(), RuntimeAdapterError::Kind::InferenceFailed);
    }
}

inline RuntimeConfig config(RuntimeKind kind, QuantizationStrategy q = QuantizationStrategy::Q4_K_M,
                            uint32_t threads = 4, uint32_t batch = 1, uint32_t gpu_layers = 0) {
    return RuntimeConfig{kind, q, threads, batch, gpu_layers};
}

inline ModelDescription model(std::string path, ModelFormat format, std::optional<uint64_t> params = std::nullopt) {
    ModelDescription m;
    m.path = std::move(path);
    m.format = format;
    m.param_count = params;
    return m;
}

}  // namespace ferrolune::testing
