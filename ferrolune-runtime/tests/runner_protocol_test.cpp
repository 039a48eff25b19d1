#include "ferrolune/runtime/runner_protocol.h"

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "ferrolune/core/paths.h"
#include "ferrolune/runtime/python_interpreter.h"
#include "test_support.h"

namespace ferrolune {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::shell_quote;
using testing::TempDir;
using testing::write_file;

fs::path write_script(const fs::path& p, const std::string& body) {
    write_file(p, "#!/bin/sh\n" + body + "\n", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    return p;
}

constexpr const char* kName = "gguf_to_onnx_runner.py";

// A checkout-like tree: <root>/co/python/ferrolune/runners/<runner>, with a
// chain of six directories below co.
class RunnerSearch : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(checkout() / relative(), "# runner\n");
        fs::create_directories(below(6));
    }
    static std::string relative() { return runner::checkout_path(kName); }
    fs::path checkout() const { return tmp.path() / "co"; }
    fs::path below(int levels) const {
        fs::path p = checkout();
        for (int i = 1; i <= levels; ++i) p /= "d" + std::to_string(i);
        return p;
    }
    std::string in_checkout() const { return (checkout() / relative()).string(); }

    TempDir tmp;
};

TEST_F(RunnerSearch, checkout_path_is_the_runners_subpackage) {
    EXPECT_EQ(runner::checkout_path("onnx_runner.py"), "python/ferrolune/runners/onnx_runner.py");
}

struct WalkCase {
    const char* name;
    bool from_working_dir;  // else from the source directory
    int levels;
    bool found;
};
class RunnerWalk : public RunnerSearch, public ::testing::WithParamInterface<WalkCase> {};

