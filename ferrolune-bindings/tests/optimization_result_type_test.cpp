#include "optimization_result_type.h"

#include <gtest/gtest.h>

#include "call_guard.h"
#include "embedded_python.h"

namespace ferrolune::py {
namespace {

using testing::evaluate;
using testing::fresh_globals;

OptimizationResult record(double tps) {
    OptimizationResult r;
    r.config = {RuntimeKind::LlamaCpp, QuantizationStrategy::Q4_K_M, 8, 512, 33};
    r.metrics = {tps, 123.25, 4096};
    return r;
}

// A globals dict holding `r`, a new result object.
Ref with_result(double tps, std::optional<std::string> output_path) {
    Ref globals = fresh_globals();
    Ref obj = make_optimization_result(record(tps), "models/llama.gguf", std::move(output_path));
    EXPECT_TRUE(obj);
    PyDict_SetItemString(globals.ptr(), "r", obj.ptr());
    return globals;
}

TEST(OptimizationResultType, properties_read_the_record) {
    Ref g = with_result(42.37, "models/llama-optimized.gguf");
    EXPECT_EQ(evaluate("(r.runtime, r.quantization, r.threads, r.gpu_layers)", g.ptr()),
              "('LlamaCpp', 'Q4_K_M', 8, 33)");
    EXPECT_EQ(evaluate("(r.tokens_per_sec, r.latency_ms, r.peak_memory_mb)", g.ptr()), "(42.37, 123.25, 4096)");
    EXPECT_EQ(evaluate("r.output_path", g.ptr()), "models/llama-optimized.gguf");
    EXPECT_EQ(evaluate("type(r).__module__ + ' ' + type(r).__name__", g.ptr()), "builtins OptimizationResult");
    EXPECT_EQ(evaluate("r.to_json()", g.ptr()),
              R"({"config":{"runtime":"LlamaCpp","quantization":"Q4_K_M","threads":8,"batch_size":512,)"
              R"("gpu_layers":33},"metrics":{"tokens_per_sec":42.37,"latency_ms":123.25,"peak_memory_mb":4096}})");
}

TEST(OptimizationResultType, absent_output_path_is_none_and_paths_stay_out_of_json) {
    Ref g = with_result(1.0, std::nullopt);
    EXPECT_EQ(evaluate("r.output_path is None", g.ptr()), "True");
    EXPECT_EQ(evaluate("'llama' in r.to_json()", g.ptr()), "False");
}

TEST(OptimizationResultType, is_immutable_and_has_no_constructor) {
    Ref g = with_result(1.0, "x");
    for (const char* prop : {"runtime", "quantization", "threads", "gpu_layers", "tokens_per_sec", "latency_ms",
                             "peak_memory_mb", "output_path"}) {
        std::string expected =
            std::string("raised AttributeError: attribute '") + prop + "' of 'OptimizationResult' objects is not writable";
        EXPECT_EQ(evaluate(std::string("setattr(r, '") + prop + "', 1)", g.ptr()), expected);
    }
    EXPECT_EQ(evaluate("type(r)()", g.ptr()), "raised TypeError: No constructor defined for OptimizationResult");
}

struct ReprCase {
    double tps;
    const char* shown;
};

class OptimizationResultRepr : public ::testing::TestWithParam<ReprCase> {};

TEST_P(OptimizationResultRepr, rounds_to_one_decimal_ties_to_even) {
    Ref g = with_result(GetParam().tps, std::nullopt);
    std::string expected = std::string("OptimizationResult(runtime=LlamaCpp, quant=Q4_K_M, tps=") + GetParam().shown + ")";
    EXPECT_EQ(evaluate("repr(r)", g.ptr()), expected);
    EXPECT_EQ(evaluate("str(r)", g.ptr()), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, OptimizationResultRepr,
                         ::testing::Values(ReprCase{42.37, "42.4"}, ReprCase{0.25, "0.2"}, ReprCase{0.75, "0.8"},
                                           ReprCase{0.35, "0.3"},  // 0.35 is stored just below the tie
                                           ReprCase{12.0, "12.0"}, ReprCase{0.0, "0.0"}),
                         [](const ::testing::TestParamInfo<ReprCase>& info) {
                             std::string name = std::string("shows_") + info.param.shown;
                             for (char& c : name)
                                 if (c == '.') c = '_';
                             return name;
                         });

TEST(OptimizationResultType, view_returns_what_the_object_owns) {
    Ref obj = make_optimization_result(record(5.5), "m.gguf", std::nullopt);
    ASSERT_TRUE(obj);
    OptimizationResultView view = optimization_result_view(obj.handle());
    EXPECT_EQ(view.model_path, "m.gguf");
    EXPECT_FALSE(view.output_path);
    EXPECT_EQ(view.record.config.batch_size, 512u);
    EXPECT_EQ(view.record.metrics.tokens_per_sec, 5.5);
    EXPECT_THROW(optimization_result_view(Handle(Py_None)), InternalFault);
}

}  // namespace
}  // namespace ferrolune::py
