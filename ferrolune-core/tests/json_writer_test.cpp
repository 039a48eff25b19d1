#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "ferrolune/core/json_writer.h"
#include "ferrolune/testing/case_name.h"

namespace j = ferrolune::json;

TEST(JsonWriter, escapes_quote_backslash_and_controls) {
    std::string out;
    j::append_string(out, std::string("a\"b\\c\b\f\n\r\t\x01\x1f\x7f\xC3\xA9", 15));
    EXPECT_EQ(out, "\"a\\\"b\\\\c\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xC3\xA9\"");
}

struct FloatCase {
    double value;
    const char* text;
};
class FloatForm : public ::testing::TestWithParam<FloatCase> {};
TEST_P(FloatForm, writes_shortest_round_trip) { EXPECT_EQ(j::format_double(GetParam().value), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(
    Cases, FloatForm,
    ::testing::Values(FloatCase{12.0, "12.0"}, FloatCase{0.0, "0.0"}, FloatCase{0.00001, "0.00001"},
                      FloatCase{1e16, "1e16"}, FloatCase{1.5e-6, "1.5e-6"}, FloatCase{41.5, "41.5"},
                      FloatCase{-2.25, "-2.25"}, FloatCase{0.1, "0.1"}, FloatCase{9999999999999998.0, "9999999999999998.0"},
                      FloatCase{1.2345e20, "1.2345e20"}, FloatCase{123456.789, "123456.789"},
                      FloatCase{std::numeric_limits<double>::infinity(), "null"}, FloatCase{std::nan(""), "null"}),
    [](const auto& info) { return ferrolune::testing::number_case_name(info.param.value, info.param.text); });

TEST(JsonWriter, compact_and_pretty_objects) {
    for (bool pretty : {false, true}) {
        j::Writer w(pretty);
        w.begin_object().key("a").begin_object().key("x").uint(1).key("y").string("s").end_object();
        w.key("n").null().key("arr").begin_array().uint(2).uint(3).end_array().end_object();
        if (!pretty) {
            EXPECT_EQ(w.text(), R"({"a":{"x":1,"y":"s"},"n":null,"arr":[2,3]})");
        } else {
            EXPECT_EQ(w.text(), "{\n  \"a\": {\n    \"x\": 1,\n    \"y\": \"s\"\n  },\n  \"n\": null,\n  \"arr\": [\n    2,\n    3\n  ]\n}");
        }
    }
}

TEST(JsonWriter, empty_containers) {
    j::Writer w(true);
    w.begin_object().key("e").begin_array().end_array().end_object();
    EXPECT_EQ(w.text(), "{\n  \"e\": []\n}");
}
