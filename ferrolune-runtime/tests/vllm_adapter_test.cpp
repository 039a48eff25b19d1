#include "ferrolune/runtime/vllm_adapter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "test_support.h"

namespace ferrolune {
namespace {

using testing::adapter_error;
using Kind = RuntimeAdapterError::Kind;

TEST(VllmScript, fills_path_dtype_and_prompt) {
    EXPECT_EQ(vllm_script("/m/x.gguf", QuantizationStrategy::Int8, "hi"),
              "\n"
              "import time, json, sys\n"
              "try:\n"
              "    from vllm import LLM, SamplingParams\n"
              "    llm = LLM(model=\"/m/x.gguf\", dtype=\"float8_e4m3fn\", max_model_len=512)\n"
              "    params = SamplingParams(max_tokens=50)\n"
              "    t0 = time.perf_counter()\n"
              "    out = llm.generate([\"hi\"], params)\n"
              "    elapsed_s = time.perf_counter() - t0\n"
              "    tokens = sum(len(o.outputs[0].token_ids) for o in out)\n"
              "    tps = tokens / elapsed_s if elapsed_s > 0 else 0.0\n"
              "    print(json.dumps({\"tokens\": tokens, \"elapsed_s\": elapsed_s, \"tps\": tps}))\n"
              "except Exception as e:\n"
              "    print(json.dumps({\"error\": str(e)}), file=sys.stderr)\n"
              "    sys.exit(1)\n");
    EXPECT_THAT(vllm_script("/m", QuantizationStrategy::Q4_K_M, ""), ::testing::HasSubstr("dtype=\"float16\""));
}

struct EscapeCase {
    const char* name;
    std::string in;
    std::string out;
};

class PythonStringBody : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(PythonStringBody, cannot_end_the_literal) { EXPECT_EQ(python_string_body(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(Texts, PythonStringBody,
                         ::testing::Values(EscapeCase{"quote_and_backslash", R"(say "hi" \ ok)", R"(say \"hi\" \\ ok)"},
                                           EscapeCase{"escaped_quote", R"(\")", R"(\\\")"},
                                           EscapeCase{"line_ends_and_tab", "a\nb\r\tc", R"(a\nb\r\tc)"},
                                           EscapeCase{"nul_escape_and_delete", std::string("\0\x1b\x7f", 3), R"(\x00\x1b\x7f)"},
                                           EscapeCase{"non_ascii_stays", "Ünïcödé ✓", "Ünïcödé ✓"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ReplyCase {
    const char* name;
    std::string reply;
    std::optional<std::pair<double, double>> ok;
};

class VllmReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(VllmReply, needs_positive_numbers) {
    auto r = parse_vllm_reply(GetParam().reply);
    ASSERT_EQ(r.has_value(), GetParam().ok.has_value());
    if (r) {
        EXPECT_DOUBLE_EQ(r->tokens_per_sec, GetParam().ok->first);
        EXPECT_DOUBLE_EQ(r->latency_ms, GetParam().ok->second);
    } else {
        EXPECT_EQ(r.error().render(), "inference failed: could not parse vLLM JSON output: " + GetParam().reply);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, VllmReply,
    ::testing::Values(ReplyCase{"Good", R"({"tokens": 50, "elapsed_s": 2.5, "tps": 20})", std::pair{20.0, 2500.0}},
                      ReplyCase{"ZeroTps", R"({"tokens": 0, "elapsed_s": 0.0, "tps": 0.0})", std::nullopt},
                      ReplyCase{"StringTps", R"({"elapsed_s": 1, "tps": "20"})", std::nullopt},
                      ReplyCase{"MissingElapsed", R"({"tps": 20})", std::nullopt},
                      ReplyCase{"LogLineBefore", "INFO loading\n{\"elapsed_s\": 1, \"tps\": 2}", std::nullopt},
                      ReplyCase{"Array", "[1, 2]", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// A stand-in vllm package on PYTHONPATH that records what LLM() was given
// and answers generate() with 50 tokens, run by the real interpreter.
class VllmRun : public ::testing::Test {
protected:
    testing::TempDir work;
    testing::FakeTools tools;
    std::optional<testing::ScopedEnv> pythonpath;
    VllmAdapter adapter;

    void SetUp() override {
        std::error_code ec;
        std::filesystem::create_symlink(FERROLUNE_TEST_PYTHON, tools.dir().path() / "python3", ec);
        ASSERT_FALSE(ec) << ec.message();
        testing::write_file(work.path() / "pkgs/vllm/__init__.py",
                            "import json, os\n"
                            "class SamplingParams:\n"
                            "    def __init__(self, max_tokens): self.max_tokens = max_tokens\n"
                            "class _Out:\n"
                            "    token_ids = list(range(50))\n"
                            "class _Req:\n"
                            "    outputs = [_Out()]\n"
                            "class LLM:\n"
                            "    def __init__(self, model, dtype, max_model_len):\n"
                            "        with open(os.environ['FAKE_VLLM_LOG'], 'w') as f:\n"
                            "            json.dump({'model': model, 'dtype': dtype}, f)\n"
                            "    def generate(self, prompts, params):\n"
                            "        with open(os.environ['FAKE_VLLM_LOG'], 'a') as f:\n"
                            "            f.write('\\n' + json.dumps(prompts))\n"
                            "        return [_Req()]\n");
        pythonpath.emplace("PYTHONPATH", work.str("pkgs"));
    }
};

TEST_F(VllmRun, hostile_model_path_stays_a_string) {
    // Unescaped, the quote would end the literal and the rest would run as code.
    std::string pwned = work.str("pwned");
    testing::ScopedEnv pwned_env("PWNED", pwned);
    std::string hostile =
        work.str("m\", dtype=\"float16\"); open(__import__(\"os\").environ[\"PWNED\"], \"w\"); x=dict(a=\".gguf");
    testing::write_file(hostile, "x");
    testing::ScopedEnv log("FAKE_VLLM_LOG", work.str("log"));

    ASSERT_TRUE(adapter.initialize(testing::config(RuntimeKind::Vllm, QuantizationStrategy::F16)));
    ASSERT_TRUE(adapter.load_model(testing::model(hostile, ModelFormat::Gguf, 1'000'000'000)));
    auto r = adapter.run_inference("a \"quoted\"\nprompt \\");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_GT(r->tokens_per_sec, 0.0);
    EXPECT_GT(r->latency_ms, 0.0);
    EXPECT_EQ(r->peak_memory_mb, 2000u);

    EXPECT_FALSE(std::filesystem::exists(pwned));
    auto logged = testing::read_file(work.path() / "log");
    auto nl = logged.find("\n[");
    ASSERT_NE(nl, std::string::npos) << logged;
    auto first = nlohmann::json::parse(logged.substr(0, nl));
    EXPECT_EQ(first["model"], hostile);
    EXPECT_EQ(first["dtype"], "float16");
    EXPECT_EQ(logged.substr(nl + 1), R"(["a \"quoted\"\nprompt \\"])");
}

// The message names the interpreter that was asked: vLLM keeps to python3
// on PATH, which may well not be the one that runs this module.
TEST_F(VllmRun, failed_import_is_not_installed_with_what_python_said) {
    testing::write_file(work.path() / "pkgs/vllm/__init__.py", "raise ImportError('no CUDA here')\n");
    auto r = adapter.initialize(testing::config(RuntimeKind::Vllm));
    ASSERT_FALSE(r);
    EXPECT_EQ(adapter_error(r.error()).kind(), Kind::NotInstalled);
    EXPECT_THAT(r.error().render(),
                ::testing::StartsWith("required binary 'vllm' was not found in PATH \u2014 install vLLM via `pip "
                                      "install vllm`; " +
                                      (tools.dir().path() / "python3").string() + " said: Traceback"));
    EXPECT_EQ(adapter.interpreter(), std::nullopt);
    EXPECT_THAT(r.error().render(), ::testing::EndsWith("ImportError: no CUDA here"));
}

TEST_F(VllmRun, script_error_surfaces_as_inference_failed) {
    testing::ScopedEnv log("FAKE_VLLM_LOG", work.str("no-such-dir/log"));
    testing::write_file(work.path() / "m.gguf", "x");
    ASSERT_TRUE(adapter.initialize(testing::config(RuntimeKind::Vllm)));
    ASSERT_TRUE(adapter.load_model(testing::model(work.str("m.gguf"), ModelFormat::Gguf)));
    auto r = adapter.run_inference("p");
    ASSERT_FALSE(r);
    EXPECT_THAT(r.error().render(), ::testing::StartsWith("inference failed: vLLM inference failed: {\"error\": "));
}

TEST(VllmInitialize, missing_python3_is_not_installed) {
    testing::FakeTools only(true);
    VllmAdapter adapter;
    EXPECT_EQ(adapter.initialize(testing::config(RuntimeKind::Vllm)).error().render(),
              "required binary 'python3' was not found in PATH \u2014 install Python 3 from https://www.python.org or "
              "via your system package manager");
}

}  // namespace
}  // namespace ferrolune
