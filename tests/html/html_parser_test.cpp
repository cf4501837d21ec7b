// The HTML parser driven through its narrow and wide sub-handlers: modes,
// held markup across chunks, the tag stack, bounds on held input, and
// hostile input.
#include <gtest/gtest.h>

#include <random>

#include "kit/html.h"

using namespace kit;

namespace {

const char* const k_ad_img = "<img src=\"http://ads.test/b.gif\">";
const char* const k_ad_img_replaced = "<img src=\"file://C:\\t.gif\" >";

kit::test_qualifier ads_policy() {
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.block(idx_activex);
    q.ad_words = {"ads.test"};
    return q;
}

// A policy under which the page is parsed although no rule changes the
// markup of these tests: how markup is held between chunks shows.
kit::test_qualifier parsing_policy() {
    kit::test_qualifier q;
    q.block(idx_ads_by_size);
    return q;
}

// Output of every update separately, then the stop output.
std::vector<std::string> outputs(i_sub_handler& h, const std::vector<std::string>& chunks) {
    std::vector<std::string> r;
    for (auto c : chunks) {
        h.update_in(c);
        r.push_back(c);
    }
    std::string last;
    h.stop(last);
    r.push_back(last);
    return r;
}

// Every two-chunk split, one byte at a time, and random chunkings: all give
// 'expected'.
void expect_any_chunking(kit::test_qualifier& q, const std::string& page, const std::string& expected) {
    host_scope hs;
    ASSERT_EQ(run_narrow(q, page), expected) << "whole";
    for (std::size_t at = 0; at <= page.size(); ++at)
        ASSERT_EQ(run_narrow(q, kit::split_at(page, at)), expected) << "split at " << at;
    ASSERT_EQ(run_narrow(q, kit::one_byte_chunks(page)), expected) << "one byte at a time";
    for (std::uint32_t k = 0; k < 20; ++k)
        ASSERT_EQ(run_narrow(q, kit::random_chunks(page, kit::test_seed() + k, 17)), expected) << "seed+" << k;
}

// Feeds the page in pieces of 'piece' bytes and stops the handler; all
// output in order, and in 'max_held' the most it held between pieces.
std::string feed_watching_held(html::narrow_html_sub_handler& h, const std::string& page, std::size_t piece,
                               std::size_t& max_held) {
    std::string out;
    for (std::size_t at = 0; at < page.size(); at += piece) {
        std::string c = page.substr(at, piece);
        h.update_in(c);
        out += c;
        max_held = std::max(max_held, h.held_size());
    }
    std::string last;
    h.stop(last);
    return out + last;
}

}  // namespace

TEST(html_parser, realistic_pages_pass_unchanged_when_everything_is_allowed) {
    for (const char* name : {"portal.html", "frames.html"}) {
        std::string page = read_data(name);
        ASSERT_GT(page.size(), 1000u) << name;
        kit::test_qualifier q;
        expect_any_chunking(q, page, page);
    }
}

TEST(html_parser, realistic_page_with_policy_matches_hand_checked_output_at_every_split) {
    std::string page = read_data("portal.html");
    std::string expected = read_data("portal.ads_blocked.html");
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.block(idx_ads_by_size);
    q.block(idx_popups);
    q.block(idx_load_unload_script);
    q.ad_words = {"adserver.test", "/banners/"};
    q.ad_sizes = {{468, 60}, {728, 90}};
    q.host = "www.portal.test";
    expect_any_chunking(q, page, expected);
}

