#include <gtest/gtest.h>

#include "ferrolune/core/text.h"
#include "ferrolune/testing/case_name.h"

namespace t = ferrolune::text;

TEST(Text, lossy_decoding_replaces_each_maximal_bad_subpart) {
    EXPECT_EQ(t::decode_utf8_lossy("ok"), "ok");
    EXPECT_EQ(t::decode_utf8_lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    // A truncated three-byte sequence is one replacement, not two.
    EXPECT_EQ(t::decode_utf8_lossy("\xE2\x82" "x"), "\xEF\xBF\xBD" "x");
    // A real U+FFFD in the input stays as it is.
    EXPECT_EQ(t::decode_utf8_lossy("\xEF\xBF\xBD"), "\xEF\xBF\xBD");
    EXPECT_FALSE(t::is_valid_utf8("\xC0\xAF"));
    EXPECT_TRUE(t::is_valid_utf8("caf\xC3\xA9"));
}

TEST(Text, trim_removes_unicode_white_space_only) {
    EXPECT_EQ(t::trim("  \t x y \n"), "x y");
    // U+3000 IDEOGRAPHIC SPACE and U+00A0 NO-BREAK SPACE are White_Space.
    EXPECT_EQ(t::trim("\xE3\x80\x80name\xC2\xA0"), "name");
    // U+200B ZERO WIDTH SPACE is not.
    EXPECT_EQ(t::trim("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");
    EXPECT_EQ(t::trim("   "), "");
}

TEST(Text, split_lines_drops_one_cr_and_keeps_unterminated_last_line) {
    auto lines = t::split_lines("a\r\nb\r\r\n\nlast");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_EQ(lines[1], "b\r");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "last");
    EXPECT_EQ(t::split_lines("x\n").size(), 1u);
    EXPECT_TRUE(t::split_lines("").empty());
}

struct ParseCase {
    const char* text;
    std::optional<uint32_t> expected;
};

class ParseUnsigned : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseUnsigned, accepts_plus_and_digits_only) {
    EXPECT_EQ(t::parse_unsigned<uint32_t>(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseUnsigned,
                         ::testing::Values(ParseCase{"42", 42u}, ParseCase{"+7", 7u}, ParseCase{"+", std::nullopt},
                                           ParseCase{"", std::nullopt}, ParseCase{"-1", std::nullopt},
                                           ParseCase{"1 ", std::nullopt}, ParseCase{"4294967295", 4294967295u},
                                           ParseCase{"4294967296", std::nullopt}, ParseCase{"[N/A]", std::nullopt}),
                         [](const auto& info) { return ferrolune::testing::case_name(info.param.text); });

TEST(Text, one_decimal_rounds_half_to_even) {
    EXPECT_EQ(t::one_decimal(42.37), "42.4");
    EXPECT_EQ(t::one_decimal(0.25), "0.2");
    EXPECT_EQ(t::one_decimal(0.75), "0.8");
    EXPECT_EQ(t::one_decimal(12.0), "12.0");
}

TEST(Text, unicode_lower_uses_full_case_mapping) {
    EXPECT_EQ(t::unicode_lower("RTX 4090"), "rtx 4090");
    EXPECT_EQ(t::unicode_lower("\xC3\x84MD VRAM"), "\xC3\xA4md vram");   // Ä
    EXPECT_EQ(t::unicode_lower("\xC4\xB0"), "i\xCC\x87");                 // İ becomes two code points
    EXPECT_EQ(t::unicode_lower("\xCE\xA3\xCE\xA3"), "\xCF\x83\xCF\x82");  // final sigma
}

struct NameCase {
    const char* name;
    std::string bytes;
    std::string shown;
};

class PrintableName : public ::testing::TestWithParam<NameCase> {};

TEST_P(PrintableName, escapes_what_a_terminal_would_act_on) { EXPECT_EQ(t::printable_name(GetParam().bytes), GetParam().shown); }

INSTANTIATE_TEST_SUITE_P(
    Cases, PrintableName,
    ::testing::Values(NameCase{"plain", "llama.block_count", "llama.block_count"},
                      NameCase{"letters_beyond_ascii_stay", "caf\xC3\xA9/\xE6\xA8\xA1\xE5\x9E\x8B", "caf\xC3\xA9/\xE6\xA8\xA1\xE5\x9E\x8B"},
                      NameCase{"terminal_escape", "a\x1b[31mred", "a\\x1b[31mred"},
                      NameCase{"nul_and_line_ends", std::string("k\0\n\r\t", 5), "k\\x00\\n\\r\\t"},
                      NameCase{"delete_and_c1_control", "\x7f\xC2\x9B", "\\x7f\\u009b"},
                      NameCase{"bidi_override_and_line_separator", "a\xE2\x80\xAE" "b\xE2\x80\xA8", "a\\u202eb\\u2028"},
                      NameCase{"bytes_that_are_not_utf8", "m\xff\xfe.gguf", "m\\xff\\xfe.gguf"},
                      NameCase{"backslash_is_doubled", "a\\x41", "a\\\\x41"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Text, long_name_keeps_its_head_and_tail_around_an_ellipsis) {
    const std::string key = "head." + std::string(100000, 'k') + ".tail";
    const std::string shown = t::printable_name(key);
    EXPECT_EQ(shown.substr(0, 5), "head.");
    EXPECT_TRUE(shown.ends_with(".tail"));
    EXPECT_NE(shown.find("k\xE2\x80\xA6k"), std::string::npos);
    // 199 kept characters, all one byte here, and the three-byte ellipsis.
    EXPECT_EQ(shown.size(), 199u + 3u);
    EXPECT_EQ(t::printable_name(std::string(200, 'x')), std::string(200, 'x'));
}

TEST(Text, escapes_count_toward_the_bound_by_their_length_and_stay_whole) {
    // 300 escaped bytes of four characters each: 13 characters hold one
    // escape on each side of the ellipsis, never half of one.
    EXPECT_EQ(t::printable_name(std::string(300, '\x01'), 13), "\\x01\xE2\x80\xA6\\x01");
    const std::string shown = t::printable_name(std::string(100000, '\x1b'));
    EXPECT_LE(shown.size(), 200u + 2u);  // the ellipsis takes three bytes for one character
    EXPECT_GE(shown.size(), 190u);
    EXPECT_EQ(t::quoted_name("a\nb"), "'a\\nb'");
}
