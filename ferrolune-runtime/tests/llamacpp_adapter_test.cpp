#include "ferrolune/runtime/llamacpp_adapter.h"

#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ferrolune/runtime/adapter_registry.h"
#include "test_support.h"

namespace ferrolune {
namespace {

using testing::adapter_error;
using Kind = RuntimeAdapterError::Kind;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kPromptLine =
    "common_perf_print: prompt eval time =       0.27 ms /     6 tokens (    0.05 ms per token, 21978.02 tokens per "
    "second)\n";
constexpr const char* kEvalLine =
    "common_perf_print:        eval time =       2.99 ms /    49 runs   (    0.06 ms per token, 16366.07 tokens per "
    "second)\n";

struct TimingCase {
    const char* name;
    std::string output;
    std::optional<double> tps;
    std::optional<double> ms;
};

class LlamaTimingParse : public ::testing::TestWithParam<TimingCase> {};

TEST_P(LlamaTimingParse, takes_generation_figures) {
    auto t = parse_llama_timing(GetParam().output);
    ASSERT_EQ(t.has_value(), GetParam().tps.has_value());
    if (!t) return;
    EXPECT_DOUBLE_EQ(t->tokens_per_sec, *GetParam().tps);
    EXPECT_DOUBLE_EQ(t->latency_ms, *GetParam().ms);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, LlamaTimingParse,
    ::testing::Values(
        TimingCase{"GenerationLineAfterPromptLine", std::string(kPromptLine) + kEvalLine, 16366.07, 0.06},
        TimingCase{"OnlyPromptLineIsTheFallback", kPromptLine, 21978.02, 0.05},
        TimingCase{"SpacedNumbers", "eval time = 1 ms / 50 runs 25.19 ms per token 39.70 tokens per second\n", 39.70,
                   25.19},
        TimingCase{"CrLfLines", "llama_print_timings: eval time = 5 ms (  2.5 ms per token,  400.0 tokens per second)\r\n",
                   400.0, 2.5},
        // The chosen line lacks "ms per token": no later line rescues it.
        TimingCase{"ChosenLineWithoutLatency",
                   "eval time = 5 ms, 10.0 tokens per second\neval time = (1.0 ms per token, 9.0 tokens per second)\n",
                   std::nullopt, std::nullopt},
        TimingCase{"NumberGluedToParenthesis", "eval time = (1.0ms per token,9.0 tokens per second)\n", std::nullopt,
                   std::nullopt},
        TimingCase{"NoTimingLine", "eval time = 3 ms\nhello\n", std::nullopt, std::nullopt},
        TimingCase{"Empty", "", std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LlamaArguments, follow_the_fixed_order_and_keep_zero_gpu_layers) {
    auto cfg = testing::config(RuntimeKind::LlamaCpp, QuantizationStrategy::Q4_K_M, 8, 1, 0);
    auto m = testing::model("/m/\xff.gguf", ModelFormat::Gguf);
    EXPECT_THAT(llama_arguments(cfg, m, "say \"hi\"", true),
                ElementsAre("-m", "/m/\uFFFD.gguf", "--threads", "8", "--n-gpu-layers", "0", "--ctx-size", "512", "-p",
                            "say \"hi\"", "--n-predict", "50", "-no-cnv"));
    EXPECT_EQ(llama_arguments(cfg, m, "x", false).size(), 12u);
}

class LlamaLoadModel : public ::testing::Test {
protected:
    testing::TempDir dir;
    LlamaCppAdapter adapter;
    Result<void> load(const std::string& bytes, ModelFormat f = ModelFormat::Gguf) {
        testing::write_file(dir.path() / "m.gguf", bytes);
        return adapter.load_model(testing::model(dir.str("m.gguf"), f));
    }
};

TEST_F(LlamaLoadModel, accepts_any_file_starting_with_the_magic_without_initialize) {
    EXPECT_TRUE(load("GGUF"));
    EXPECT_TRUE(load(std::string("GGUF\0\0\xff", 7)));
}

TEST_F(LlamaLoadModel, refuses_onnx_before_touching_the_file) {
    auto r = adapter.load_model(testing::model("/does/not/exist.onnx", ModelFormat::Onnx));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "unsupported configuration: llama.cpp only supports GGUF models, got ONNX");
}

TEST_F(LlamaLoadModel, reports_missing_short_and_foreign_files) {
    auto missing = adapter.load_model(testing::model(dir.str("none.gguf"), ModelFormat::Gguf));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().render(), "model load failed for '" + dir.str("none.gguf") + "': file not found");

    auto short_file = load("GGU");
    ASSERT_FALSE(short_file);
    EXPECT_EQ(short_file.error().render(), "model load failed for '" + dir.str("m.gguf") + "': failed to fill whole buffer");

    auto zip = load("PK\x03\x04rest");
    ASSERT_FALSE(zip);
    EXPECT_EQ(zip.error().render(),
              "unsupported configuration: file does not start with GGUF magic bytes (got [80, 75, 3, 4])");
    EXPECT_EQ(adapter_error(zip.error()).kind(), Kind::UnsupportedConfiguration);
}

TEST_F(LlamaLoadModel, reports_a_directory_with_the_read_error) {
    auto r = adapter.load_model(testing::model(dir.str(), ModelFormat::Gguf));
    ASSERT_FALSE(r);
    EXPECT_EQ(adapter_error(r.error()).kind(), Kind::ModelLoadFailed);
    EXPECT_THAT(r.error().render(), HasSubstr("(os error 21)"));
}

// A fake llama-completion: --help lists -no-cnv, a run prints the timing
// summary on standard error the way current llama.cpp does.
std::string fake_llama(const std::string& run_body) {
    return "case \"$1\" in\n"
           "  --version) echo 'version: 9999 (fake)' >&2; exit 0;;\n"
           "  --help) echo '-cnv,  --conversation, -no-cnv, --no-conversation'; exit 0;;\n"
           "esac\n" +
           run_body;
}

class LlamaRun : public ::testing::Test {
protected:
    testing::FakeTools tools;
    testing::TempDir models;
    LlamaCppAdapter adapter;
    ModelDescription gguf;

