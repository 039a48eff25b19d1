#include "ferrolune/runtime/requantize.h"

#include "ferrolune/core/cancel.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ferrolune/testing/case_name.h"

namespace ferrolune {
namespace {

namespace fs = std::filesystem;
using ::testing::StartsWith;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// A temporary directory holding a fake llama-quantize, put first on PATH for
// the test's duration; the fake records its arguments in args.txt.
class FakeQuantizer : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ferrolune-requantize-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::create_directory(dir_ / "bin");
        const char* old = std::getenv("PATH");
        old_path_ = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("PATH", (dir_ / "bin").c_str(), 1);
        input_ = dir_ / "model.gguf";
        write_file(input_, "GGUF original weights");
    }
    void TearDown() override {
        if (old_path_)
            ::setenv("PATH", old_path_->c_str(), 1);
        else
            ::unsetenv("PATH");
        fs::remove_all(dir_);
    }
    // `body` runs after the arguments are recorded.
    void install_fake(const std::string& body) {
        fs::path tool = dir_ / "bin" / "llama-quantize";
        write_file(tool, "#!/bin/sh\nprintf '%s|' \"$@\" > '" + (dir_ / "args.txt").string() + "'\n" + body + "\n");
        fs::permissions(tool, fs::perms::owner_all);
    }
    bool quantizer_ran() const { return fs::exists(dir_ / "args.txt"); }
    std::string recorded_args() const { return read_file(dir_ / "args.txt"); }

    fs::path dir_;
    fs::path input_;
    std::optional<std::string> old_path_;
};

struct TypeCase {
    const char* name;
    QuantizationStrategy q;
    const char* type;
};

class QuantizerType : public FakeQuantizer, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(QuantizerType, passes_input_output_and_type) {
    install_fake("printf written > \"$2\"");
    fs::path out = dir_ / "model-optimized.gguf";
    ASSERT_TRUE(requantize_model(input_.string(), out.string(), GetParam().q));
    EXPECT_EQ(recorded_args(), input_.string() + "|" + out.string() + "|" + GetParam().type + "|");
    EXPECT_EQ(read_file(out), "written");
}

INSTANTIATE_TEST_SUITE_P(Cases, QuantizerType,
                         ::testing::Values(TypeCase{"F16", QuantizationStrategy::F16, "f16"},
                                           TypeCase{"Q8_0", QuantizationStrategy::Q8_0, "q8_0"},
                                           TypeCase{"Q4_K_M", QuantizationStrategy::Q4_K_M, "q4_k_m"},
                                           TypeCase{"Q4_0", QuantizationStrategy::Q4_0, "q4_0"},
                                           TypeCase{"Int8", QuantizationStrategy::Int8, "q8_0"},
                                           TypeCase{"Int4", QuantizationStrategy::Int4, "q4_0"}),
                         [](const auto& info) { return std::string(info.param.name); });

// An already quantized input goes down only with the tool's explicit consent.
TEST_F(FakeQuantizer, a_quantized_input_is_requantized_with_consent) {
    install_fake("printf written > \"$3\"");
    fs::path out = dir_ / "model-optimized.gguf";
    ASSERT_TRUE(requantize_model(input_.string(), out.string(), QuantizationStrategy::Q4_0, /*from_quantized=*/true));
    EXPECT_EQ(recorded_args(), "--allow-requantize|" + input_.string() + "|" + out.string() + "|q4_0|");
}

TEST_F(FakeQuantizer, missing_tool_starts_nothing) {
    auto r = requantize_model(input_.string(), (dir_ / "out.gguf").string(), QuantizationStrategy::Q4_0);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "llama-quantize not found \u2014 install llama.cpp to enable model quantization");
}

struct FailureCase {
    const char* name;
    const char* body;
    const char* message;
};

class QuantizerFailure : public FakeQuantizer, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(QuantizerFailure, non_zero_end_is_the_exit_code_error) {
    install_fake(GetParam().body);
    auto r = requantize_model(input_.string(), (dir_ / "out.gguf").string(), QuantizationStrategy::Q4_K_M);
    ASSERT_FALSE(r);
    EXPECT_THAT(r.error().message(), StartsWith(GetParam().message));
    EXPECT_TRUE(r.error().causes().empty());
    EXPECT_EQ(read_file(input_), "GGUF original weights");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuantizerFailure,
    ::testing::Values(FailureCase{"exit_3", "exit 3", "llama-quantize exited with code 3"},
                      FailureCase{"killed", "kill -9 $$", "llama-quantize exited with code "},
                      FailureCase{"partial_output_then_fail", "printf half > \"$2\"; exit 1",
                                  "llama-quantize exited with code 1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FakeQuantizer, unstartable_tool_gives_the_launch_error) {
    // Executable bit set but no interpreter line the system can run.
    fs::path tool = dir_ / "bin" / "llama-quantize";
    write_file(tool, std::string("\x7f" "ELF garbage", 12));
    fs::permissions(tool, fs::perms::owner_all);
    auto r = requantize_model(input_.string(), (dir_ / "out.gguf").string(), QuantizationStrategy::Q4_K_M);
    ASSERT_FALSE(r);
    EXPECT_THAT(r.error().message(), StartsWith("failed to launch llama-quantize: "));
    EXPECT_THAT(r.error().message(), ::testing::HasSubstr("(os error "));
}

enum class Alias { SamePath, DotPrefix, HardLink, SymLink };

class SameFile : public FakeQuantizer, public ::testing::WithParamInterface<Alias> {};

TEST_P(SameFile, output_naming_the_input_is_refused_and_the_input_kept) {
    install_fake("printf clobbered > \"$2\"");
    std::string output;
    switch (GetParam()) {
        case Alias::SamePath: output = input_.string(); break;
        case Alias::DotPrefix: output = (dir_ / "." / "model.gguf").string(); break;
        case Alias::HardLink:
            fs::create_hard_link(input_, dir_ / "linked.gguf");
            output = (dir_ / "linked.gguf").string();
            break;
        case Alias::SymLink:
            fs::create_symlink(input_, dir_ / "alias.gguf");
            output = (dir_ / "alias.gguf").string();
            break;
    }
    auto r = requantize_model(input_.string(), output, QuantizationStrategy::Q4_K_M);
    ASSERT_FALSE(r);
    EXPECT_THAT(r.error().message(), StartsWith("refusing to re-quantize"));
    EXPECT_FALSE(quantizer_ran());
    EXPECT_EQ(read_file(input_), "GGUF original weights");
}

INSTANTIATE_TEST_SUITE_P(Cases, SameFile,
                         ::testing::Values(Alias::SamePath, Alias::DotPrefix, Alias::HardLink, Alias::SymLink),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Alias::SamePath: return "same_path";
                                 case Alias::DotPrefix: return "dot_prefix";
                                 case Alias::HardLink: return "hard_link";
                                 case Alias::SymLink: return "symbolic_link";
                             }
                             return "unknown";
                         });

