#include "ferrolune/export/conversion.h"

#include <gtest/gtest.h>

#include "ferrolune/export/ollama_bundle.h"
#include "ferrolune/runtime/adapter_registry.h"
#include "test_support.h"

namespace ferrolune {
namespace {

using namespace ferrolune::testing;

TEST(ConvertRequest, is_compact_with_keys_in_order_and_no_line_feed) {
    EXPECT_EQ(to_json(ConvertRequest{"a.gguf", "b.onnx"}), R"({"input_path":"a.gguf","output_path":"b.onnx"})");
    EXPECT_EQ(to_json(ConvertRequest{"dir \"q\"\n/a.gguf", "\\b.onnx"}),
              R"({"input_path":"dir \"q\"\n/a.gguf","output_path":"\\b.onnx"})");
}

struct ReplyCase {
    const char* name;
    std::string text;
    bool valid;
    std::optional<std::string> output_path = std::nullopt;
    std::optional<std::string> error = std::nullopt;
};
class Reply : public ::testing::TestWithParam<ReplyCase> {};
TEST_P(Reply, follows_the_reply_rules) {
    const auto& c = GetParam();
    auto r = parse_convert_response(c.text);
    ASSERT_EQ(r.has_value(), c.valid);
    if (!r) return;
    EXPECT_EQ(r->output_path, c.output_path);
    EXPECT_EQ(r->error, c.error);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Reply,
    ::testing::Values(
        ReplyCase{"object", R"({"output_path":"/m.onnx"})", true, "/m.onnx"},
        ReplyCase{"white_space_around", " \r\n\t{\"output_path\": \"p\", \"error\": null}\n\n", true, "p"},
        ReplyCase{"both_members", R"({"error":"boom","output_path":"p"})", true, "p", "boom"},
        ReplyCase{"both_null", R"({"output_path":null,"error":null})", true},
        ReplyCase{"empty_object", "{}", true},
        ReplyCase{"unknown_members_skipped", R"({"log":[1,{"a":{}}],"output_path":"p","n":-1.5e3,"ok":true})", true, "p"},
        ReplyCase{"escapes_decoded", R"({"output_path":"caf\u00e9 \ud83d\ude00\n"})", true, "caf\xC3\xA9 \xF0\x9F\x98\x80\n"},
        ReplyCase{"deeply_nested_unknown_member",
                  "{\"x\":" + std::string(200000, '[') + std::string(200000, ']') + ",\"output_path\":\"p\"}", true, "p"},
        ReplyCase{"array_form", R"(["p",null])", true, "p"},
        ReplyCase{"array_form_error", R"([null,"e"])", true, std::nullopt, "e"},
        ReplyCase{"empty", "", false},
        ReplyCase{"only_white_space", "  \n", false},
        ReplyCase{"log_line_first", "converting...\n{\"output_path\":\"p\"}", false},
        ReplyCase{"second_value", "{\"output_path\":\"p\"}\n{\"output_path\":\"q\"}", false},
        ReplyCase{"trailing_text", R"({"output_path":"p"} done)", false},
        ReplyCase{"duplicate_member", R"({"output_path":"p","output_path":"q"})", false},
        ReplyCase{"duplicate_error", R"({"error":"a","output_path":"p","error":null})", false},
        ReplyCase{"duplicate_unknown", R"({"x":1,"x":2,"output_path":"p"})", false},
        ReplyCase{"number_path", R"({"output_path":5})", false},
        ReplyCase{"bool_error", R"({"error":true})", false},
        ReplyCase{"nested_path", R"({"output_path":["p"]})", false},
        ReplyCase{"array_too_short", R"(["p"])", false},
        ReplyCase{"array_too_long", R"(["p",null,null])", false},
        ReplyCase{"array_empty", "[]", false},
        ReplyCase{"array_nested", R"([["p"],null])", false},
        ReplyCase{"bare_string", R"("p")", false},
        ReplyCase{"bare_null", "null", false},
        ReplyCase{"byte_order_mark", "\xEF\xBB\xBF{\"output_path\":\"p\"}", false},
        ReplyCase{"lone_surrogate", R"({"output_path":"\ud800"})", false},
        ReplyCase{"invalid_utf8", "{\"output_path\":\"\xff\"}", false},
        ReplyCase{"truncated", R"({"output_path":"p")", false},
        ReplyCase{"comment", R"(/* c */{"output_path":"p"})", false},
        ReplyCase{"form_feed_is_not_white_space", "{\"output_path\":\"p\"}\f", false}),
    [](const auto& info) { return std::string(info.param.name); });

struct ScriptCase {
    const char* name;
    std::string body;  // a /bin/sh script
    bool ok;
    std::string expected;  // the output path, or the error text
};
class ConversionScript : public ::testing::TestWithParam<ScriptCase> {};
TEST_P(ConversionScript, turns_the_reply_into_a_result) {
    TempDir tmp;
    auto script = write_script(tmp.path() / "runner.sh", GetParam().body);
    auto r = run_conversion_script("/bin/sh", script.string(), ConvertRequest{"in.gguf", "out.onnx"});
    if (GetParam().ok) {
        ASSERT_TRUE(r) << r.error().render();
        EXPECT_EQ(*r, GetParam().expected);
    } else {
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().render(), GetParam().expected);
        EXPECT_TRUE(r.error().causes().empty());
    }
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ConversionScript,
    ::testing::Values(
        ScriptCase{"relative_path_unchanged", R"(cat >/dev/null; printf '{"output_path":"rel/../out.onnx"}')", true,
                   "rel/../out.onnx"},
        ScriptCase{"error_wins", R"(cat >/dev/null; printf '{"output_path":"p","error":"input is not GGUF"}')", false,
                   "input is not GGUF"},
        ScriptCase{"neither_member", R"(cat >/dev/null; printf '{"output_path":null,"error":null}')", false,
                   "conversion succeeded but no output_path was returned"},
        ScriptCase{"log_before_reply",
                   "cat >/dev/null; echo loading; echo '{\"output_path\":\"p\"}'; printf '  \\n warn: slow \\n' >&2",
                   false, "conversion process returned invalid output (stderr: warn: slow)"},
        ScriptCase{"crash_without_output", "cat >/dev/null; echo 'Traceback: boom' >&2; kill -9 $$", false,
                   "conversion process returned invalid output (stderr: Traceback: boom)"},
        ScriptCase{"stderr_not_utf8", "printf 'bad \\377' >&2; exit 1", false,
                   "conversion process returned invalid output (stderr: bad \xEF\xBF\xBD)"},
        ScriptCase{"non_zero_exit_with_path", R"(cat >/dev/null; echo '{"output_path":"p"}'; exit 7)", true, "p"},
        ScriptCase{"input_left_unread", R"(echo '["p", null]')", true, "p"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConversionScript, request_arrives_whole_on_stdin) {
    TempDir tmp;
    auto script = write_script(tmp.path() / "runner.sh",
                               "cat > " + shell_quote(tmp.str("request")) + "; echo '{\"output_path\":\"x\"}'");
    auto r = run_conversion_script("/bin/sh", script.string(), ConvertRequest{"/m/a \"b\".gguf", "c.onnx"});
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(read_file(tmp.path() / "request"), R"({"input_path":"/m/a \"b\".gguf","output_path":"c.onnx"})");
}

TEST(ConversionScript, interpreter_that_cannot_start_is_reported) {
    TempDir tmp;
    auto r = run_conversion_script(tmp.str("no-python"), "runner.py", ConvertRequest{"a", "b"});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "failed to spawn conversion process: No such file or directory (os error 2)");
}