// While no rule can act the page is not parsed; a rule that comes on acts
// from the next chunk, read as the top of a page, and the page stays parsed.
TEST(html_parser, a_rule_that_comes_on_mid_page_acts_from_the_next_chunk_and_each_page_decides_anew) {
    host_scope hs;
    kit::test_qualifier q;
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    auto pass = [&h](std::string chunk) {
        h.update_in(chunk);
        return chunk;
    };
    EXPECT_EQ(pass(std::string("<p>x</p>") + k_ad_img + "<b"), std::string("<p>x</p>") + k_ad_img + "<b");
    q.block(idx_ads_by_link);
    q.ad_words = {"ads.test"};
    EXPECT_EQ(pass(std::string(">t</b>") + k_ad_img), std::string(">t</b>") + k_ad_img_replaced);
    q.permissions[idx_ads_by_link] = content_action_allow;
    EXPECT_EQ(pass("<i"), "");  // still parsed: the open tag waits
    EXPECT_EQ(pass(">y"), "<i>y");
    std::string last;
    h.stop(last);
    EXPECT_EQ(last, "");

    h.reset();
    EXPECT_EQ(pass(k_ad_img), k_ad_img);
    h.reset();
    q.block(idx_ads_by_link);
    EXPECT_EQ(pass(k_ad_img), k_ad_img_replaced);

    // Wide: an odd byte held while the page passed keeps the units paired.
    q.permissions[idx_ads_by_link] = content_action_allow;
    html::wide_html_sub_handler w(&q, &fb);
    const std::string page = kit::utf16le(std::string("<p>ab</p>") + k_ad_img);
    std::string first = page.substr(0, 5), second = page.substr(5);
    w.update_in(first);
    EXPECT_EQ(first, page.substr(0, 4));
    q.block(idx_ads_by_link);
    w.update_in(second);
    EXPECT_EQ(first + second, kit::utf16le(std::string("<p>ab</p>") + k_ad_img_replaced));
}

TEST(html_parser, a_tag_split_across_chunks_is_emitted_once_whole_with_the_later_chunk) {
    host_scope hs;
    kit::test_qualifier q = parsing_policy();
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    auto out = outputs(h, {"text before <a hr", "ef=\"x.html\">link</a> after"});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], "text before ");
    EXPECT_EQ(out[1], "<a href=\"x.html\">link</a> after");
    EXPECT_EQ(out[2], "");
}

TEST(html_parser, lone_angle_bracket_in_text_goes_out_at_once_but_a_trailing_one_waits) {
    host_scope hs;
    kit::test_qualifier q = parsing_policy();
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    auto out = outputs(h, {"a < b and c <", " d", "<<<<", "p>", "x<", "!"});
    EXPECT_EQ(out[0], "a < b and c ");
    EXPECT_EQ(out[1], "< d");
    EXPECT_EQ(out[2], "<<<");  // the last '<' may start a tag
    EXPECT_EQ(out[3], "<p>");
    EXPECT_EQ(out[4], "x");
    EXPECT_EQ(out[5], "");    // "<!" may still become a comment or a tag
    EXPECT_EQ(out[6], "<!");  // stop hands back what is held
}

TEST(html_parser, stop_hands_back_an_incomplete_tag_unchanged) {
    host_scope hs;
    kit::test_qualifier q = ads_policy();
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    auto out = outputs(h, {"abc<img src=\"http://ads.test/x.gif\" width="});
    EXPECT_EQ(out[0], "abc");
    EXPECT_EQ(out[1], "<img src=\"http://ads.test/x.gif\" width=");
}

TEST(html_parser, closing_tag_without_opening_tag_passes_unchanged) {
    kit::test_qualifier q = ads_policy();
    host_scope hs;
    EXPECT_EQ(run_narrow(q, "</div></b>text</p>"), "</div></b>text</p>");
}

TEST(html_parser, enclosing_element_closes_inner_ones_and_restores_their_state) {
    kit::test_qualifier q;
    q.block(idx_activex);
    host_scope hs;
    // The blocked OBJECT is never closed itself; closing the DIV ends its cut.
    EXPECT_EQ(run_narrow(q, "<div>in<object data=\"x\"><b>gone</b></div>after<b>b</b>"), "<div>in</div>after<b>b</b>");
}

TEST(html_parser, tag_names_match_without_regard_to_case) {
    kit::test_qualifier q;
    q.block(idx_activex);
    host_scope hs;
    EXPECT_EQ(run_narrow(q, "<Div>x<OBJECT>y</Object>z</dIV>w"), "<Div>xz</dIV>w");
}