TEST_F(FakeQuantizer, missing_input_is_left_to_the_quantizer) {
    install_fake("exit 1");
    auto r = requantize_model((dir_ / "absent.gguf").string(), (dir_ / "out.gguf").string(), QuantizationStrategy::F16);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "llama-quantize exited with code 1");
    EXPECT_TRUE(quantizer_ran());
}

}  // namespace
}  // namespace ferrolune

namespace ferrolune {
namespace {

struct PathCase {
    const char* model_path;
    const char* want;
};

class DefaultOutputPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(DefaultOutputPath, sits_beside_the_input) {
    EXPECT_EQ(default_requantized_path(GetParam().model_path), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(Cases, DefaultOutputPath,
                         ::testing::Values(PathCase{"llama.gguf", "llama-optimized.gguf"},
                                           PathCase{"dir/llama.Q4.gguf", "dir/llama.Q4-optimized.gguf"},
                                           PathCase{"/models/llama.onnx", "/models/llama-optimized.gguf"},
                                           PathCase{"/llama.gguf", "/llama-optimized.gguf"},
                                           PathCase{"./llama.gguf", "./llama-optimized.gguf"},
                                           PathCase{"dir/.hidden", "dir/.hidden-optimized.gguf"},
                                           PathCase{"dir/noext", "dir/noext-optimized.gguf"},
                                           PathCase{"dir/trailing.", "dir/trailing-optimized.gguf"},
                                           PathCase{"a//b/model.v2.gguf/", "a//b/model.v2-optimized.gguf"},
                                           PathCase{"", "model-optimized.gguf"},
                                           PathCase{"/", "model-optimized.gguf"},
                                           PathCase{"dir/..", "dir/model-optimized.gguf"},
                                           PathCase{"dir/bad\xff.gguf", "dir/bad\xef\xbf\xbd-optimized.gguf"}),
                         [](const auto& info) { return testing::case_name(info.param.model_path); });

}  // namespace
}  // namespace ferrolune

namespace ferrolune {
namespace {

TEST_F(FakeQuantizer, failure_reason_carries_the_tools_last_lines) {
    install_fake("echo 'loading model' >&2; echo 'main: failed to quantize' >&2; "
                 "printf 'ggml error: \\033[31mcannot open output\\n' >&2; exit 1");
    auto r = requantize_model(input_.string(), (dir_ / "no-such-dir" / "out.gguf").string(),
                              QuantizationStrategy::Q4_K_M);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "llama-quantize exited with code 1");
    // The terminal escape is blanked, not passed on.
    EXPECT_EQ(r.error().render(),
              "llama-quantize exited with code 1: loading model | main: failed to quantize | "
              "ggml error:  [31mcannot open output");
}

TEST_F(FakeQuantizer, stop_request_kills_the_tool_and_removes_its_partial_output) {
    install_fake("printf half > \"$2\"; exec /bin/sleep 60");
    fs::path out = dir_ / "out.gguf";
    cancel::Canceller canceller;
    cancel::Scope scope(&canceller);
    std::thread stopper([&] {
        // Stop once the tool has begun writing.
        for (int i = 0; i < 500 && !fs::exists(out); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        canceller.request_stop();
    });
    auto r = requantize_model(input_.string(), out.string(), QuantizationStrategy::Q4_K_M);
    stopper.join();
    ASSERT_FALSE(r);
    EXPECT_TRUE(cancel::is_interrupted(r.error())) << r.error().render();
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(read_file(input_), "GGUF original weights");
}

TEST_F(FakeQuantizer, stop_request_keeps_an_older_output_the_tool_never_touched) {
    install_fake("exec /bin/sleep 60");
    fs::path out = dir_ / "out.gguf";
    write_file(out, "earlier result");
    cancel::Canceller canceller;
    canceller.request_stop();
    cancel::Scope scope(&canceller);
    auto r = requantize_model(input_.string(), out.string(), QuantizationStrategy::Q4_K_M);
    ASSERT_FALSE(r);
    EXPECT_TRUE(cancel::is_interrupted(r.error()));
    EXPECT_EQ(read_file(out), "earlier result");
}

}  // namespace
}  // namespace ferrolune