    void SetUp() override {
        testing::write_file(models.path() / "tiny.gguf", "GGUF....");
        gguf = testing::model(models.str("tiny.gguf"), ModelFormat::Gguf, 7'000'000'000);
    }
    Result<BenchmarkResult> run(RuntimeConfig cfg = testing::config(RuntimeKind::LlamaCpp)) {
        if (auto s = adapter.initialize(cfg); !s) return fail(s.error());
        if (auto s = adapter.load_model(gguf); !s) return fail(s.error());
        return adapter.run_inference("Hello");
    }
};

TEST_F(LlamaRun, measures_generation_from_standard_error_with_conversation_off) {
    tools.add("llama-completion", fake_llama(testing::print_text(std::string(kPromptLine) + kEvalLine, true)));
    auto r = run(testing::config(RuntimeKind::LlamaCpp, QuantizationStrategy::Q4_K_M, 3, 1, 7));
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_DOUBLE_EQ(r->tokens_per_sec, 16366.07);
    EXPECT_DOUBLE_EQ(r->latency_ms, 0.06);
    EXPECT_EQ(r->peak_memory_mb, 3500u);
    EXPECT_THAT(tools.args("llama-completion"),
                ElementsAre("-m", gguf.path, "--threads", "3", "--n-gpu-layers", "7", "--ctx-size", "512", "-p", "Hello",
                            "--n-predict", "50", "-no-cnv"));
    EXPECT_EQ(adapter.version(), "version: 9999 (fake)");
}

TEST_F(LlamaRun, standard_output_is_read_first) {
    tools.add("llama-completion",
              fake_llama(testing::print_text("eval time = 1 ms ( 2.0 ms per token, 500.0 tokens per second)\n") + "\n" +
                         testing::print_text(kEvalLine, true)));
    auto r = run();
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_DOUBLE_EQ(r->tokens_per_sec, 500.0);
}

TEST_F(LlamaRun, old_llama_cli_without_no_cnv_is_the_second_choice) {
    tools.add("llama-cli", "[ \"$1\" = --help ] && { echo 'usage: llama-cli'; exit 0; }\n" +
                               testing::print_text(kEvalLine));
    auto r = run();
    ASSERT_TRUE(r) << r.error().render();
    auto args = tools.args("llama-cli");
    EXPECT_EQ(args.size(), 12u);
    EXPECT_EQ(args.back(), "50");
    EXPECT_EQ(*adapter.tool_path(), (tools.dir().path() / "llama-cli").string());
}

TEST_F(LlamaRun, prefers_llama_completion_over_llama_cli) {
    tools.add("llama-cli", "exit 3");
    tools.add("llama-completion", fake_llama(testing::print_text(kEvalLine, true)));
    ASSERT_TRUE(run());
}

TEST(LlamaInitialize, missing_tool_names_llama_cli) {
    testing::FakeTools only(true);
    LlamaCppAdapter adapter;
    auto r = adapter.initialize(testing::config(RuntimeKind::LlamaCpp));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(),
              "required binary 'llama-cli' was not found in PATH \u2014 install llama.cpp from "
              "https://github.com/ggml-org/llama.cpp/releases or via your package manager (e.g. brew install "
              "llama.cpp)");
}

// What llama-bench prints on standard output with -o json, shortened to
// the fields that matter plus a few it adds.
std::string bench_report(const std::string& tests) { return "[\n" + tests + "\n]\n"; }
const std::string kGenTest =
    R"({"build_commit": "0c1e570", "model_filename": "m.gguf", "n_threads": 2, "n_gpu_layers": 0, "n_prompt": 0,)"
    R"( "n_gen": 50, "avg_ns": 42809568, "stddev_ns": 43417359, "avg_ts": 5476.045068, "stddev_ts": 7795.032486,)"
    R"( "samples_ns": [1, 2, 3], "samples_ts": [1.0, 2.0, 3.0]})";
const std::string kPromptTest =
    R"({"n_prompt": 512, "n_gen": 0, "avg_ns": 1000, "stddev_ns": 1, "avg_ts": 99999.0, "stddev_ts": 1.0})";

struct BenchParseCase {
    const char* name;
    std::string json;
    std::optional<double> tps;
    double stddev = 0.0;
    double latency_ms = 0.0;
    uint32_t runs = 0;
};

class LlamaBenchParse : public ::testing::TestWithParam<BenchParseCase> {};

TEST_P(LlamaBenchParse, takes_the_generation_test) {
    auto r = parse_llama_bench(GetParam().json);
    ASSERT_EQ(r.has_value(), GetParam().tps.has_value());
    if (!r) return;
    EXPECT_DOUBLE_EQ(r->tokens_per_sec, *GetParam().tps);
    EXPECT_EQ(r->tokens_per_sec_stddev, GetParam().stddev);
    EXPECT_DOUBLE_EQ(r->latency_ms, GetParam().latency_ms);
    EXPECT_EQ(r->runs, GetParam().runs);
    EXPECT_EQ(r->peak_memory_mb, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, LlamaBenchParse,
    ::testing::Values(
        BenchParseCase{"GenerationTest", bench_report(kGenTest), 5476.045068, 7795.032486, 42809568.0 / 50 / 1e6, 3},
        BenchParseCase{"PromptTestIsPassedOver", bench_report(kPromptTest + ",\n" + kGenTest), 5476.045068,
                       7795.032486, 42809568.0 / 50 / 1e6, 3},
        BenchParseCase{"WithoutSamplesTheRequestedRepetitions",
                       bench_report(R"({"n_prompt": 0, "n_gen": 10, "avg_ns": 2e7, "avg_ts": 500, "stddev_ts": 0})"),
                       500.0, 0.0, 2.0, kLlamaBenchRepetitions},
        BenchParseCase{"OnlyAPromptTest", bench_report(kPromptTest), std::nullopt},
        BenchParseCase{"EmptyReport", "[]", std::nullopt},
        // What the tool leaves on standard output when the model fails to load.
        BenchParseCase{"TruncatedReport", "[\n", std::nullopt},
        BenchParseCase{"NotJson", "| model | size | t/s |\n", std::nullopt},
        BenchParseCase{"AnObjectNotAList", kGenTest, std::nullopt},
        BenchParseCase{"RateAsText",
                       bench_report(R"({"n_prompt": 0, "n_gen": 50, "avg_ns": 1, "avg_ts": "5", "stddev_ts": 1})"),
                       std::nullopt},
        BenchParseCase{"NoStddev", bench_report(R"({"n_prompt": 0, "n_gen": 50, "avg_ns": 1, "avg_ts": 5})"),
                       std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LlamaRun, llama_bench_measures_in_one_process_with_its_own_repetitions) {
    tools.add("llama-completion", "exit 7");
    tools.add("llama-bench", "echo 'loading model' >&2\n" + testing::print_text(bench_report(kGenTest)));
    auto r = run(testing::config(RuntimeKind::LlamaCpp, QuantizationStrategy::Q4_K_M, 3, 256, 7));
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_DOUBLE_EQ(r->tokens_per_sec, 5476.045068);
    EXPECT_EQ(r->tokens_per_sec_stddev, 7795.032486);
    EXPECT_EQ(r->runs, 3u);
    EXPECT_TRUE(adapter.warms_up_itself());
    // The child's own peak resident set, not the 3500 MB estimate for 7 B
    // parameters at four bits.
    EXPECT_LT(r->peak_memory_mb, 3500u);
    EXPECT_THAT(tools.args("llama-bench"),
                ElementsAre("-m", gguf.path, "-t", "3", "-ngl", "7", "-p", "0", "-n", "50", "-r", "3", "-o", "json"));
    EXPECT_EQ(*adapter.tool_path(), (tools.dir().path() / "llama-bench").string());
}

TEST_F(LlamaRun, registry_runs_llama_bench_once_without_a_separate_warm_up) {
    std::string counter = tools.dir().str("runs");
    tools.add("llama-bench", "[ \"$1\" = --version ] && exit 0\necho x >> '" + counter + "'\n" +
                                 testing::print_text(bench_report(kGenTest)));
    auto r = AdapterRegistry::with_all_adapters().benchmark(testing::config(RuntimeKind::LlamaCpp), gguf, "Hello");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(testing::read_file(counter), "x\n");
    EXPECT_EQ(r->runs, 3u);
    EXPECT_EQ(r->tokens_per_sec_stddev, 7795.032486);
}

TEST_F(LlamaRun, without_llama_bench_the_generator_is_warmed_up_and_repeated) {
    std::string counter = tools.dir().str("runs");
    tools.add("llama-completion", fake_llama("echo x >> '" + counter + "'\n" + testing::print_text(kEvalLine, true)));
    auto r = AdapterRegistry::with_all_adapters().benchmark(testing::config(RuntimeKind::LlamaCpp), gguf, "Hello");
    ASSERT_TRUE(r) << r.error().render();
    EXPECT_EQ(testing::read_file(counter), "x\nx\nx\nx\n");
    EXPECT_EQ(r->runs, 3u);
    EXPECT_EQ(r->peak_memory_mb, 3500u);
}

struct RunFailure {
    const char* name;
    std::string body;
    std::string text;
};

class LlamaRunFails : public LlamaRun, public ::testing::WithParamInterface<RunFailure> {};

TEST_P(LlamaRunFails, with_inference_failed) {
    tools.add("llama-completion", fake_llama(GetParam().body));
    auto r = run();
    ASSERT_FALSE(r);
    EXPECT_EQ(adapter_error(r.error()).kind(), Kind::InferenceFailed);
    EXPECT_EQ(r.error().render(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LlamaRunFails,
    ::testing::Values(
        RunFailure{"NonZeroExit", "echo '  model is broken  ' >&2; exit 1",
                   "inference failed: llama-completion exited non-zero: model is broken"},
        RunFailure{"KilledBySignal", "kill -9 $$", "inference failed: llama-completion exited non-zero: "},
        RunFailure{"NoTimingLine", "echo 'just text'; echo 'eval time = 3 ms' >&2",
                   "inference failed: could not parse timing output from llama-completion"}),
    [](const auto& info) { return std::string(info.param.name); });

class LlamaBenchFails : public LlamaRun, public ::testing::WithParamInterface<RunFailure> {};

TEST_P(LlamaBenchFails, with_inference_failed_naming_llama_bench) {
    tools.add("llama-completion", fake_llama(testing::print_text(kEvalLine, true)));
    tools.add("llama-bench", GetParam().body);
    auto r = run();
    ASSERT_FALSE(r);
    EXPECT_EQ(adapter_error(r.error()).kind(), Kind::InferenceFailed);
    EXPECT_EQ(r.error().render(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LlamaBenchFails,
    ::testing::Values(
        RunFailure{"NonZeroExit", "printf '[\\n'; echo 'llama_bench: error: failed to load model' >&2; exit 1",
                   "inference failed: llama-bench exited non-zero: llama_bench: error: failed to load model"},
        RunFailure{"BadJson", "echo '[{\"n_prompt\": 0, \"n_gen\": 50,'",
                   "inference failed: could not parse timing output from llama-bench"},
        RunFailure{"ReportOnStandardErrorOnly", testing::print_text(bench_report(kGenTest), true),
                   "inference failed: could not parse timing output from llama-bench"}),
    [](const auto& info) { return std::string(info.param.name); });

struct LostSummaryCase {
    const char* name;
    std::vector<std::string> outputs;  // standard error of each successive run
    std::optional<double> tps;
    int runs;
};

class LlamaLostSummary : public LlamaRun, public ::testing::WithParamInterface<LostSummaryCase> {};

// llama.cpp's logger can drop the last lines at exit; the run is repeated.
TEST_P(LlamaLostSummary, reruns_until_the_generation_line_is_there) {
    std::string counter = tools.dir().str("runs");
    std::string body = "n=$(cat '" + counter + "' 2>/dev/null || echo 0); n=$((n+1)); echo $n > '" + counter +
                       "'\ncase $n in\n";
    for (size_t i = 0; i < GetParam().outputs.size(); ++i)
        body += "  " + std::to_string(i + 1) + ") " + testing::print_text(GetParam().outputs[i], true) + ";;\n";
    body += "esac";
    tools.add("llama-completion", fake_llama(body));
    auto r = run();
    ASSERT_EQ(r.has_value(), GetParam().tps.has_value());
    if (r) EXPECT_DOUBLE_EQ(r->tokens_per_sec, *GetParam().tps);
    else EXPECT_EQ(r.error().render(), "inference failed: could not parse timing output from llama-completion");
    EXPECT_EQ(testing::read_file(counter), std::to_string(GetParam().runs) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LlamaLostSummary,
    ::testing::Values(
        LostSummaryCase{"FirstRunLostEverything", {"load\n", std::string(kPromptLine) + kEvalLine}, 16366.07, 2},
        LostSummaryCase{"FirstRunLostTheGenerationLine", {kPromptLine, std::string(kPromptLine) + kEvalLine},
                        16366.07, 2},
        LostSummaryCase{"PromptLineEveryTimeIsTheFallback", {kPromptLine, kPromptLine, kPromptLine}, 21978.02, 5},
        LostSummaryCase{"NeverASummary", {"a\n", "b\n", "c\n"}, std::nullopt, 5},
        LostSummaryCase{"UnreadableSummaryIsNotRetried", {"eval time = x tokens per second\n", kEvalLine},
                        std::nullopt, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LlamaRun, a_run_past_the_time_limit_is_killed_and_reported) {
    testing::ScopedEnv limit("FERROLUNE_BENCH_TIMEOUT_S", "1");
    tools.add("llama-completion", fake_llama("sleep 30 & wait"));
    auto r = run();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "inference failed: llama-completion timed out after 1 s");
}

TEST_F(LlamaRun, state_is_kept_across_runs_and_replaced_by_initialize) {
    tools.add("llama-completion", fake_llama(testing::print_text(kEvalLine, true)));
    ASSERT_TRUE(run(testing::config(RuntimeKind::LlamaCpp, QuantizationStrategy::F16, 2)));
    ASSERT_TRUE(adapter.initialize(testing::config(RuntimeKind::LlamaCpp, QuantizationStrategy::Q8_0, 5)));
    auto r = adapter.run_inference("again");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->peak_memory_mb, 7000u);
    EXPECT_EQ(tools.args("llama-completion")[3], "5");
}

TEST_F(LlamaRun, a_tool_that_vanished_after_initialize_fails_with_the_system_error) {
    auto tool = tools.add("llama-completion", fake_llama("exit 0"));
    ASSERT_TRUE(adapter.initialize(testing::config(RuntimeKind::LlamaCpp)));
    ASSERT_TRUE(adapter.load_model(gguf));
    std::filesystem::remove(tool);
    auto r = adapter.run_inference("x");
    ASSERT_FALSE(r);
    EXPECT_EQ(adapter_error(r.error()).kind(), Kind::InferenceFailed);
    EXPECT_THAT(r.error().render(), HasSubstr("(os error 2)"));
}

TEST_F(LlamaRun, run_without_model_is_refused) {
    tools.add("llama-completion", fake_llama("exit 0"));
    ASSERT_TRUE(adapter.initialize(testing::config(RuntimeKind::LlamaCpp)));
    auto r = adapter.run_inference("x");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), "model initialization failed: model not loaded");
}

// The optimizer runs three measurements at once, each with its own registry.
TEST_F(LlamaRun, concurrent_benchmarks_each_get_their_own_figures) {
    // Reports the --threads value (fourth argument) as the throughput.
    tools.add("llama-completion",
              fake_llama("echo \"eval time = 1 ms ( 1.0 ms per token, $4.0 tokens per second)\" >&2"));
    std::vector<std::optional<double>> seen(3);
    std::vector<std::thread> workers;
    for (uint32_t i = 0; i < 3; ++i) {
        workers.emplace_back([&, i] {
            for (int round = 0; round < 4; ++round) {
                auto cfg = testing::config(RuntimeKind::LlamaCpp, QuantizationStrategy::Q4_K_M, 10 + i);
                auto r = AdapterRegistry::with_all_adapters().benchmark(cfg, gguf, "p");
                if (!r || r->tokens_per_sec != 10.0 + i) return;
            }
            seen[i] = 10.0 + i;
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(seen, (std::vector<std::optional<double>>{10.0, 11.0, 12.0}));
}

}  // namespace
}  // namespace ferrolune
