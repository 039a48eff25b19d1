#include <any>

#include <gtest/gtest.h>

#include "ferrolune/core/error.h"

using ferrolune::Error;

TEST(Error, renders_message_then_each_cause) {
    Error e = Error("failed to fill whole buffer").context("read KV key").context("read GGUF file");
    EXPECT_EQ(e.message(), "read GGUF file");
    EXPECT_EQ(e.render(), "read GGUF file: read KV key: failed to fill whole buffer");
    EXPECT_EQ(e.root_cause(), "failed to fill whole buffer");
}

TEST(Error, without_causes_renders_message_alone) {
    EXPECT_EQ(Error("plain").render(), "plain");
    EXPECT_EQ(Error("plain").root_cause(), "plain");
}

TEST(Error, os_error_text_names_description_and_number) {
    EXPECT_EQ(ferrolune::os_error_text(2), "No such file or directory (os error 2)");
}

TEST(Error, with_context_passes_success_through) {
    ferrolune::Result<int> ok = 3;
    EXPECT_EQ(*ferrolune::with_context(ok, "ctx"), 3);
    ferrolune::Result<int> bad = ferrolune::fail("inner");
    EXPECT_EQ(ferrolune::with_context(bad, "outer").error().render(), "outer: inner");
}

TEST(Error, context_repeated_wraps_like_repeated_context) {
    for (std::size_t times : {0u, 1u, 3u}) {
        Error one_by_one = Error("root").context("mid");
        for (std::size_t i = 0; i < times; ++i) one_by_one = std::move(one_by_one).context("skip");
        Error bulk = Error("root").context("mid").context_repeated("skip", times);
        EXPECT_EQ(bulk.render(), one_by_one.render());
        EXPECT_EQ(bulk.causes(), one_by_one.causes());
        EXPECT_EQ(bulk.root_cause(), "root");
    }
}

TEST(Error, context_keeps_the_detail_of_the_root_cause) {
    Error root = Error("missing").set_detail(7);
    Error wrapped = root.context("outer").context("outermost");
    ASSERT_NE(std::any_cast<int>(&wrapped.detail()), nullptr);
    EXPECT_EQ(std::any_cast<int>(wrapped.detail()), 7);
    Error bulk = Error(root).context_repeated("skip", 3);
    ASSERT_NE(std::any_cast<int>(&bulk.detail()), nullptr);
}
