// The llama.cpp and ONNX Runtime adapters against the real tools, on small
// models written for the test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ferrolune/core/executable.h"
#include "ferrolune/core/process.h"
#include "ferrolune/core/text.h"
#include "ferrolune/runtime/adapter_registry.h"
#include "ferrolune/runtime/llamacpp_adapter.h"
#include "ferrolune/runtime/python_interpreter.h"
#include "test_support.h"

namespace ferrolune {
namespace {

using ::testing::HasSubstr;

// Writes a model with tests/model_factory.py; fails the test if it cannot.
std::string make_model(const testing::TempDir& dir, const std::string& kind, const std::string& name) {
    process::Command cmd;
    cmd.program = FERROLUNE_TEST_PYTHON;
    cmd.args = {std::string(FERROLUNE_TEST_SOURCE_DIR) + "/tests/model_factory.py", kind, dir.str(name)};
    auto done = process::run(cmd);
    EXPECT_TRUE(done && done->success()) << (done ? done->stderr_bytes : done.error().render());
    return dir.str(name);
}

std::optional<std::string> llama_bin_dir() {
    const char* bin = std::getenv("FERROLUNE_LLAMA_BIN");
    if (bin && *bin && std::filesystem::exists(std::filesystem::path(bin) / "llama-completion")) return bin;
    if (auto found = find_executable("llama-completion")) return std::filesystem::path(*found).parent_path().string();
    return std::nullopt;
}

TEST(RealLlamaCpp, llama_bench_measures_a_tiny_model_in_one_process) {
    auto bin = llama_bin_dir();
    if (!bin || !std::filesystem::exists(std::filesystem::path(*bin) / "llama-bench"))
        GTEST_SKIP() << "llama-bench not found: set FERROLUNE_LLAMA_BIN to the directory that "
                        "scripts/build-llama-tools.sh prints";
    testing::TempDir dir;
    std::string gguf = make_model(dir, "llama", "tiny.gguf");
    ASSERT_FALSE(::testing::Test::HasFailure());
    testing::ScopedEnv path("PATH", *bin + ":/usr/bin:/bin");

    ModelDescription m = testing::model(gguf, ModelFormat::Gguf, 2'000'000);
    RuntimeConfig cfg = testing::config(RuntimeKind::LlamaCpp, QuantizationStrategy::F16, 2, 1, 0);
    auto r = AdapterRegistry::with_all_adapters().benchmark(cfg, m, "Hello");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_GT(r->tokens_per_sec, 0.0);
    EXPECT_GT(r->latency_ms, 0.0);
    EXPECT_TRUE(r->tokens_per_sec_stddev);
    EXPECT_EQ(r->runs, 3u);
    // Measured, not the 4 MB estimate: the tool's own code and buffers alone
    // take more.
    EXPECT_GT(r->peak_memory_mb, 4u);
}

TEST(RealLlamaCpp, a_model_llama_bench_cannot_load_is_reported_with_its_error) {
    auto bin = llama_bin_dir();
    if (!bin || !std::filesystem::exists(std::filesystem::path(*bin) / "llama-bench"))
        GTEST_SKIP() << "llama-bench not found";
    testing::TempDir dir;
    testing::write_file(dir.path() / "broken.gguf", "GGUF not really");
    testing::ScopedEnv path("PATH", *bin + ":/usr/bin:/bin");
    ModelDescription m = testing::model(dir.str("broken.gguf"), ModelFormat::Gguf, 2'000'000);
    auto r = AdapterRegistry::with_all_adapters().benchmark(testing::config(RuntimeKind::LlamaCpp), m, "Hello");
    ASSERT_FALSE(r);
    EXPECT_THAT(r.error().render(), HasSubstr("inference failed: llama-bench exited non-zero: "));
}

TEST(RealLlamaCpp, measures_generation_throughput_of_a_tiny_model) {
    auto bin = llama_bin_dir();
    if (!bin) GTEST_SKIP() << "llama-completion not found: set FERROLUNE_LLAMA_BIN to the directory that "
                              "scripts/build-llama-tools.sh prints";
    testing::TempDir dir;
    std::string gguf = make_model(dir, "llama", "tiny.gguf");
    ASSERT_FALSE(::testing::Test::HasFailure());

    // A wrapper first on PATH keeps a copy of what the real tool printed on
    // standard error, so the test can tell which timing line was taken.
    testing::TempDir wrap;
    std::string log = wrap.str("stderr.log");
    testing::write_file(wrap.path() / "llama-completion",
                        "#!/bin/sh\n'" + *bin + "/llama-completion' \"$@\" 2> '" + log +
                            "'\nrc=$?\ncat '" + log + "' >&2\nexit $rc\n");
    std::filesystem::permissions(wrap.path() / "llama-completion", std::filesystem::perms::owner_all);
    // Without llama-bench on PATH the generator is the measuring tool.
    testing::ScopedEnv path("PATH", wrap.str() + ":/usr/bin:/bin");

    ModelDescription m = testing::model(gguf, ModelFormat::Gguf, 2'000'000);
    RuntimeConfig cfg = testing::config(RuntimeKind::LlamaCpp, QuantizationStrategy::F16, 2, 1, 0);
    // One run through the adapter itself: the registry averages several, and
    // only one run's figure can be found in the tool's own lines.
    LlamaCppAdapter adapter;
    ASSERT_TRUE(adapter.initialize(cfg));
    ASSERT_TRUE(adapter.load_model(m));
    auto r = adapter.run_inference("Hello");
    ASSERT_TRUE(r) << r.error().render() << "\n" << testing::read_file(log);
    EXPECT_GT(r->tokens_per_sec, 0.0);
    EXPECT_GT(r->latency_ms, 0.0);
    EXPECT_EQ(r->peak_memory_mb, 4u);

    std::optional<std::string> prompt_line, eval_line;
    std::string err = testing::read_file(log);
    for (auto line : text::split_lines(err)) {
        if (!line.contains("tokens per second")) continue;
        if (line.contains("prompt eval time")) prompt_line = std::string(line);
        else if (line.contains("eval time")) eval_line = std::string(line);
    }
    ASSERT_TRUE(prompt_line && eval_line) << err;
    EXPECT_THAT(*eval_line, HasSubstr(fmt::format("{:.2f} tokens per second", r->tokens_per_sec)));
    EXPECT_THAT(*prompt_line, ::testing::Not(HasSubstr(fmt::format("{:.2f} tokens per second", r->tokens_per_sec))));
}

bool python_has_onnxruntime() {
    process::Command cmd;
    cmd.program = FERROLUNE_TEST_PYTHON;
    cmd.args = {"-c", "import onnxruntime"};
    auto done = process::run(cmd);
    return done && done->success();
}

class RealOnnxRuntime : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::FakeTools tools;  // holds a python3 that is the test interpreter
    testing::ScopedEnv source{"FERROLUNE_SOURCE_DIR", FERROLUNE_TEST_SOURCE_DIR};
    std::string onnx;

