// The attribute values the tag rules find by hand in plain-ASCII tags must
// be what the attribute expressions find: random tags built from the
// characters that matter, compared with the expression engine.
#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <random>

#include "html/html_stream_filter.h"
#include "html/tag_rules.ipp"
#include "kit/kit.h"

namespace {

template <class C>
void compare_on_random_tags(std::uint32_t seed) {
    using string_t = std::basic_string<C>;
    static const char alphabet[] =
        "hrefHREFsrcSRCdataDATAheightHEIGHTwidthWIDTHttp:/HTTP= \t\n\"\"\"==0123456789%%<>x.";
    std::mt19937 rng(seed);
    const int ids[] = {html::rules::rx_a_link, html::rules::rx_src, html::rules::rx_data, html::rules::rx_height,
                       html::rules::rx_width};
    for (int round = 0; round < 4000; ++round) {
        string_t text;
        const std::size_t length = rng() % 40;
        for (std::size_t k = 0; k < length; ++k) {
            // Now and then a whole name, so that values are found often.
            if (rng() % 6 == 0) {
                static const char* const names[] = {"href=",   "HREF=\"",  "src=\"", "data=\"",
                                                    "height=", "Width=\"", "http://"};
                for (const char* p = names[rng() % 7]; *p; ++p) text.push_back(C(*p));
            } else {
                text.push_back(C(alphabet[rng() % (sizeof(alphabet) - 1)]));
            }
        }
        for (int id : ids) {
            html::rules::attr_value v;
            bool decided = false;
            const bool found = html::rules::quick_value(text, true, id, v, decided);
            ASSERT_TRUE(decided);
            html::rules::match_t<C> m;
            const bool expected = html::rules::find_attr(text, id, m);
            ASSERT_EQ(found, expected) << "expression " << id << " round " << round;
            if (!found) continue;
            EXPECT_EQ(v.begin, static_cast<std::size_t>(m[1].first - text.begin())) << id << " round " << round;
            EXPECT_EQ(v.end, static_cast<std::size_t>(m[1].second - text.begin())) << id << " round " << round;
            EXPECT_EQ(v.second, m[2].matched) << id << " round " << round;
        }
    }
}

}  // namespace

TEST(html_attr_values, found_by_hand_as_the_expressions_find_them_narrow_and_wide) {
    compare_on_random_tags<char>(kit::test_seed());
    compare_on_random_tags<wchar_t>(kit::test_seed() + 1);
}

TEST(html_attr_values, tags_outside_ascii_are_left_to_the_expressions) {
    html::rules::attr_value v;
    bool decided = true;
    const std::string text = "<img src=\"caf\xC3\xA9.gif\" width=\"12\">";
    html::rules::quick_value(text, html::rules::is_plain_ascii(text), html::rules::rx_src, v, decided);
    EXPECT_FALSE(decided);
}