// The working directory and five ancestors, the source directory and four.
TEST_P(RunnerWalk, reaches_its_number_of_ancestors) {
    runner::SearchPlaces places;
    (GetParam().from_working_dir ? places.working_dir : places.source_dir) = below(GetParam().levels).string();
    auto found = runner::find_script(kName, places);
    ASSERT_EQ(found.has_value(), GetParam().found);
    if (found) EXPECT_EQ(fs::canonical(*found), fs::canonical(in_checkout()));
}
INSTANTIATE_TEST_SUITE_P(Depths, RunnerWalk,
                         ::testing::Values(WalkCase{"working_dir_itself", true, 0, true},
                                           WalkCase{"working_dir_five_up", true, 5, true},
                                           WalkCase{"working_dir_six_up", true, 6, false},
                                           WalkCase{"source_dir_itself", false, 0, true},
                                           WalkCase{"source_dir_one_up", false, 1, true},
                                           WalkCase{"source_dir_four_up", false, 4, true},
                                           WalkCase{"source_dir_five_up", false, 5, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunnerSearch, relative_source_directory_walks_to_the_working_directory) {
    testing::ScopedCwd cwd(checkout());
    runner::SearchPlaces places;
    places.source_dir = "d1/d2";
    auto found = runner::find_script(kName, places);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, relative());
}

// Each place holds its own copy; the earliest place that is set wins.
TEST_F(RunnerSearch, places_are_tried_in_order) {
    const fs::path exe = tmp.path() / "exe";
    const fs::path ext = tmp.path() / "site" / "ferrolune";
    const fs::path installed = tmp.path() / "installed" / kName;
    const fs::path src = tmp.path() / "src-co";
    write_file(exe / relative(), "");
    write_file(ext / "runners" / kName, "");
    write_file(installed, "");
    write_file(src / relative(), "");
    auto python = write_script(tmp.path() / "python3",
                               "printf '%s' \"$2\" > " + shell_quote(tmp.str("program")) + "; printf ' \\n%s\\n\\n' " +
                                   shell_quote(installed.string()));

    runner::SearchPlaces places{exe.string(), below(2).string(), src.string(), ext.string(), python.string()};
    EXPECT_EQ(runner::find_script(kName, places), join_path(exe.string(), relative()));
    places.executable_dir.reset();
    EXPECT_EQ(runner::find_script(kName, places), join_path(below(0).string(), relative()));
    places.working_dir.reset();
    EXPECT_EQ(runner::find_script(kName, places), join_path(src.string(), relative()));
    places.source_dir.reset();
    EXPECT_EQ(runner::find_script(kName, places), (ext / "runners" / kName).string());
    EXPECT_FALSE(fs::exists(tmp.path() / "program"));  // the interpreter not asked while something earlier answers
    places.extension_dir.reset();
    EXPECT_EQ(runner::find_script(kName, places), installed.string());
    EXPECT_EQ(read_file(tmp.path() / "program"),
              "import ferrolune, os; print(os.path.join(os.path.dirname(ferrolune.__file__), 'runners', "
              "'gguf_to_onnx_runner.py'))");
}

// A script left beside the extension module by an older layout is not a
// runner any more.
TEST_F(RunnerSearch, script_directly_beside_the_extension_is_not_used) {
    runner::SearchPlaces places;
    places.extension_dir = (tmp.path() / "site").string();
    write_file(tmp.path() / "site" / kName, "");
    EXPECT_FALSE(runner::find_script(kName, places));
}

struct PackageQueryCase {
    const char* name;
    std::string body;
};
class InstalledPackageQuery : public ::testing::TestWithParam<PackageQueryCase> {};
TEST_P(InstalledPackageQuery, unusable_answer_ends_the_search_empty) {
    TempDir tmp;
    write_file(tmp.path() / "real" / kName, "");
    std::string body = GetParam().body;
    for (size_t at; (at = body.find("@REAL@")) != std::string::npos;)
        body.replace(at, 6, (tmp.path() / "real" / kName).string());
    runner::SearchPlaces places;
    places.python = write_script(tmp.path() / "python3", body).string();
    EXPECT_FALSE(runner::find_script(kName, places));
}
INSTANTIATE_TEST_SUITE_P(Cases, InstalledPackageQuery,
                         ::testing::Values(PackageQueryCase{"failing_import", "echo @REAL@; exit 1"},
                                           PackageQueryCase{"missing_file", "echo /nonexistent/gguf_to_onnx_runner.py"},
                                           PackageQueryCase{"nothing_printed", "exit 0"},
                                           PackageQueryCase{"killed", "echo @REAL@; kill -9 $$"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScriptCommand, pipes_the_request_to_the_script) {
    process::Command cmd = runner::script_command("/py", "/s.py", R"({"a":1})");
    EXPECT_EQ(cmd.program, "/py");
    EXPECT_EQ(cmd.args, std::vector<std::string>{"/s.py"});
    EXPECT_EQ(cmd.stdin_mode, process::Input::Pipe);
    EXPECT_EQ(cmd.stdin_data, R"({"a":1})");
}

struct ReplyCase {
    const char* name;
    std::string text;
    bool valid;
};
class StrictReply : public ::testing::TestWithParam<ReplyCase> {};
TEST_P(StrictReply, is_one_object_or_array_and_nothing_else) {
    EXPECT_EQ(runner::parse_reply(GetParam().text).has_value(), GetParam().valid);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, StrictReply,
    ::testing::Values(ReplyCase{"object", R"({"a":1})", true}, ReplyCase{"array", "[1,2]", true},
                      ReplyCase{"white_space_around", " \r\n\t{}\n", true},
                      ReplyCase{"nested_repeat_is_inside_a_member", R"({"a":{"b":1,"b":2}})", true},
                      ReplyCase{"repeated_member", R"({"a":1,"a":1})", false},
                      ReplyCase{"second_value", "{}\n{}", false}, ReplyCase{"trailing_text", "{} ok", false},
                      ReplyCase{"bare_number", "5", false}, ReplyCase{"bare_string", R"("x")", false},
                      ReplyCase{"empty", "", false}, ReplyCase{"byte_order_mark", "\xEF\xBB\xBF{}", false},
                      ReplyCase{"comment", "/* c */{}", false}),
    [](const auto& info) { return std::string(info.param.name); });

// FERROLUNE_PYTHON, then the host interpreter, then python3 on PATH; each
// only when it is an executable file.
struct ChoiceCase {
    const char* name;
    bool env_set, env_usable, host_set, host_usable, path_python;
    const char* want;  // "env", "host", "path" or "" for none
};
class PythonChoice : public ::testing::TestWithParam<ChoiceCase> {};
TEST_P(PythonChoice, takes_the_first_usable_interpreter) {
    const ChoiceCase& c = GetParam();
    testing::FakeTools tools(true);
    TempDir elsewhere;
    if (c.path_python) tools.add("python3", "exit 0");
    auto named = c.env_usable ? write_script(elsewhere.path() / "env-python", "exit 0") : elsewhere.path() / "absent";
    auto host = c.host_usable ? write_script(elsewhere.path() / "host-python", "exit 0") : elsewhere.path() / "gone";
    testing::ScopedEnv env("FERROLUNE_PYTHON", c.env_set ? std::optional(named.string()) : std::nullopt);
    set_host_interpreter(c.host_set ? host.string() : "");
    auto chosen = choose_python();
    set_host_interpreter("");
    const std::string want = c.want;
    if (want.empty()) {
        EXPECT_FALSE(chosen);
        return;
    }
    ASSERT_TRUE(chosen);
    if (want == "env") EXPECT_EQ(*chosen, named.string());
    if (want == "host") EXPECT_EQ(*chosen, host.string());
    if (want == "path") EXPECT_EQ(*chosen, (tools.dir().path() / "python3").string());
}
INSTANTIATE_TEST_SUITE_P(
    Cases, PythonChoice,
    ::testing::Values(ChoiceCase{"named_wins_over_host", true, true, true, true, true, "env"},
                      ChoiceCase{"host_before_path", false, false, true, true, true, "host"},
                      ChoiceCase{"unusable_name_falls_to_host", true, false, true, true, true, "host"},
                      ChoiceCase{"path_only_when_neither", true, false, true, false, true, "path"},
                      ChoiceCase{"no_host_set_uses_path", false, false, false, false, true, "path"},
                      ChoiceCase{"named_without_host_or_path", true, true, false, false, false, "env"},
                      ChoiceCase{"none_usable", true, false, true, false, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PythonChoice, named_interpreter_may_be_a_bare_name_on_path) {
    testing::FakeTools tools(true);
    tools.add("python3.99", "exit 0");
    testing::ScopedEnv env("FERROLUNE_PYTHON", "python3.99");
    EXPECT_EQ(choose_python(), (tools.dir().path() / "python3.99").string());
}

}  // namespace
}  // namespace ferrolune
