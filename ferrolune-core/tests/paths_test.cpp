#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>

#include "ferrolune/core/paths.h"
#include "ferrolune/testing/scratch.h"

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

namespace {

struct SameFileCase {
    std::string name;
    std::string input;
    std::string output;
    bool same;
};

// Run inside a scratch directory holding m.gguf, its hard link hard.gguf,
// a symbolic link link.gguf to it, a directory sub/, and other.gguf.
class NamesSameFile : public ::testing::TestWithParam<SameFileCase> {};

}  // namespace

TEST_P(NamesSameFile, sees_every_name_of_the_input) {
    ferrolune::testing::TempDir tmp;
    ferrolune::testing::write_file(tmp.path() / "m.gguf", "GGUF");
    ferrolune::testing::write_file(tmp.path() / "other.gguf", "GGUF");
    fs::create_hard_link(tmp.path() / "m.gguf", tmp.path() / "hard.gguf");
    fs::create_symlink(tmp.path() / "m.gguf", tmp.path() / "link.gguf");
    fs::create_directories(tmp.path() / "sub");
    ferrolune::testing::ScopedCwd cwd(tmp.path());
    auto expand = [&](const std::string& p) {
        return p.starts_with("@") ? tmp.str() + p.substr(1) : p;
    };
    EXPECT_EQ(ferrolune::names_same_file(expand(GetParam().input), expand(GetParam().output)), GetParam().same);
}

// "@" stands for the scratch directory's absolute path.
INSTANTIATE_TEST_SUITE_P(
    Paths, NamesSameFile,
    ::testing::Values(SameFileCase{"same_text", "m.gguf", "m.gguf", true},
                      SameFileCase{"dot_slash_spelling", "m.gguf", "./m.gguf", true},
                      SameFileCase{"absolute_spelling", "m.gguf", "@/m.gguf", true},
                      SameFileCase{"repeated_separators", "@//m.gguf", "@/./m.gguf", true},
                      SameFileCase{"symlink_as_input", "link.gguf", "m.gguf", true},
                      SameFileCase{"symlink_as_output", "m.gguf", "link.gguf", true},
                      SameFileCase{"hard_link", "hard.gguf", "m.gguf", true},
                      SameFileCase{"through_parent_component", "m.gguf", "sub/../m.gguf", true},
                      SameFileCase{"another_file", "m.gguf", "other.gguf", false},
                      SameFileCase{"new_output", "m.gguf", "m.onnx", false},
                      SameFileCase{"missing_input_other_name", "gone.gguf", "gone.onnx", false},
                      SameFileCase{"missing_input_same_name", "gone.gguf", "./gone.gguf", true}),
    [](const ::testing::TestParamInfo<SameFileCase>& info) { return info.param.name; });
