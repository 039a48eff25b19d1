#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "ferrolune/core/file.h"
#include "ferrolune/testing/scratch.h"

namespace fs = std::filesystem;
using namespace ferrolune;

TEST(OpenRegularForReading, opens_a_regular_file_for_blocking_reads) {
    ferrolune::testing::TempDir dir;
    std::ofstream(dir.str("m.gguf")) << "GGUF";
    auto fd = file::open_regular_for_reading(dir.str("m.gguf"));
    ASSERT_TRUE(fd) << fd.error().render();
    EXPECT_EQ(::fcntl(fd->get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(fd->get(), F_GETFD) & FD_CLOEXEC, 0);
    char buf[4];
    ASSERT_TRUE(file::read_exact(fd->get(), buf, 4));
    EXPECT_EQ(std::string(buf, 4), "GGUF");
    auto more = file::read_exact(fd->get(), buf, 1);
    ASSERT_FALSE(more);
    EXPECT_EQ(more.error().message(), "failed to fill whole buffer");
}

// A FIFO with no writer would block open() forever; a device never ends.
TEST(OpenRegularForReading, refuses_fifo_directory_and_device_without_blocking) {
    ferrolune::testing::TempDir dir;
    ASSERT_EQ(::mkfifo(dir.str("x.gguf").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir.path() / "z.onnx");
    for (const std::string& p : {dir.str("x.gguf"), dir.str("z.onnx"), dir.str()}) {
        auto fd = file::open_regular_for_reading(p);
        ASSERT_FALSE(fd) << p;
        EXPECT_EQ(fd.error().message(), "not a regular file") << p;
    }
    auto missing = file::open_regular_for_reading(dir.str("absent"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
}

TEST(ReadToEnd, stops_at_the_limit) {
    ferrolune::testing::TempDir dir;
    std::ofstream(dir.str("f")) << std::string(100000, 'a');
    auto fd = file::open(dir.str("f"), O_RDONLY);
    ASSERT_TRUE(fd);
    EXPECT_FALSE(file::read_to_end(fd->get(), 1000));
    ASSERT_EQ(::lseek(fd->get(), 0, SEEK_SET), 0);
    auto all = file::read_to_end(fd->get());
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 100000u);
}

TEST(CopyContents, copies_everything_and_stops_when_asked) {
    ferrolune::testing::TempDir dir;
    const std::string body(3'000'000, 'x');
    std::ofstream(dir.str("from")) << body;
    auto in = file::open(dir.str("from"), O_RDONLY);
    auto out = file::open(dir.str("to"), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_TRUE(in && out);
    ASSERT_TRUE(file::copy_contents(in->get(), out->get()));
    ASSERT_TRUE(out->close());
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "to"), body.size());

    ASSERT_EQ(::lseek(in->get(), 0, SEEK_SET), 0);
    auto again = file::open(dir.str("again"), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_TRUE(again);
    auto stopped = file::copy_contents(in->get(), again->get(), [] { return Status(fail("stopped")); });
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().message(), "stopped");
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "again"), 0u);
}