TEST(html_parser, markup_after_the_last_script_of_the_last_chunk_is_filtered) {
    kit::test_qualifier q = ads_policy();
    host_scope hs;
    std::string page = std::string("<script>var a = 1;</script>") + k_ad_img + "<p>end</p>";
    std::string expected = std::string("<script>var a = 1;</script>") + k_ad_img_replaced + "<p>end</p>";
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    std::string chunk = page;
    h.update_in(chunk);
    // Everything is settled by this one update: nothing waits for more data.
    EXPECT_EQ(chunk, expected);
    EXPECT_EQ(h.held_size(), 0u);
}

TEST(html_parser, closing_script_tag_inside_a_string_does_not_end_the_script) {
    kit::test_qualifier q = ads_policy();
    std::string page = std::string("<script>var s = '</script>") + k_ad_img + "';</script>" + k_ad_img;
    std::string expected = std::string("<script>var s = '</script>") + k_ad_img + "';</script>" + k_ad_img_replaced;
    expect_any_chunking(q, page, expected);
}

TEST(html_parser, closing_script_tag_inside_a_line_comment_ends_the_script) {
    kit::test_qualifier q = ads_policy();
    std::string page = std::string("<script>x = 1; // done </script>") + k_ad_img + "\n";
    std::string expected = std::string("<script>x = 1; // done </script>") + k_ad_img_replaced + "\n";
    expect_any_chunking(q, page, expected);
}

TEST(html_parser, script_ends_only_at_the_exact_closing_tag_in_any_case) {
    kit::test_qualifier q = ads_policy();
    // "</script >" is script text; "</SCRIPT>" ends it.
    std::string page = std::string("<SCRIPT>a();</script >") + k_ad_img + "</SCRIPT>" + k_ad_img;
    std::string expected = std::string("<SCRIPT>a();</script >") + k_ad_img + "</SCRIPT>" + k_ad_img_replaced;
    expect_any_chunking(q, page, expected);
}

TEST(html_parser, backslash_escapes_quotes_in_javascript_but_not_in_vbscript) {
    kit::test_qualifier q = ads_policy();
    // JavaScript: \" stays inside the string, so the first closing tag is text.
    std::string js = std::string("<script>x=\"a\\\"</script><object>\";</script>") + k_ad_img;
    std::string js_expected = std::string("<script>x=\"a\\\"</script><object>\";</script>") + k_ad_img_replaced;
    expect_any_chunking(q, js, js_expected);
    // VBScript: the string ends at \", so the first closing tag ends the script.
    std::string vb = std::string("<script language=\"VBScript\">x=\"a\\\"</script>") + k_ad_img + "\"";
    std::string vb_expected =
        std::string("<script language=\"VBScript\">x=\"a\\\"</script>") + k_ad_img_replaced + "\"";
    expect_any_chunking(q, vb, vb_expected);
}

TEST(html_parser, vbscript_remark_runs_to_the_end_of_its_line) {
    kit::test_qualifier q = ads_policy();
    // A quote first on a line is a remark: the apostrophe in it opens no
    // string, and a closing tag inside it does not end the script.
    std::string page =
        std::string("<script language=vbscript>\n  ' it's a </script>") + k_ad_img + "\nx = 1</script>" + k_ad_img;
    std::string expected = std::string("<script language=vbscript>\n  ' it's a </script>") + k_ad_img +
                           "\nx = 1</script>" + k_ad_img_replaced;
    expect_any_chunking(q, page, expected);
    // Elsewhere on a line the quote opens a string.
    std::string page2 = std::string("<script language=vbscript>x = 'a</script>") + k_ad_img + "'</script>" + k_ad_img;
    std::string expected2 =
        std::string("<script language=vbscript>x = 'a</script>") + k_ad_img + "'</script>" + k_ad_img_replaced;
    expect_any_chunking(q, page2, expected2);
}

TEST(html_parser, markup_inside_a_comment_is_left_alone_wherever_the_terminator_falls) {
    kit::test_qualifier q = ads_policy();
    std::string page = std::string("<p>a</p><!-- ") + k_ad_img + " -- - -->" + k_ad_img + "<!---->" + k_ad_img;
    std::string expected =
        std::string("<p>a</p><!-- ") + k_ad_img + " -- - -->" + k_ad_img_replaced + "<!---->" + k_ad_img_replaced;
    expect_any_chunking(q, page, expected);
}

