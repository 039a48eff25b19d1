// Scratch files for the C++ tests: temporary directories, environment and
// working-directory overrides, and whole-file reads and writes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace ferrolune::testing {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "ferrolune-test-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        // Canonical, so paths built from it compare equal to getcwd's.
        path_ = fs::canonical(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string str(const std::string& name = "") const { return name.empty() ? path_.string() : (path_ / name).string(); }
    // Writes a file of these bytes in the directory and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const;

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

class ScopedCwd {
public:
    explicit ScopedCwd(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
    ~ScopedCwd() {
        std::error_code ec;
        fs::current_path(old_, ec);
    }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    fs::path old_;
};

inline void write_file(const fs::path& p, const std::string& content, std::optional<fs::perms> mode = std::nullopt) {
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << content;
    }
    if (mode) fs::permissions(p, *mode);
}

inline std::string TempDir::write(const std::string& name, const std::string& bytes) const {
    write_file(path_ / name, bytes);
    return str(name);
}

inline std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

}  // namespace ferrolune::testing
