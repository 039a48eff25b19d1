#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ferrolune/core/executable.h"

namespace fs = std::filesystem;
using ferrolune::find_executable_in;

class ExecutableLookup : public ::testing::Test {
protected:
    fs::path root;
    void SetUp() override {
        root = fs::temp_directory_path() / ("ferrolune-exe-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "a");
        fs::create_directories(root / "b");
        fs::create_directories(root / "home/bin");
    }
    void TearDown() override { fs::remove_all(root); }
    void make(const fs::path& p, bool exec) {
        std::ofstream(p) << "#!/bin/sh\n";
        ::chmod(p.c_str(), exec ? 0755 : 0644);
    }
};

TEST_F(ExecutableLookup, unset_path_finds_nothing) { EXPECT_FALSE(find_executable_in("sh", nullptr, nullptr)); }

TEST_F(ExecutableLookup, skips_non_executable_and_returns_later_entry) {
    make(root / "a/tool", false);
    make(root / "b/tool", true);
    std::string path = (root / "a").string() + ":" + (root / "b").string();
    EXPECT_EQ(find_executable_in("tool", path.c_str(), nullptr), (root / "b/tool").string());
}

TEST_F(ExecutableLookup, directories_are_not_programs) {
    fs::create_directories(root / "a/tool");
    std::string path = (root / "a").string();
    EXPECT_FALSE(find_executable_in("tool", path.c_str(), nullptr));
}

TEST_F(ExecutableLookup, tilde_entry_is_searched_under_home) {
    make(root / "home/bin/tool", true);
    std::string home = (root / "home").string();
    EXPECT_EQ(find_executable_in("tool", "~/bin", home.c_str()), home + "/bin/tool");
}

TEST_F(ExecutableLookup, name_with_slash_ignores_path) {
    make(root / "a/tool", true);
    std::string abs = (root / "a/tool").string();
    EXPECT_EQ(find_executable_in(abs, "", nullptr), abs);
    EXPECT_FALSE(find_executable_in((root / "a/missing").string(), "/bin", nullptr));
}
