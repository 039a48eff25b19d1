#include "ferrolune/runtime/ollama_adapter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace ferrolune {
namespace {

using testing::adapter_error;
using Kind = RuntimeAdapterError::Kind;
using ::testing::ElementsAre;

struct TagCase {
    const char* name;
    std::string path;
    std::string tag;
};

class OllamaTag : public ::testing::TestWithParam<TagCase> {};

TEST_P(OllamaTag, is_the_lower_cased_stem_with_other_characters_as_dashes) {
    EXPECT_EQ(ollama_model_tag(GetParam().path), GetParam().tag);
}

INSTANTIATE_TEST_SUITE_P(
    Names, OllamaTag,
    ::testing::Values(TagCase{"dots_and_underscores", "/models/Llama-3.2-1B.Q4_K_M.gguf", "llama-3-2-1b-q4-k-m"},
                      TagCase{"cyrillic_and_greek", "Модель Ω v2.gguf", "модель-ω-v2"},
                      TagCase{"umlauts_cjk_and_brackets", "/m/ÄÖ 日本語 (x).onnx", "äö-日本語--x-"},
                      TagCase{"hidden_file", "/m/.hidden", "-hidden"},
                      TagCase{"no_extension", "/m/noext", "noext"},
                      TagCase{"two_dots", "/m/a..b", "a-"},
                      TagCase{"trailing_slash", "/m/dir/", "dir"},
                      TagCase{"not_utf8", "/m/\xff\xfe.gguf", "model"},
                      TagCase{"root", "/", "model"},
                      TagCase{"empty", "", "model"}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr const char* kStats =
    "total duration:       8.254s\n"
    "load duration:        12.1ms\n"
    "prompt eval count:    26 token(s)\n"
    "prompt eval duration: 61.145167ms\n"
    "prompt eval rate:     425.21 tokens/s\n"
    "eval count:           290 token(s)\n"
    "eval duration:        7.945641583s\n"
    "eval rate:            36.50 tokens/s\n";

struct StatsCase {
    const char* name;
    std::string stats;
    std::optional<double> tps;
    std::optional<double> ms;
};

class OllamaStats : public ::testing::TestWithParam<StatsCase> {};

TEST_P(OllamaStats, give_generation_rate_and_duration) {
    auto t = parse_ollama_statistics(GetParam().stats);
    ASSERT_EQ(t.has_value(), GetParam().tps.has_value());
    if (!t) return;
    EXPECT_DOUBLE_EQ(t->tokens_per_sec, *GetParam().tps);
    EXPECT_DOUBLE_EQ(t->latency_ms, *GetParam().ms);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, OllamaStats,
    ::testing::Values(
        StatsCase{"GenerationNotPrompt", kStats, 36.50, 7945.641583},
        StatsCase{"PromptLinesAreTheFallback", "prompt eval duration: 1.5s\nprompt eval rate: 20 tokens/s\n", 20.0,
                  1500.0},
        StatsCase{"MillisecondsFallBackToRate", "eval duration: 812.3ms\neval rate: 40 tokens/s\n", 40.0, 25.0},
        StatsCase{"MinutesAreNotSeconds", "eval duration: 1m2.5s\neval rate: 50 tokens/s\n", 50.0, 20.0},
        StatsCase{"NoDurationLine", "eval rate: 8 tokens/s\n", 8.0, 125.0},
        StatsCase{"RateWithoutUnit", "eval rate: 8\n", std::nullopt, std::nullopt},
        StatsCase{"Nothing", "", std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

class OllamaRun : public ::testing::Test {
protected:
    testing::FakeTools tools;
    testing::TempDir models;
    OllamaAdapter adapter;
    ModelDescription m;
    void SetUp() override {
        testing::write_file(models.path() / "Tiny.Q4_0.onnx", "x");
        // Format plays no part: an ONNX record is accepted.
        m = testing::model(models.str("Tiny.Q4_0.onnx"), ModelFormat::Onnx, 2'000'000'000);
    }
};

TEST_F(OllamaRun, reads_statistics_from_standard_error_only) {
    tools.add("ollama", "echo 'some answer'\n" + testing::print_text(kStats, true));
    ASSERT_TRUE(adapter.initialize(testing::config(RuntimeKind::Ollama, QuantizationStrategy::Q8_0)));
    ASSERT_TRUE(adapter.load_model(m));
    auto r = adapter.run_inference("Why is the sky blue?");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_DOUBLE_EQ(r->tokens_per_sec, 36.50);
    EXPECT_EQ(r->peak_memory_mb, 2000u);
    EXPECT_THAT(tools.args("ollama"), ElementsAre("run", "tiny-q4-0", "Why is the sky blue?", "--verbose"));

    tools.add("ollama", testing::print_text(kStats));
    EXPECT_EQ(adapter.run_inference("x").error().render(), "inference failed: could not parse timing output from ollama");
}

TEST_F(OllamaRun, unknown_tag_surfaces_through_the_exit_code) {
    tools.add("ollama", "echo 'Error: model \"tiny-q4-0\" not found' >&2; exit 1");
    ASSERT_TRUE(adapter.initialize(testing::config(RuntimeKind::Ollama)));
    ASSERT_TRUE(adapter.load_model(m));
    EXPECT_EQ(adapter.run_inference("x").error().render(),
              "inference failed: ollama exited non-zero: Error: model \"tiny-q4-0\" not found");
}

TEST_F(OllamaRun, missing_file_is_refused_before_a_tag_is_derived) {
    auto r = adapter.load_model(testing::model(models.str("gone.gguf"), ModelFormat::Gguf));
    ASSERT_FALSE(r);
    EXPECT_EQ(adapter_error(r.error()).kind(), Kind::ModelLoadFailed);
    EXPECT_FALSE(adapter.model_tag());
}

TEST(OllamaInitialize, missing_ollama_is_not_installed) {
    testing::FakeTools only(true);
    OllamaAdapter adapter;
    EXPECT_EQ(adapter.initialize(testing::config(RuntimeKind::Ollama)).error().render(),
              "required binary 'ollama' was not found in PATH \u2014 install Ollama from https://ollama.com or via "
              "your package manager (e.g. brew install ollama)");
}

}  // namespace
}  // namespace ferrolune
