// ONNX variants made by the real runner script under the test interpreter
// (which has onnx and onnxruntime), and the refusals that come before it.
#include "ferrolune/runtime/onnx_variant.h"

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ferrolune/core/cancel.h"
#include "ferrolune/core/process.h"
#include "test_support.h"

namespace ferrolune {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

bool test_python_has(const std::string& module) {
    process::Command cmd;
    cmd.program = FERROLUNE_TEST_PYTHON;
    cmd.args = {"-c", "import " + module};
    auto done = process::run(cmd);
    return done && done->success();
}

// Runs a Python program under the test interpreter; its standard output.
std::string python_output(const std::string& program, const std::vector<std::string>& args = {}) {
    process::Command cmd;
    cmd.program = FERROLUNE_TEST_PYTHON;
    cmd.args = {"-c", program};
    cmd.args.insert(cmd.args.end(), args.begin(), args.end());
    auto done = process::run(cmd);
    EXPECT_TRUE(done && done->success()) << (done ? done->stderr_bytes : done.error().render());
    return done ? done->stdout_bytes : "";
}

// Names in `dir` left by a variant run: its working directory or temp files.
std::vector<std::string> leftovers(const fs::path& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".ferrolune-") || name.starts_with("ort.quant")) found.push_back(name);
    }
    return found;
}

class OnnxVariant : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::ScopedEnv source{"FERROLUNE_SOURCE_DIR", FERROLUNE_TEST_SOURCE_DIR};
    testing::ScopedEnv python{"FERROLUNE_PYTHON", FERROLUNE_TEST_PYTHON};
    std::string input;

    void SetUp() override {
        if (!test_python_has("onnxruntime")) GTEST_SKIP() << FERROLUNE_TEST_PYTHON << " cannot import onnxruntime";
        process::Command cmd;
        cmd.program = FERROLUNE_TEST_PYTHON;
        input = dir.str("decoder.onnx");
        cmd.args = {std::string(FERROLUNE_TEST_SOURCE_DIR) + "/tests/model_factory.py", "onnx-decoder", input};
        auto done = process::run(cmd);
        ASSERT_TRUE(done && done->success()) << (done ? done->stderr_bytes : done.error().render());
    }
};

struct VariantCase {
    const char* name;
    QuantizationStrategy quantization;
    int weight_type;  // an onnx.TensorProto data type the variant's weights hold
};
class OnnxVariantMade : public OnnxVariant, public ::testing::WithParamInterface<VariantCase> {};

