// The ASCII helpers every protocol parser shares: only A-Z and a-z fold,
// for narrow and wide code units alike; bytes past ASCII never match a
// letter.
#include "core/ascii.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ascii, folding_touches_letters_only) {
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
        EXPECT_EQ(ascii_lower(ch), upper ? static_cast<char>(c + 32) : ch) << c;
        EXPECT_EQ(ascii_upper(ch), lower ? static_cast<char>(c - 32) : ch) << c;
    }
    EXPECT_EQ(ascii_lower(wchar_t(0x130)), wchar_t(0x130));  // no Unicode folding
    EXPECT_EQ(ascii_lower(L'Q'), L'q');
}

TEST(ascii, whole_words_compare_without_case_and_without_slack) {
    const std::string field = "Content-TYPE";
    EXPECT_TRUE(ascii_iequal(field, "content-type"));
    EXPECT_TRUE(ascii_iequal(field, "CONTENT-type"));
    EXPECT_FALSE(ascii_iequal(field, "content-typ"));
    EXPECT_FALSE(ascii_iequal(field, "content-types"));
    EXPECT_TRUE(ascii_iequal(field.data(), 7, "content"));
    EXPECT_TRUE(ascii_iequal(std::string(), ""));
    // A byte past ASCII is not the letter it would be with bit 5 cleared.
    EXPECT_FALSE(ascii_iequal(std::string("\xC1"), "a"));
    EXPECT_FALSE(ascii_iequal(std::string("{"), "["));
}

TEST(ascii, prefixes_and_searches_fold_the_text_only) {
    EXPECT_TRUE(ascii_starts_folded("BEGIN 644 x", 11, "begin "));
    EXPECT_FALSE(ascii_starts_folded("BEGI", 4, "begin"));  // too short to hold the word
    EXPECT_FALSE(ascii_starts_folded("bEgIx", 5, "begin"));
    const std::string value = "attachment; FileName*0*=utf-8''a; filename*1*=b";
    EXPECT_EQ(ascii_find_folded(value, "filename*"), 12u);
    EXPECT_EQ(ascii_find_folded(value, "filename*", 13), 34u);
    EXPECT_EQ(ascii_find_folded(value, "filename*", 35), std::string::npos);
    EXPECT_EQ(ascii_find_folded(std::string("ab"), "abc"), std::string::npos);
    EXPECT_TRUE(ascii_folded_at(value, 12, "filename"));
}

TEST(ascii, hex_digits_in_both_cases_and_nothing_else) {
    const std::string digits = "0123456789abcdefABCDEF";
    const int want[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15};
    for (std::size_t i = 0; i < digits.size(); ++i) EXPECT_EQ(hex_value(digits[i]), want[i]) << digits[i];
    for (char c : std::string("gG/:@`\x80 ")) EXPECT_EQ(hex_value(c), -1) << int(c);
    EXPECT_EQ(hex_value(L'F'), 15);
}

}  // namespace
