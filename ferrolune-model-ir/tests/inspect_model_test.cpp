#include "ferrolune/model_ir/inspect_model.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "ferrolune/testing/case_name.h"
#include "test_files.h"

namespace ferrolune {
namespace {

using testing::TempDir;
using testing::within_time_limit;

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
                                           ExtensionCase{"m.\xff\xfe", ""}),
                         [](const auto& info) { return testing::case_name(info.param.path); });

struct RefusedCase {
    const char* name;
    const char* expected;
};

class Refused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Refused, names_the_extension_and_never_opens_the_file) {
    TempDir dir;
    // The file does not exist: an attempt to open it would show in the error.
    auto r = inspect_model(dir.str(GetParam().name));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().render(), std::string("unrecognised model file extension '") + GetParam().expected +
                                      "'; expected '.gguf' or '.onnx'");
}

INSTANTIATE_TEST_SUITE_P(Cases, Refused,
                         ::testing::Values(RefusedCase{"model.bin", ".bin"}, RefusedCase{"model", "."},
                                           RefusedCase{"model.", "."}, RefusedCase{".gguf", "."},
                                           RefusedCase{"m.\xc3\x89GGUF", ".\xc3\x89gguf"}),
                         [](const auto& info) { return testing::case_name(info.param.name); });

TEST(InspectModel, dispatches_on_extension_not_content) {
    TempDir dir;
    const std::string gguf_bytes = std::string("GGUF\x03\0\0\0", 8) + std::string(16, '\0');
    auto as_gguf = inspect_model(dir.write("Model.Gguf", gguf_bytes));
    ASSERT_TRUE(as_gguf) << as_gguf.error().render();
    EXPECT_EQ(as_gguf->format, ModelFormat::Gguf);

    // The same GGUF bytes named .onnx go to the ONNX reader and fail there.
    auto as_onnx = inspect_model(dir.write("model.onnx", gguf_bytes));
    ASSERT_FALSE(as_onnx);
    ASSERT_FALSE(as_onnx.error().causes().empty());
    EXPECT_EQ(as_onnx.error().causes()[0], "decode ONNX protobuf");
}

// How each test file is made inside the test's directory.
enum class Make { Bytes, Missing, Directory, Fifo, LinkToZero, LinkToUrandom };

struct ModelFileCase {
    const char* name;
    const char* file;
    Make make;
    std::string bytes;
    bool not_a_model;
    const char* cause;  // the root of the error chain
};

class NotAModelDetail : public ::testing::TestWithParam<ModelFileCase> {};

std::string make_file(const TempDir& dir, const ModelFileCase& c) {
    const std::string path = dir.str(c.file);
    switch (c.make) {
        case Make::Bytes: return dir.write(c.file, c.bytes);
        case Make::Missing: return path;
        case Make::Directory: std::filesystem::create_directory(path); return path;
        case Make::Fifo: EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0); return path;
        case Make::LinkToZero: std::filesystem::create_symlink("/dev/zero", path); return path;
        case Make::LinkToUrandom: std::filesystem::create_symlink("/dev/urandom", path); return path;
    }
    return path;
}

// A FIFO without a writer would block the open and a device would feed the
// reader forever; both must be refused at once, before a byte is read.
TEST_P(NotAModelDetail, marks_files_that_are_no_model_of_their_format_at_all) {
    const auto& c = GetParam();
    TempDir dir;
    const std::string path = make_file(dir, c);
    auto r = within_time_limit([&] { return inspect_model(path); });
    ASSERT_FALSE(r);
    EXPECT_EQ(is_not_a_model(r.error()), c.not_a_model) << r.error().render();
    EXPECT_EQ(r.error().root_cause(), c.cause) << r.error().render();
    // The error users see names the file.
    if (c.make != Make::Bytes || std::string(c.file) != "model.bin")
        EXPECT_NE(r.error().message().find(path), std::string::npos) << r.error().message();
}

std::string gguf_header(uint32_t version, uint64_t kv_count) {
    std::string b = "GGUF";
    const uint64_t tensors = 0;
    b.append(reinterpret_cast<const char*>(&version), 4);
    b.append(reinterpret_cast<const char*>(&tensors), 8);
    b.append(reinterpret_cast<const char*>(&kv_count), 8);
    return b;
}

constexpr const char* kShort = "failed to fill whole buffer";

INSTANTIATE_TEST_SUITE_P(
    Cases, NotAModelDetail,
    ::testing::Values(
        ModelFileCase{"missing_gguf", "none.gguf", Make::Missing, "", true, "No such file or directory (os error 2)"},
        ModelFileCase{"missing_onnx", "none.onnx", Make::Missing, "", true, "No such file or directory (os error 2)"},
        ModelFileCase{"directory_gguf", "d.gguf", Make::Directory, "", true, "not a regular file"},
        ModelFileCase{"fifo_gguf", "x.gguf", Make::Fifo, "", true, "not a regular file"},
        ModelFileCase{"fifo_onnx", "x.onnx", Make::Fifo, "", true, "not a regular file"},
        ModelFileCase{"dev_zero_gguf", "z.gguf", Make::LinkToZero, "", true, "not a regular file"},
        ModelFileCase{"dev_zero_onnx", "z.onnx", Make::LinkToZero, "", true, "not a regular file"},
        ModelFileCase{"dev_urandom_onnx", "r.onnx", Make::LinkToUrandom, "", true, "not a regular file"},
        ModelFileCase{"dev_urandom_gguf", "r.gguf", Make::LinkToUrandom, "", true, "not a regular file"},
        ModelFileCase{"empty_gguf", "e.gguf", Make::Bytes, "", true, kShort},
        ModelFileCase{"two_bytes_gguf", "s.gguf", Make::Bytes, "GG", true, kShort},
        ModelFileCase{"text_gguf", "t.gguf", Make::Bytes, "hello, world\n", true,
                      "not a GGUF file (bad magic: [104, 101, 108, 108])"},
        ModelFileCase{"zeros_gguf", "0.gguf", Make::Bytes, std::string(64, '\0'), true,
                      "not a GGUF file (bad magic: [0, 0, 0, 0])"},
        ModelFileCase{"empty_onnx", "e.onnx", Make::Bytes, "", true, "not an ONNX model: the file is empty"},
        ModelFileCase{"text_onnx", "t.onnx", Make::Bytes, "hello, world\n", true, "end-group tag outside a group at byte 2"},
        ModelFileCase{"unknown_extension", "model.bin", Make::Bytes, "GGUF", true,
                      "unrecognised model file extension '.bin'; expected '.gguf' or '.onnx'"},
        // The right magic: a model whose metadata does not decode, which
        // the optimizer still measures.
        ModelFileCase{"unsupported_version", "v.gguf", Make::Bytes, gguf_header(4, 0), false,
                      "unsupported GGUF version 4; expected 1\u20133"},
        ModelFileCase{"metadata_cut_off", "c.gguf", Make::Bytes, gguf_header(3, 1), false, kShort}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ferrolune