    void SetUp() override {
        if (!python_has_onnxruntime()) GTEST_SKIP() << FERROLUNE_TEST_PYTHON << " cannot import onnxruntime";
        // A script, not a symlink: a virtual environment is only recognised
        // from its own bin directory.
        tools.add("python3", std::string("exec '") + FERROLUNE_TEST_PYTHON + "' \"$@\"");
        onnx = make_model(dir, "onnx-decoder", "tiny.onnx");
    }
};

TEST_F(RealOnnxRuntime, measures_a_small_graph_on_the_cpu) {
    ModelDescription m = testing::model(onnx, ModelFormat::Onnx);
    auto r = AdapterRegistry::with_all_adapters().benchmark(
        testing::config(RuntimeKind::OnnxRuntime, QuantizationStrategy::F16, 1, 2, 0), m, "ignored");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_GT(r->tokens_per_sec, 0.0);
    EXPECT_GT(r->latency_ms, 0.0);
    EXPECT_GT(r->peak_memory_mb, 0u);
}

TEST_F(RealOnnxRuntime, a_gpu_configuration_without_the_gpu_provider_fails_by_name) {
    ModelDescription m = testing::model(onnx, ModelFormat::Onnx);
    auto r = AdapterRegistry::with_all_adapters().benchmark(
        testing::config(RuntimeKind::OnnxRuntime, QuantizationStrategy::F16, 1, 1, 8), m, "ignored");
    ASSERT_FALSE(r);
    EXPECT_THAT(r.error().render(), HasSubstr("inference failed: execution provider CUDAExecutionProvider is not available"));
}

// The interpreter that loaded the module has onnxruntime; python3 on a
// plain PATH (the system's) may not. The measurement runs under the former.
TEST(RealOnnxRuntimeHost, runs_under_the_host_interpreter_not_python3_on_path) {
    if (!python_has_onnxruntime()) GTEST_SKIP() << FERROLUNE_TEST_PYTHON << " cannot import onnxruntime";
    testing::TempDir dir;
    std::string onnx = make_model(dir, "onnx-decoder", "tiny.onnx");
    testing::ScopedEnv path("PATH", "/usr/bin:/bin");
    testing::ScopedEnv named("FERROLUNE_PYTHON", std::nullopt);
    testing::ScopedEnv source("FERROLUNE_SOURCE_DIR", FERROLUNE_TEST_SOURCE_DIR);
    set_host_interpreter(FERROLUNE_TEST_PYTHON);
    auto r = AdapterRegistry::with_all_adapters().benchmark(
        testing::config(RuntimeKind::OnnxRuntime, QuantizationStrategy::F16, 1, 1, 0), testing::model(onnx, ModelFormat::Onnx),
        "ignored");
    set_host_interpreter("");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_GT(r->tokens_per_sec, 0.0);
}

}  // namespace
}  // namespace ferrolune