// convert_via_runner against the real environment: PATH, the working
// directory and FERROLUNE_SOURCE_DIR set by each test.
class ConvertViaRunner : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(tmp.path() / "bin");
        fs::create_directories(tmp.path() / "elsewhere");
    }
    // A python3 that runs its script with /bin/sh, so the runners here are
    // shell scripts; asked about the installed package it fails.
    void add_python3() { write_script(tmp.path() / "bin" / "python3", "exec /bin/sh \"$@\""); }

    TempDir tmp;
    ScopedEnv path{"PATH", tmp.str("bin")};
    ScopedEnv source{"FERROLUNE_SOURCE_DIR", std::nullopt};
};

TEST_F(ConvertViaRunner, missing_python3_is_reported_before_the_script_search) {
    ScopedCwd cwd(tmp.path() / "elsewhere");
    for (auto direction : {ConversionDirection::GgufToOnnx, ConversionDirection::OnnxToGguf}) {
        auto r = convert_via_runner(direction, "a", "b");
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().render(),
                  "required binary 'python3' was not found in PATH \xE2\x80\x94 install Python 3 from https://www.python.org");
        const RuntimeAdapterError* kind = adapter_error_of(r.error());
        ASSERT_NE(kind, nullptr);
        EXPECT_EQ(kind->kind(), RuntimeAdapterError::Kind::NotInstalled);
    }
}