TEST(html_parser, after_a_blocked_page_every_update_is_empty) {
    host_scope hs;
    hs.host.set_reply(zem::codes::http_query_stop_words, kit::word_list_reply({"forbidden"}));
    kit::test_qualifier q;
    q.block(idx_content_by_keywords);
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    auto out = outputs(h, {"<p>fine ", "text forbidden here</p>", "<p>more</p>", "tail"});
    EXPECT_EQ(out[0], "<p>fine ");
    EXPECT_EQ(out[1], "text ");
    EXPECT_EQ(out[2], "");
    EXPECT_EQ(out[3], "");
    EXPECT_EQ(out[4], "");
    EXPECT_TRUE(h.blocked());
    // reset starts a new page.
    h.reset();
    std::string again = "<p>ok</p>";
    h.update_in(again);
    EXPECT_EQ(again, "<p>ok</p>");
}

TEST(html_parser, reset_keeps_addresses_and_qualifier_but_forgets_the_page) {
    kit::test_qualifier q = ads_policy();
    host_scope hs;
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb, "http://example.test/");
    h.set_base_address("example.test");
    std::string a = "<div><object data=\"x\">cut";
    h.update_in(a);
    h.reset();
    EXPECT_EQ(h.base_address(), "example.test");
    EXPECT_EQ(h.page_address(), "http://example.test/");
    EXPECT_EQ(h.tag_depth(), 0u);
    std::string b = std::string("text") + k_ad_img;
    h.update_in(b);
    EXPECT_EQ(b, std::string("text") + k_ad_img_replaced);
}

TEST(html_parser, garbage_with_everything_allowed_comes_out_byte_for_byte) {
    std::mt19937 rng(kit::test_seed());
    const char alphabet[] = "<<<>>>!?/-\"'=aZ_9 \n\t\0\x80\xff";
    for (int round = 0; round < 30; ++round) {
        std::string page;
        const std::size_t n = 200 + rng() % 3000;
        for (std::size_t i = 0; i < n; ++i) {
            if (rng() % 10 == 0) {
                static const char* const words[] = {"<script>",
                                                    "</script>",
                                                    "<!--",
                                                    "-->",
                                                    "<object>",
                                                    "</",
                                                    "<img src=\"http://ads.test/a\">",
                                                    "<frameset rows=\"0,*\">",
                                                    "<a href=\"http://ads.test/\">"};
                page += words[rng() % 9];
            } else {
                page += alphabet[rng() % (sizeof alphabet - 1)];
            }
        }
        kit::test_qualifier q;
        host_scope hs;
        ASSERT_EQ(run_narrow(q, kit::random_chunks(page, kit::test_seed() + round, 50)), page) << round;
        ASSERT_EQ(run_narrow(q, kit::one_byte_chunks(page)), page) << round;
        // Under a restrictive policy the output differs but the parser must
        // survive and hand back something for every chunking.
        kit::test_qualifier strict = ads_policy();
        for (int idx : {idx_activex, idx_java_applets, idx_flash, idx_hidden_frames, idx_ext_images, idx_jscript,
                        idx_load_unload_script, idx_popups, idx_ads_by_size, idx_ax_from_script})
            strict.block(idx);
        const std::string whole = run_narrow(strict, page);
        EXPECT_LE(whole.size(), page.size() * 4 + 4096);
        ASSERT_EQ(run_narrow(strict, kit::random_chunks(page, kit::test_seed() + round, 50)), whole) << round;
        ASSERT_EQ(run_narrow(strict, kit::one_byte_chunks(page)), whole) << round;
    }
}

TEST(html_parser, a_tag_that_never_closes_is_released_past_the_bound_and_filtering_goes_on) {
    kit::test_qualifier q = ads_policy();
    host_scope hs;
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    const std::size_t bound = html::narrow_html_filter::max_held_markup;
    std::string page = "<p>x</p><div title=\"" + std::string(bound + 50000, 'a') + "\">" + k_ad_img + "<p>y</p>";
    std::size_t max_held = 0;
    const std::string out = feed_watching_held(h, page, 4096, max_held);
    EXPECT_LE(max_held, bound + 4096);
    const std::string expected =
        "<p>x</p><div title=\"" + std::string(bound + 50000, 'a') + "\">" + k_ad_img_replaced + "<p>y</p>";
    EXPECT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected);
}

