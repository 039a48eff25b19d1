#include "ferrolune/model_ir/inspect_model.h"

#include <gtest/gtest.h>

#include "test_files.h"

namespace ferrolune {
namespace {

using testing::TempDir;

struct ExtensionCase {
    const char* path;
    const char* extension;
};

class Extension : public ::testing::TestWithParam<ExtensionCase> {};

TEST_P(Extension, is_the_lowered_text_after_the_last_dot_of_the_name) {
    EXPECT_EQ(model_file_extension(GetParam().path), GetParam().extension);
}

INSTANTIATE_TEST_SUITE_P(Cases, Extension,
                         ::testing::Values(ExtensionCase{"model.GGUF", "gguf"}, ExtensionCase{"dir/Model.Gguf", "gguf"},
                                           ExtensionCase{"weights.ONNX", "onnx"}, ExtensionCase{"archive.tar.gguf", "gguf"},
                                           ExtensionCase{"model", ""}, ExtensionCase{"model.", ""},
                                           ExtensionCase{"dir.d/.gguf", ""}, ExtensionCase{"a.d/model", ""},
                                           ExtensionCase{"m.\xc3\x89X", "\xc3\x89x"},  // only ASCII is lowered
                                           ExtensionCase{"m.\xff\xfe", ""}));

struct RefusedCase {
    const char* name;
    const char* expected;
};

class Refused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Refused, names_the_extension_and_never_opens_the_file) {
    TempDir dir;
    // The file does not exist: an attempt to open it would show in the error.
    auto r = inspect_model(dir.path() + "/" + GetParam().name);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), std::string("unrecognised model file extension '") + GetParam().expected +
                                      "'; expected '.gguf' or '.onnx'");
}

INSTANTIATE_TEST_SUITE_P(Cases, Refused,
                         ::testing::Values(RefusedCase{"model.bin", ".bin"}, RefusedCase{"model", "."},
                                           RefusedCase{"model.", "."}, RefusedCase{".gguf", "."},
                                           RefusedCase{"m.\xc3\x89GGUF", ".\xc3\x89gguf"}));

TEST(InspectModel, dispatches_on_extension_not_content) {
    TempDir dir;
    const std::string gguf_bytes = std::string("GGUF\x03\0\0\0", 8) + std::string(16, '\0');
    auto as_gguf = inspect_model(dir.write("Model.Gguf", gguf_bytes));
    ASSERT_TRUE(as_gguf) << as_gguf.error().render();
    EXPECT_EQ(as_gguf->format, ModelFormat::Gguf);

    // The same GGUF bytes named .onnx go to the ONNX reader and fail there.
    auto as_onnx = inspect_model(dir.write("model.onnx", gguf_bytes));
    ASSERT_FALSE(as_onnx);
    EXPECT_EQ(as_onnx.error().message(), "decode ONNX protobuf");
}

}  // namespace
}  // namespace ferrolune
