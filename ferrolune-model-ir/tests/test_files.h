// Temporary files for the reader tests.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace ferrolune::testing {

// A private directory removed with everything in it when the test ends.
class TempDir {
public:
    TempDir() {
        std::string templ = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/ferrolune-ir-XXXXXX");
        path_ = ::mkdtemp(templ.data()) ? templ : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

    std::string write(const std::string& name, const std::string& bytes) const {
        std::string p = path_ + "/" + name;
        std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p;
    }

private:
    std::string path_;
};

}  // namespace ferrolune::testing
