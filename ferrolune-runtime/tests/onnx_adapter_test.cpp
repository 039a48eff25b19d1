#include "ferrolune/runtime/onnx_adapter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ferrolune/runtime/python_interpreter.h"
#include "test_support.h"

namespace ferrolune {
namespace {

using testing::adapter_error;
using Kind = RuntimeAdapterError::Kind;

constexpr const char* kHint = "install Python 3 and onnxruntime (pip install onnxruntime)";

TEST(OnnxRequest, is_compact_with_keys_in_byte_order) {
    auto m = testing::model("/models/a \"b\".onnx", ModelFormat::Onnx);
    EXPECT_EQ(onnx_request(testing::config(RuntimeKind::OnnxRuntime, QuantizationStrategy::F16, 8, 1, 0), m),
              R"({"batch_size":1,"execution_provider":"CPUExecutionProvider","model_path":"/models/a \"b\".onnx",)"
              R"("prompt_tokens":50,"threads":8})");
    EXPECT_THAT(onnx_request(testing::config(RuntimeKind::OnnxRuntime, QuantizationStrategy::F16, 2, 4, 1), m),
                ::testing::HasSubstr(R"("batch_size":4,"execution_provider":"CUDAExecutionProvider")"));
}

struct ReplyCase {
    const char* name;
    std::string reply;
    std::optional<BenchmarkResult> ok;
    std::string error;
};

class OnnxReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(OnnxReply, is_success_error_or_unparseable) {
    testing::expect_reply(parse_onnx_reply(GetParam().reply), GetParam().ok, GetParam().error);
}

const std::string kUnparseable = "unparseable onnx_runner output: ";

INSTANTIATE_TEST_SUITE_P(
    Replies, OnnxReply,
    ::testing::Values(
        ReplyCase{"Object", R"({"tokens_per_sec": 812.5, "latency_ms": 61, "peak_memory_mb": 143})",
                  BenchmarkResult{812.5, 61.0, 143}, ""},
        ReplyCase{"ObjectWithErrorMemberIsSuccess",
                  R"({"error":"x","tokens_per_sec":1,"latency_ms":2.5,"peak_memory_mb":3,"extra":[1]})",
                  BenchmarkResult{1.0, 2.5, 3}, ""},
        ReplyCase{"Array", "[10.5, 2, 18446744073709551615]", BenchmarkResult{10.5, 2.0, UINT64_MAX}, ""},
        ReplyCase{"ErrorReply", R"({"error": "execution provider CUDAExecutionProvider is not available"})",
                  std::nullopt, "execution provider CUDAExecutionProvider is not available"},
        ReplyCase{"FractionalMemory", R"({"tokens_per_sec":1,"latency_ms":2,"peak_memory_mb":12.5})", std::nullopt,
                  kUnparseable + R"({"tokens_per_sec":1,"latency_ms":2,"peak_memory_mb":12.5})"},
        ReplyCase{"NegativeMemoryFallsToError",
                  R"({"tokens_per_sec":1,"latency_ms":2,"peak_memory_mb":-1,"error":"bad"})", std::nullopt, "bad"},
        ReplyCase{"DuplicateMember", R"({"tokens_per_sec":1,"tokens_per_sec":2,"latency_ms":2,"peak_memory_mb":1})",
                  std::nullopt,
                  kUnparseable + R"({"tokens_per_sec":1,"tokens_per_sec":2,"latency_ms":2,"peak_memory_mb":1})"},
        ReplyCase{"StringNumber", R"({"tokens_per_sec":"1","latency_ms":2,"peak_memory_mb":1})", std::nullopt,
                  kUnparseable + R"({"tokens_per_sec":"1","latency_ms":2,"peak_memory_mb":1})"},
        ReplyCase{"SecondLine", "{\"error\":\"a\"}\n{\"error\":\"b\"}", std::nullopt,
                  kUnparseable + "{\"error\":\"a\"}\n{\"error\":\"b\"}"},
        ReplyCase{"ShortArray", "[1, 2]", std::nullopt, kUnparseable + "[1, 2]"},
        ReplyCase{"Empty", "", std::nullopt, kUnparseable}),
    [](const auto& info) { return std::string(info.param.name); });

// A checkout with the runner script, found through FERROLUNE_SOURCE_DIR
// (the working directory is elsewhere, so the walk from it finds nothing).
class OnnxFixture : public ::testing::Test {
protected:
    testing::FakeTools tools{true};
    testing::TempDir checkout;
    testing::TempDir elsewhere;
    testing::ScopedCwd cwd{elsewhere.path()};
    testing::ScopedEnv source_dir{"FERROLUNE_SOURCE_DIR", checkout.str()};
    testing::ScopedEnv named_python{"FERROLUNE_PYTHON", std::nullopt};
    OnnxAdapter adapter;
    ModelDescription onnx;