// The variant loads in ONNX Runtime on the CPU, holds weights of its type,
// and keeps the original's input and output types.
TEST_P(OnnxVariantMade, loads_in_onnxruntime_with_the_inputs_and_outputs_kept) {
    const std::string output = dir.str("variant.onnx");
    const std::string before = testing::read_file(input);
    auto made = make_onnx_variant(input, output, GetParam().quantization);
    ASSERT_TRUE(made) << made.error().render();
    EXPECT_EQ(testing::read_file(input), before);
    EXPECT_THAT(leftovers(dir.path()), ::testing::IsEmpty());
    const std::string report = python_output(
        "import sys, onnx, onnxruntime as ort\n"
        "types = sorted({t.data_type for t in onnx.load(sys.argv[1]).graph.initializer})\n"
        "io = lambda p: [a.type for a in (lambda s: s.get_inputs() + s.get_outputs())("
        "ort.InferenceSession(p, providers=['CPUExecutionProvider']))]\n"
        "print(int(" + std::to_string(GetParam().weight_type) + " in types), io(sys.argv[1]) == io(sys.argv[2]))\n",
        {output, input});
    EXPECT_EQ(report, "1 True\n");
}
INSTANTIATE_TEST_SUITE_P(Quantizations, OnnxVariantMade,
                         ::testing::Values(VariantCase{"Int8", QuantizationStrategy::Int8, 3},
                                           VariantCase{"F16", QuantizationStrategy::F16, 10}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SameFileCase {
    const char* name;
    // The output's name for the input, made in `dir`.
    std::string (*output)(const testing::TempDir& dir, const std::string& input);
};
class OnnxVariantSameFile : public OnnxVariant, public ::testing::WithParamInterface<SameFileCase> {};

TEST_P(OnnxVariantSameFile, is_refused_before_anything_is_written) {
    const std::string before = testing::read_file(input);
    const std::string output = GetParam().output(dir, input);
    auto made = make_onnx_variant(input, output, QuantizationStrategy::Int8);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().render(), "refusing to write the Int8 variant of '" + input +
                                         "' onto itself: the output path names the input file");
    EXPECT_EQ(testing::read_file(input), before);
    EXPECT_THAT(leftovers(dir.path()), ::testing::IsEmpty());
}
INSTANTIATE_TEST_SUITE_P(
    Spellings, OnnxVariantSameFile,
    ::testing::Values(SameFileCase{"same_text", [](const testing::TempDir&, const std::string& in) { return in; }},
                      SameFileCase{"dot_spelling",
                                   [](const testing::TempDir& d, const std::string&) { return d.str("./decoder.onnx"); }},
                      SameFileCase{"symlink",
                                   [](const testing::TempDir& d, const std::string& in) {
                                       fs::create_symlink(in, d.path() / "link.onnx");
                                       return d.str("link.onnx");
                                   }},
                      SameFileCase{"hard_link",
                                   [](const testing::TempDir& d, const std::string& in) {
                                       fs::create_hard_link(in, d.path() / "hard.onnx");
                                       return d.str("hard.onnx");
                                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OnnxVariant, an_input_that_does_not_load_keeps_the_previous_output) {
    const std::string garbage = dir.str("garbage.onnx");
    testing::write_file(garbage, "this is not an ONNX model");
    const std::string output = dir.str("kept.onnx");
    testing::write_file(output, "previous");
    auto made = make_onnx_variant(garbage, output, QuantizationStrategy::F16);
    ASSERT_FALSE(made);
    EXPECT_THAT(made.error().render(), HasSubstr("not a valid ONNX file: " + garbage));
    EXPECT_EQ(testing::read_file(output), "previous");
    EXPECT_THAT(leftovers(dir.path()), ::testing::IsEmpty());
}

// The system interpreter has no onnxruntime here; the error says so and
// names it, and nothing is written.
TEST_F(OnnxVariant, an_interpreter_without_onnxruntime_is_named) {
    const std::string system_python = "/usr/bin/python3";
    process::Command probe;
    probe.program = system_python;
    probe.args = {"-c", "import onnxruntime"};
    auto probed = process::run(probe);
    if (!probed) GTEST_SKIP() << system_python << " cannot be started";
    if (probed->success()) GTEST_SKIP() << system_python << " has onnxruntime";
    testing::ScopedEnv named("FERROLUNE_PYTHON", system_python);
    const std::string output = dir.str("never.onnx");
    auto made = make_onnx_variant(input, output, QuantizationStrategy::Int8);
    ASSERT_FALSE(made);
    EXPECT_THAT(made.error().render(), HasSubstr("the Python package 'onnxruntime' is required"));
    EXPECT_THAT(made.error().render(), HasSubstr(system_python + " cannot import it"));
    EXPECT_FALSE(fs::exists(output));
    EXPECT_THAT(leftovers(dir.path()), ::testing::IsEmpty());
}

TEST_F(OnnxVariant, a_stop_removes_the_partial_output_and_reports_the_interrupt) {
    // An interpreter that starts writing the variant, says so, and then
    // hangs: only the stop can end it (its sleep bounds a broken stop).
    testing::FakeTools tools;
    const fs::path started = dir.path() / "started";
    tools.add("slow-python", std::string("exec '") + FERROLUNE_TEST_PYTHON +
                                 "' -c 'import json, sys, time\n"
                                 "r = json.load(sys.stdin)\n"
                                 "open(r[\"output\"], \"w\").write(\"partial\")\n"
                                 "open(sys.argv[1], \"w\").close()\n"
                                 "time.sleep(120)' '" + started.string() + "'");
    testing::ScopedEnv named("FERROLUNE_PYTHON", tools.dir().str("slow-python"));
    cancel::Canceller canceller([&] { return fs::exists(started); });
    cancel::Scope scope(&canceller);
    const std::string output = dir.str("variant.onnx");
    auto made = make_onnx_variant(input, output, QuantizationStrategy::Int8);
    ASSERT_FALSE(made);
    EXPECT_TRUE(cancel::is_interrupted(made.error())) << made.error().render();
    EXPECT_TRUE(fs::exists(started));
    EXPECT_FALSE(fs::exists(output));
    EXPECT_THAT(leftovers(dir.path()), ::testing::IsEmpty());
}

struct UnsupportedCase {
    const char* name;
    QuantizationStrategy quantization;
};
class OnnxVariantUnsupported : public ::testing::TestWithParam<UnsupportedCase> {};

TEST_P(OnnxVariantUnsupported, is_refused_without_running_anything) {
    testing::TempDir dir;
    EXPECT_FALSE(onnx_variant_supported(GetParam().quantization));
    auto made = make_onnx_variant(dir.str("in.onnx"), dir.str("out.onnx"), GetParam().quantization);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().render(), std::string("an ONNX variant cannot be made in ") +
                                         std::string(to_string(GetParam().quantization)) +
                                         ": only Int8 and F16 are supported");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}
INSTANTIATE_TEST_SUITE_P(Quantizations, OnnxVariantUnsupported,
                         ::testing::Values(UnsupportedCase{"Q8_0", QuantizationStrategy::Q8_0},
                                           UnsupportedCase{"Q4_K_M", QuantizationStrategy::Q4_K_M},
                                           UnsupportedCase{"Q4_0", QuantizationStrategy::Q4_0},
                                           UnsupportedCase{"Int4", QuantizationStrategy::Int4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OnnxVariantSupport, covers_int8_and_f16) {
    EXPECT_TRUE(onnx_variant_supported(QuantizationStrategy::Int8));
    EXPECT_TRUE(onnx_variant_supported(QuantizationStrategy::F16));
}

}  // namespace
}  // namespace ferrolune
