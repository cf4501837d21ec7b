#include "platform/codepage.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/last_error.h"

namespace {

TEST(code_page, ansi_is_windows1252_by_default) {
    std::wstring w = platform::ansi_to_wide("a\x80\xE9");
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0], L'a');
    EXPECT_EQ(static_cast<unsigned>(w[1]), 0x20ACu);  // euro sign
    EXPECT_EQ(static_cast<unsigned>(w[2]), 0xE9u);
    EXPECT_EQ(platform::wide_to_ansi(w), "a\x80\xE9");
}

TEST(code_page, unmappable_becomes_default_characters) {
    std::wstring w;
    w += static_cast<wchar_t>(0x4E2D);  // not in 1252
    w += L'x';
    EXPECT_EQ(platform::wide_to_ansi(w), "?x");
    std::wstring bad;
    EXPECT_TRUE(platform::multibyte_to_wide(platform::cp_utf8,
                                            "a\xFF"
                                            "b",
                                            bad));
    ASSERT_EQ(bad.size(), 3u);
    EXPECT_EQ(static_cast<unsigned>(bad[1]), 0xFFFDu);
    EXPECT_EQ(bad[2], L'b');
}

TEST(code_page, utf7_and_utf8_and_surrogates) {
    std::wstring w;
    EXPECT_TRUE(platform::multibyte_to_wide(platform::cp_utf7, "Hi Mom -+Jjo--!", w));
    ASSERT_GE(w.size(), 9u);
    EXPECT_EQ(static_cast<unsigned>(w[8]), 0x263Au);
    std::string back;
    EXPECT_TRUE(platform::wide_to_multibyte(platform::cp_utf8, w, back));
    EXPECT_EQ(back, "Hi Mom -\xE2\x98\xBA-!");
    std::wstring pair;
    platform::multibyte_to_wide(platform::cp_utf8, "\xF0\x9F\x98\x80", pair);
    ASSERT_EQ(pair.size(), 2u);  // one UTF-16 unit per element
    EXPECT_EQ(static_cast<unsigned>(pair[0]), 0xD83Du);
    EXPECT_EQ(static_cast<unsigned>(pair[1]), 0xDE00u);
    EXPECT_EQ(platform::wide_to_utf16le(pair), std::string("\x3D\xD8\x00\xDE", 4));
    EXPECT_EQ(platform::utf16le_to_wide("\x3D\xD8\x00\xDE\x41", 5), pair);  // odd byte ignored
}

// Plain ASCII text skips the converter in the code pages that hold ASCII as
// it is; a trailing non-ASCII character forces the converter over the same
// text, and both must agree, in both directions.
TEST(code_page, ascii_text_converts_as_the_converter_does) {
    std::string ascii;
    for (int c = 0; c < 0x80; ++c) ascii.push_back(static_cast<char>(c));
    for (unsigned cp : {437u,   850u,   852u,   866u,   874u,   932u,   936u,   949u,   950u,   1250u,  1251u,
                        1252u,  1253u,  1254u,  1255u,  1256u,  1257u,  1258u,  20127u, 20866u, 21866u, 28591u,
                        28592u, 28595u, 28599u, 28603u, 28605u, 28606u, 51932u, 51949u, 54936u, 65001u}) {
        SCOPED_TRACE("code page " + std::to_string(cp));
        std::wstring fast, slow;
        ASSERT_TRUE(platform::multibyte_to_wide(cp, ascii, fast));
        ASSERT_TRUE(platform::multibyte_to_wide(cp, ascii + "\x80", slow));
        ASSERT_GE(slow.size(), ascii.size());
        EXPECT_EQ(fast, slow.substr(0, ascii.size()));
        std::string back_fast, back_slow;
        ASSERT_TRUE(platform::wide_to_multibyte(cp, fast, back_fast));
        ASSERT_TRUE(platform::wide_to_multibyte(cp, fast + L"\x4E2D", back_slow));
        EXPECT_EQ(back_fast, ascii);
        EXPECT_EQ(back_slow.substr(0, ascii.size()), ascii);
    }
    // Code pages where ASCII bytes are not themselves still convert fully.
    std::wstring w;
    ASSERT_TRUE(platform::multibyte_to_wide(platform::cp_utf7, "a+AGE-b", w));
    EXPECT_EQ(w, L"aab");
}

TEST(code_page, unknown_code_page_fails) {
    std::wstring w;
    EXPECT_FALSE(platform::multibyte_to_wide(99999, "abc", w));
}

TEST(clock, filetime_is_after2020_and_ticks_advance) {
    // 2020-01-01 as FILETIME.
    EXPECT_GT(platform::filetime_now(), 132223104000000000ULL);
    std::uint32_t a = platform::tick_count();
    std::uint32_t b = platform::tick_count();
    EXPECT_LE(static_cast<std::uint32_t>(b - a), 1000u);
    EXPECT_EQ(platform::local_time_text().size(), 8u);
}

TEST(last_error, guard_restores) {
    platform::set_last_error(42);
    {
        platform::last_error_guard g;
        platform::set_last_error(7);
    }
    EXPECT_EQ(platform::get_last_error(), 42);
}

}  // namespace