    void SetUp() override {
        testing::write_file(checkout.path() / "python/ferrolune/runners/onnx_runner.py", "# stand-in\n");
        testing::write_file(checkout.path() / "m.onnx", "onnx");
        onnx = testing::model(checkout.str("m.onnx"), ModelFormat::Onnx);
    }
    // A fake python3: --check exits with `check_rc`; a run stores its request
    // and then runs `run_body`.
    void fake_python(int check_rc, const std::string& run_body) {
        tools.add("python3", "[ \"$2\" = --check ] && exit " + std::to_string(check_rc) + "\ncat > '" +
                                 tools.dir().str("request") + "'\n" + run_body);
    }
    Result<BenchmarkResult> run(RuntimeConfig cfg = testing::config(RuntimeKind::OnnxRuntime)) {
        if (auto s = adapter.initialize(cfg); !s) return fail(s.error());
        if (auto s = adapter.load_model(onnx); !s) return fail(s.error());
        return adapter.run_inference("ignored");
    }
};

TEST_F(OnnxFixture, sends_the_request_and_reads_the_reply) {
    fake_python(0, testing::print_text(R"({"tokens_per_sec": 99.5, "latency_ms": 10.0, "peak_memory_mb": 70})" "\n"));
    auto r = run(testing::config(RuntimeKind::OnnxRuntime, QuantizationStrategy::F16, 8, 1, 0));
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_DOUBLE_EQ(r->tokens_per_sec, 99.5);
    EXPECT_EQ(r->peak_memory_mb, 70u);
    EXPECT_EQ(testing::read_file(tools.dir().path() / "request"),
              onnx_request(testing::config(RuntimeKind::OnnxRuntime, QuantizationStrategy::F16, 8, 1, 0), onnx));
    EXPECT_EQ(tools.args("python3"), std::vector<std::string>{checkout.str("python/ferrolune/runners/onnx_runner.py")});
}

struct InterpreterCase {
    const char* name;
    bool host;   // the host interpreter is set
    bool named;  // FERROLUNE_PYTHON names one
    const char* used;
};
class OnnxInterpreter : public OnnxFixture, public ::testing::WithParamInterface<InterpreterCase> {};

// The check and every run go to the chosen interpreter; python3 on PATH only
// when neither the name nor the host is there.
TEST_P(OnnxInterpreter, check_and_run_use_the_chosen_interpreter) {
    const std::string reply = testing::print_text(R"({"tokens_per_sec": 5, "latency_ms": 2, "peak_memory_mb": 1})");
    fake_python(0, reply);
    for (const char* name : {"host-python", "named-python"}) tools.add(name, "[ \"$2\" = --check ] && exit 0\n" + reply);
    testing::ScopedEnv named("FERROLUNE_PYTHON",
                             GetParam().named ? std::optional(tools.dir().str("named-python")) : std::nullopt);
    set_host_interpreter(GetParam().host ? tools.dir().str("host-python") : "");
    auto r = run();
    set_host_interpreter("");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(adapter.interpreter(), tools.dir().str(GetParam().used));
    for (const char* name : {"python3", "host-python", "named-python"})
        EXPECT_EQ(std::filesystem::exists(tools.args_file(name)), std::string(name) == GetParam().used) << name;
    EXPECT_EQ(tools.args(GetParam().used), std::vector<std::string>{checkout.str("python/ferrolune/runners/onnx_runner.py")});
}
INSTANTIATE_TEST_SUITE_P(Choices, OnnxInterpreter,
                         ::testing::Values(InterpreterCase{"host_first", true, false, "host-python"},
                                           InterpreterCase{"named_over_host", true, true, "named-python"},
                                           InterpreterCase{"path_without_either", false, false, "python3"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OnnxFixture, non_zero_exit_reports_standard_error_not_the_reply) {
    fake_python(0, testing::print_text(R"({"error":"from reply"})") + "\necho ' Traceback: boom ' >&2\nexit 1");
    auto r = run();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "inference failed: onnx_runner.py exited non-zero: Traceback: boom");
}

TEST_F(OnnxFixture, failed_check_means_onnxruntime_is_missing) {
    fake_python(1, "exit 0");
    auto r = adapter.initialize(testing::config(RuntimeKind::OnnxRuntime));
    ASSERT_FALSE(r);
    const std::string python = (tools.dir().path() / "python3").string();
    EXPECT_EQ(r.error().render(),
              "required binary 'onnxruntime (python package)' was not found in PATH \u2014 install onnxruntime for " +
                  python + " (" + python + " -m pip install onnxruntime)");
    EXPECT_FALSE(adapter.script_path());
}

TEST_F(OnnxFixture, missing_python3_and_missing_script_are_not_installed) {
    auto no_python = adapter.initialize(testing::config(RuntimeKind::OnnxRuntime));
    ASSERT_FALSE(no_python);
    EXPECT_EQ(no_python.error().render(),
              std::string("required binary 'python3' was not found in PATH \u2014 ") + kHint);

    fake_python(0, "exit 0");
    testing::ScopedEnv elsewhere("FERROLUNE_SOURCE_DIR", tools.dir().str());
    auto no_script = adapter.initialize(testing::config(RuntimeKind::OnnxRuntime));
    ASSERT_FALSE(no_script);
    EXPECT_EQ(no_script.error().render(),
              std::string("required binary 'onnx_runner.py' was not found in PATH \u2014 ") + kHint);
}

TEST_F(OnnxFixture, load_model_checks_format_and_existence) {
    auto gguf = adapter.load_model(testing::model(checkout.str("m.onnx"), ModelFormat::Gguf));
    ASSERT_FALSE(gguf);
    EXPECT_EQ(gguf.error().render(), "unsupported configuration: OnnxAdapter only supports ONNX models, got GGUF");
    auto missing = adapter.load_model(testing::model(checkout.str("gone.onnx"), ModelFormat::Onnx));
    ASSERT_FALSE(missing);
    EXPECT_EQ(adapter_error(missing.error()).kind(), Kind::ModelLoadFailed);
}

}  // namespace
}  // namespace ferrolune
