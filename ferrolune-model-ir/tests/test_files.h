// Temporary files for the reader tests.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <utility>

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

// Runs `f` and returns its result, ending the whole test program when it
// takes longer than a minute: a reader that blocks on a FIFO or reads an
// endless device would otherwise hang the suite instead of failing it.
template <typename F>
auto within_time_limit(F f) {
    auto task = std::async(std::launch::async, std::move(f));
    if (task.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "the call did not return within its time limit\n");
        std::_Exit(1);
    }
    return task.get();
}

}  // namespace ferrolune::testing