TEST_F(ConvertViaRunner, missing_script_names_the_direction) {
    add_python3();
    ScopedCwd cwd(tmp.path() / "elsewhere");
    auto g = convert_via_runner(ConversionDirection::GgufToOnnx, "a", "b");
    ASSERT_FALSE(g);
    EXPECT_EQ(g.error().render(), "gguf_to_onnx_runner.py not found \xE2\x80\x94 ensure ferrolune is properly installed");
    auto o = convert_via_runner(ConversionDirection::OnnxToGguf, "a", "b");
    ASSERT_FALSE(o);
    EXPECT_EQ(o.error().render(), "onnx_to_gguf_runner.py not found \xE2\x80\x94 ensure ferrolune is properly installed");
}

TEST_F(ConvertViaRunner, runs_the_direction_script_found_from_the_checkout) {
    add_python3();
    const fs::path co = tmp.path() / "co";
    for (const char* name : {"gguf_to_onnx_runner.py", "onnx_to_gguf_runner.py"}) {
        write_script(co / "python" / "ferrolune" / "runners" / name,
                     "/bin/cat > " + shell_quote(tmp.str(std::string(name) + ".request")) + "; printf '{\"output_path\":\"" +
                         name + "\"}'");
    }
    fs::create_directories(co / "x" / "y");
    ScopedCwd cwd(co / "x" / "y");
    auto g = convert_via_runner(ConversionDirection::GgufToOnnx, "m.gguf", "m.onnx");
    ASSERT_TRUE(g) << g.error().render();
    EXPECT_EQ(*g, "gguf_to_onnx_runner.py");
    EXPECT_EQ(read_file(tmp.path() / "gguf_to_onnx_runner.py.request"), R"({"input_path":"m.gguf","output_path":"m.onnx"})");
    auto o = convert_via_runner(ConversionDirection::OnnxToGguf, "m.onnx", "m.gguf");
    ASSERT_TRUE(o) << o.error().render();
    EXPECT_EQ(*o, "onnx_to_gguf_runner.py");
}

struct SelfConversionCase {
    std::string name;
    std::string input;   // relative to the scratch directory, the working directory
    std::string output;  // "@" stands for the scratch directory's absolute path
};

class SelfConversion : public ConvertViaRunner, public ::testing::WithParamInterface<SelfConversionCase> {};

TEST_P(SelfConversion, is_refused_before_the_runner_starts) {
    add_python3();
    // A runner that would overwrite its output and leave a trace that it ran.
    for (const char* name : {"gguf_to_onnx_runner.py", "onnx_to_gguf_runner.py"})
        write_script(tmp.path() / "python" / "ferrolune" / name,
                     "/bin/cat > " + shell_quote(tmp.str("ran")) + "; echo clobbered > \"$1\"");
    write_file(tmp.path() / "m.gguf", "GGUF original");
    fs::create_symlink(tmp.path() / "m.gguf", tmp.path() / "link.gguf");
    fs::create_hard_link(tmp.path() / "m.gguf", tmp.path() / "hard.gguf");
    ScopedCwd cwd(tmp.path());
    std::string output = GetParam().output;
    if (output.starts_with("@")) output = tmp.str() + output.substr(1);
    for (auto direction : {ConversionDirection::GgufToOnnx, ConversionDirection::OnnxToGguf}) {
        auto r = convert_via_runner(direction, GetParam().input, output);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().render(), "refusing to convert '" + GetParam().input +
                                          "' onto itself: the output path names the input file");
    }
    EXPECT_FALSE(fs::exists(tmp.path() / "ran"));
    EXPECT_EQ(read_file(tmp.path() / "m.gguf"), "GGUF original");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SelfConversion,
    ::testing::Values(SelfConversionCase{"same_text", "m.gguf", "m.gguf"},
                      SelfConversionCase{"dot_slash", "m.gguf", "./m.gguf"},
                      SelfConversionCase{"absolute", "m.gguf", "@/m.gguf"},
                      SelfConversionCase{"symlink_input", "link.gguf", "m.gguf"},
                      SelfConversionCase{"hard_link", "hard.gguf", "m.gguf"}),
    [](const ::testing::TestParamInfo<SelfConversionCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ferrolune