TEST(html_parser, an_endless_script_string_is_released_past_the_bound) {
    kit::test_qualifier q = ads_policy();
    host_scope hs;
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    const std::size_t bound = html::narrow_html_filter::max_held_script;
    // The string never closes, so the closing tag inside it is script text.
    std::string page = "<script>var s = \"" + std::string(bound * 2, 'q') + "</script>" + k_ad_img;
    std::size_t max_held = 0;
    const std::string out = feed_watching_held(h, page, 1000, max_held);
    EXPECT_LE(max_held, bound + 1000);
    EXPECT_TRUE(out == page);
}

TEST(html_parser, the_tag_stack_is_bounded) {
    kit::test_qualifier q = parsing_policy();
    host_scope hs;
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    std::string page = "<body>";
    for (int i = 0; i < 20000; ++i) page += "<br><i>";
    std::string c = page;
    h.update_in(c);
    EXPECT_EQ(c, page);
    EXPECT_EQ(h.tag_depth(), html::narrow_html_filter::max_tag_depth);
    std::string close = "</body>";
    h.update_in(close);
    EXPECT_EQ(close, "</body>");
    EXPECT_EQ(h.tag_depth(), 0u);
}

TEST(html_parser, classify_tag_compares_whole_names_without_case) {
    using F = html::narrow_html_filter;
    EXPECT_EQ(F::classify_tag("a"), html::tag_a);
    EXPECT_EQ(F::classify_tag("ScRiPt"), html::tag_script);
    EXPECT_EQ(F::classify_tag("FRAMESET"), html::tag_frameset);
    EXPECT_EQ(F::classify_tag("frame"), html::tag_frame);
    EXPECT_EQ(F::classify_tag("img"), html::tag_img);
    EXPECT_EQ(F::classify_tag("body"), html::tag_body);
    EXPECT_EQ(F::classify_tag("abbr"), html::tag_other);
    EXPECT_EQ(F::classify_tag("!DOCTYPE"), html::tag_other);
    EXPECT_EQ(F::classify_tag("imgx"), html::tag_other);
    EXPECT_EQ(html::wide_html_filter::classify_tag(L"IFrame"), html::tag_iframe);
}

// --- the UTF-16 adapter ---

namespace {

std::string run_wide(kit::test_qualifier& q, const std::vector<std::string>& chunks) {
    stub_connection_feedback fb;
    html::wide_html_sub_handler h(&q, &fb);
    return feed(h, chunks);
}

}  // namespace

TEST(html_wide, utf16_page_is_filtered_like_the_narrow_one_at_every_byte_split) {
    kit::test_qualifier q = ads_policy();
    q.block(idx_activex);
    host_scope hs;
    std::string narrow = std::string("<html><body><p>caf\xe9</p>") + k_ad_img +
                         "<object classid=\"clsid:11111111-2222-3333-4444-555555555555\">x</object>"
                         "<script>s=\"</script>\";</script></body></html>";
    std::string narrow_expected = std::string("<html><body><p>caf\xe9</p>") + k_ad_img_replaced +
                                  "<script>s=\"</script>\";</script></body></html>";
    // A character outside the code page and a lone surrogate travel untouched.
    std::string extra_in = std::string("\x3a\x26", 2) + std::string("\x00\xd8", 2);
    std::string page = platform::wide_to_utf16le(platform::ansi_to_wide(narrow)) + extra_in;
    std::string expected = platform::wide_to_utf16le(platform::ansi_to_wide(narrow_expected)) + extra_in;
    ASSERT_EQ(run_wide(q, {page}), expected);
    for (std::size_t at = 0; at <= page.size(); ++at) ASSERT_EQ(run_wide(q, kit::split_at(page, at)), expected) << at;
    ASSERT_EQ(run_wide(q, kit::one_byte_chunks(page)), expected);
    ASSERT_EQ(run_wide(q, kit::random_chunks(page, kit::test_seed(), 9)), expected);
}

