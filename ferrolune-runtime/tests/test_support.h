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

namespace ferrolune::testing {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "ferrolune-rt-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string str(const std::string& name = "") const { return name.empty() ? path_.string() : (path_ / name).string(); }

private:
    fs::path path_;
};

// Sets (or with nullopt unsets) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        if (value) ::setenv(name_.c_str(), value->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

inline void write_file(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

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

inline std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

// A here-document that prints `text` exactly (no trailing line feed added).
inline std::string print_text(const std::string& text, bool to_stderr = false) {
    return "printf '%s' " + shell_quote(text) + (to_stderr ? " >&2" : "");
}

inline const RuntimeAdapterError& adapter_error(const Error& e) {
    const RuntimeAdapterError* a = adapter_error_of(e);
    if (!a) throw std::runtime_error("not an adapter error: " + e.render());
    return *a;
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
