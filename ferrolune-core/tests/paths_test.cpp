#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>

#include "ferrolune/core/paths.h"

namespace fs = std::filesystem;
using ferrolune::find_upwards;
using ferrolune::join_path;

TEST(Paths, join_path_never_doubles_a_separator) {
    EXPECT_EQ(join_path("a", "b"), "a/b");
    EXPECT_EQ(join_path("a/", "b"), "a/b");
    EXPECT_EQ(join_path("", "b"), "b");
    EXPECT_EQ(join_path("/", "b"), "/b");
}

TEST(Paths, find_upwards_stops_after_limit_directories) {
    fs::path root = fs::temp_directory_path() / ("ferrolune-paths-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "a/b/c/d");
    fs::create_directories(root / "python/ferrolune");
    std::ofstream(root / "python/ferrolune/x.py") << "";
    std::string deep = (root / "a/b/c/d").string();
    // root is the fifth directory counting d itself.
    EXPECT_EQ(find_upwards(deep, "python/ferrolune/x.py", 5), (root / "python/ferrolune/x.py").string());
    EXPECT_FALSE(find_upwards(deep, "python/ferrolune/x.py", 4));
    EXPECT_FALSE(find_upwards(deep, "python/ferrolune/missing.py", 50));
    fs::remove_all(root);
}

TEST(Paths, file_name_stem_and_extension) {
    using ferrolune::file_extension;
    using ferrolune::file_name;
    using ferrolune::file_stem;
    EXPECT_EQ(file_name("dir/llama.Q4.gguf/"), "llama.Q4.gguf");
    EXPECT_FALSE(file_name("dir/.."));
    EXPECT_FALSE(file_name(""));
    EXPECT_EQ(file_stem("llama.Q4.gguf"), "llama.Q4");
    EXPECT_EQ(file_extension("llama.Q4.gguf"), "gguf");
    // A leading dot alone is not an extension.
    EXPECT_EQ(file_stem(".gguf"), ".gguf");
    EXPECT_FALSE(file_extension(".gguf"));
    EXPECT_EQ(file_extension("model."), "");
}