TEST(html_wide, an_odd_byte_waits_for_its_pair_and_stop_hands_it_back) {
    kit::test_qualifier q;
    host_scope hs;
    stub_connection_feedback fb;
    html::wide_html_sub_handler h(&q, &fb);
    std::string a("a\0b", 3);
    h.update_in(a);
    EXPECT_EQ(a, std::string("a\0", 2));
    std::string b("\0", 1);
    h.update_in(b);
    EXPECT_EQ(b, std::string("b\0", 2));
    std::string c("<", 1);
    h.update_in(c);
    EXPECT_EQ(c, "");
    std::string last;
    h.stop(last);
    EXPECT_EQ(last, "<");
}

TEST(html_parser, document_address_gives_the_base_of_relative_links) {
    kit::test_qualifier q = ads_policy();
    q.ad_words = {"http://www.site.test//ads/"};
    host_scope hs;
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    h.set_document_address("http://www.site.test/news/today.html?x=1");
    EXPECT_EQ(h.base_address(), "www.site.test");
    EXPECT_EQ(h.page_address(), "http://www.site.test/news/today.html?x=1");
    EXPECT_EQ(feed(h, {"<img src=\"/ads/1.gif\"><img src=\"/img/1.gif\">"}),
              std::string(k_ad_img_replaced) + "<img src=\"/img/1.gif\">");
    html::wide_html_sub_handler w(&q, &fb);
    w.set_document_address("www.site.test");
    EXPECT_EQ(w.base_address(), L"www.site.test");
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].address, "http://www.site.test/news/today.html?x=1");
}

TEST(html_parser, a_closing_tag_finds_the_innermost_open_element_of_its_name) {
    kit::test_qualifier q;
    q.block(idx_activex);
    host_scope hs;
    // Inside the removed OBJECT an inner X opens and closes; the outer X
    // closes later and stays.
    EXPECT_EQ(run_narrow(q, "<x><object>A<x>B</X>C</object>D</x>E"), "<x>D</x>E");
    // Many names at once: each closing tag pops back to its own element.
    std::string page, expected;
    for (int i = 0; i < 300; ++i) page += "<t" + std::to_string(i) + ">";
    page += "<object>gone";
    for (int i = 299; i >= 0; i -= 3) page += "</T" + std::to_string(i) + ">";
    expected = page.substr(0, page.find("<object>"));
    // The first closing tag ends the cut (it closes an element around the
    // OBJECT); the rest pass.
    expected += page.substr(page.find("gone") + 4);
    EXPECT_EQ(run_narrow(q, page), expected);
    // An element deeper than the closing tag's first look, found through the
    // name index; then the stack empties, and the next round starts without.
    page.clear();
    expected.clear();
    for (int round = 0; round < 3; ++round) {
        std::string opens;
        for (int i = 0; i < 40; ++i) opens += "<d" + std::to_string(i) + ">";
        page += opens + "<object>gone</D1>mid</D0>after";
        expected += opens + "</D1>mid</D0>after";
    }
    EXPECT_EQ(run_narrow(q, page), expected);
}

TEST(html_wide, the_realistic_page_in_utf16_gives_the_same_result_at_every_byte_split) {
    const std::string page = platform::wide_to_utf16le(platform::ansi_to_wide(read_data("portal.html")));
    const std::string expected =
        platform::wide_to_utf16le(platform::ansi_to_wide(read_data("portal.ads_blocked.html")));
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.block(idx_ads_by_size);
    q.block(idx_popups);
    q.block(idx_load_unload_script);
    q.ad_words = {"adserver.test", "/banners/"};
    q.ad_sizes = {{468, 60}, {728, 90}};
    q.host = "www.portal.test";
    host_scope hs;
    ASSERT_EQ(run_wide(q, {page}), expected);
    for (std::size_t at = 1; at < page.size(); at += 3) ASSERT_EQ(run_wide(q, kit::split_at(page, at)), expected) << at;
    ASSERT_EQ(run_wide(q, kit::one_byte_chunks(page)), expected);
    ASSERT_EQ(run_wide(q, kit::random_chunks(page, kit::test_seed(), 33)), expected);
}
