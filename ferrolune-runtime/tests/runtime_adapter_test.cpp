#include "ferrolune/runtime/runtime_adapter.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace ferrolune {
namespace {

using testing::adapter_error;
using Kind = RuntimeAdapterError::Kind;

struct DisplayCase {
    const char* name;
    RuntimeAdapterError error;
    Kind kind;
    std::string text;
};

class AdapterErrorDisplay : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(AdapterErrorDisplay, error_value_shows_the_variant_text_and_keeps_its_kind) {
    const auto& c = GetParam();
    Error e = c.error.to_error();
    EXPECT_EQ(e.render(), c.text);
    EXPECT_TRUE(e.causes().empty());
    ASSERT_NE(adapter_error_of(e), nullptr);
    EXPECT_EQ(adapter_error_of(e)->kind(), c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, AdapterErrorDisplay,
    ::testing::Values(
        DisplayCase{"NotInstalled", RuntimeAdapterError::not_installed("llama-cli", "install it"), Kind::NotInstalled,
                    "required binary 'llama-cli' was not found in PATH \u2014 install it"},
        DisplayCase{"InitializationFailed", RuntimeAdapterError::initialization_failed("adapter not initialized"),
                    Kind::InitializationFailed, "model initialization failed: adapter not initialized"},
        DisplayCase{"ModelLoadFailed", RuntimeAdapterError::model_load_failed("/m/x.gguf", "file not found"),
                    Kind::ModelLoadFailed, "model load failed for '/m/x.gguf': file not found"},
        DisplayCase{"ModelLoadFailedInvalidUtf8", RuntimeAdapterError::model_load_failed("/m/\xff.gguf", "boom"),
                    Kind::ModelLoadFailed, "model load failed for '/m/\uFFFD.gguf': boom"},
        DisplayCase{"InferenceFailed", RuntimeAdapterError::inference_failed("x"), Kind::InferenceFailed,
                    "inference failed: x"},
        DisplayCase{"UnsupportedConfiguration", RuntimeAdapterError::unsupported_configuration("d"),
                    Kind::UnsupportedConfiguration, "unsupported configuration: d"},
        DisplayCase{"Other", RuntimeAdapterError::other(Error("outer").context("wrap")), Kind::Other,
                    "wrap: outer"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AdapterErrorOf, plain_errors_carry_no_adapter_error) { EXPECT_EQ(adapter_error_of(Error("plain")), nullptr); }

}  // namespace
}  // namespace ferrolune
