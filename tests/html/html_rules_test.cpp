// The tag rules, page in and page out, with and without the comment option,
// and what the host is told about every removal.
#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <random>

#include "kit/html.h"

using namespace kit;

namespace {

struct rules_case {
    std::string page;
    std::string plain;      // expected without the comment option
    std::string commented;  // expected with it
};

void check_both(kit::test_qualifier& q, const rules_case& c, const std::string& base = std::string()) {
    {
        host_scope hs(0);
        EXPECT_EQ(run_narrow(q, std::vector<std::string>{c.page}, base), c.plain);
    }
    {
        host_scope hs(1);
        EXPECT_EQ(run_narrow(q, std::vector<std::string>{c.page}, base), c.commented);
    }
}

std::string comment_of(const std::string& tag, const char* option) {
    return "<!-- tag [" + tag + "] blocked by \"" + option + "\" option-->";
}

}  // namespace

TEST(html_rules, everything_allowed_passes_every_tag_and_asks_nothing) {
    const std::string page =
        "<a href=\"http://ads.test/x\"><img src=\"http://ads.test/b.gif\" width=\"468\" height=\"60\"></a>"
        "<script language=\"VBScript\">window.open(1)</script><noscript>n</noscript>"
        "<object classid=\"clsid:D27CDB6E-AE6D-11CF-96B8-444553540000\"></object><embed src=\"f.swf\">"
        "<applet code=\"A.class\"></applet><iframe src=\"x\" width=\"0\"></iframe>"
        "<frameset rows=\"0,*\"><frame src=\"a\"><frame src=\"b\"></frameset><body onload=\"x()\">";
    kit::test_qualifier q;
    q.ad_words = {"ads.test"};
    q.ad_sizes = {{468, 60}};
    host_scope hs(1);
    EXPECT_EQ(run_narrow(q, page), page);
    EXPECT_TRUE(q.ad_checks.empty());
    EXPECT_EQ(q.ad_size_checks, 0);
    EXPECT_TRUE(q.asked.empty());
    EXPECT_EQ(hs.host.notification_count(), 0u);
}

TEST(html_rules, image_inside_an_advertisement_link_is_replaced_and_the_link_stays) {
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.ad_words = {"clicks.test"};
    const std::string img = "<IMG SRC=\"pic.gif\" WIDTH=\"468\" HEIGHT=\"60\">";
    rules_case c{"<a href=\"http://clicks.test/go\">" + img + "Buy now</a><img src=\"after.gif\">",
                 "<a href=\"http://clicks.test/go\"><img src=\"file://C:\\t.gif\" width=468 height=60 >Buy now</a>"
                 "<img src=\"after.gif\">",
                 "<a href=\"http://clicks.test/go\">" + comment_of(img, "idx_ads_by_link") +
                     "<img src=\"file://C:\\t.gif\" width=468 height=60 >Buy now</a><img src=\"after.gif\">"};
    check_both(q, c);

    q.block(idx_ads_by_link_replace_gif);
    rules_case font{c.page,
                    "<a href=\"http://clicks.test/go\"><FONT size=\"1\">[AD]</FONT>Buy now</a><img src=\"after.gif\">",
                    "<a href=\"http://clicks.test/go\">" + comment_of(img, "idx_ads_by_link") +
                        "<FONT size=\"1\">[AD]</FONT>Buy now</a><img src=\"after.gif\">"};
    check_both(q, font);

    host_scope hs;
    run_narrow(q, c.page);
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].index, static_cast<std::uint32_t>(idx_ads_by_link));
    EXPECT_EQ(notes[0].text, img);
    EXPECT_EQ(notes[0].count, img.size());
    EXPECT_EQ(notes[0].request_id, 77u);
    EXPECT_EQ(notes[0].one, 1u);
    EXPECT_EQ(notes[0].address, "http://example.test/page.html");
}

TEST(html_rules, the_documented_example_replacement_is_byte_exact) {
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.block(idx_ads_by_link_replace_gif);
    q.ad_words = {"b.gif"};
    host_scope hs(1);
    EXPECT_EQ(run_narrow(q, "<IMG SRC=\"b.gif\">"),
              "<!-- tag [<IMG SRC=\"b.gif\">] blocked by \"idx_ads_by_link\" option--><FONT size=\"1\">[AD]</FONT>");
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].keyword, "b.gif");
}

// Browsers refuse file: images on http: pages: a replacement image the host
// gives as an address with a scheme is used as it is; a path stays file:.
TEST(html_rules, a_replacement_image_with_a_scheme_is_used_as_given) {
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.ad_words = {"ads.test"};
    host_scope hs;
    const std::string page = "<img src=\"http://ads.test/b.gif\" width=\"10\" height=\"20\">";
    for (const char* image : {"data:image/gif;base64,R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAICRAEAOw==",
                              "http://img.test/t.gif", "HTTPS://img.test/t.gif"}) {
        q.gif = image;
        EXPECT_EQ(run_narrow(q, page), std::string("<img src=\"") + image + "\" width=10 height=20 >");
        stub_connection_feedback fb;
        html::wide_html_sub_handler wide(&q, &fb);
        EXPECT_EQ(feed(wide, {kit::utf16le(page)}),
                  kit::utf16le(std::string("<img src=\"") + image + "\" width=10 height=20 >"));
    }
    for (const char* path : {"/usr/share/t.gif", "C:\\t.gif", "data.gif", "httpd/t.gif"}) {
        q.gif = path;
        EXPECT_EQ(run_narrow(q, page), std::string("<img src=\"file://") + path + "\" width=10 height=20 >");
    }
}

TEST(html_rules, relative_links_are_completed_with_the_base_address_before_the_check) {
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.ad_words = {"http://www.site.test//ads/"};
    host_scope hs;
    EXPECT_EQ(run_narrow(q, {"<img src=\"/ads/1.gif\"><img src=\"/img/1.gif\">"}, "www.site.test"),
              "<img src=\"file://C:\\t.gif\" ><img src=\"/img/1.gif\">");
}

TEST(html_rules, banner_sized_images_are_replaced_unless_a_size_is_a_percentage) {
    kit::test_qualifier q;
    q.block(idx_ads_by_size);
    q.ad_sizes = {{468, 60}};
    const std::string img = "<IMG SRC=\"x.gif\" WIDTH=\"468\" HEIGHT=\"60\">";
    rules_case c{
        img + "<img src=\"y.gif\" width=\"468%\" height=\"60\"><img src=\"z.gif\" width=\"60\" height=\"468\">",
        "<img src=\"file://C:\\t.gif\" width=468 height=60 >"
        "<img src=\"y.gif\" width=\"468%\" height=\"60\"><img src=\"z.gif\" width=\"60\" height=\"468\">",
        comment_of(img, "idx_ads_by_size") +
            "<img src=\"file://C:\\t.gif\" width=468 height=60 >"
            "<img src=\"y.gif\" width=\"468%\" height=\"60\"><img src=\"z.gif\" width=\"60\" height=\"468\">"};
    check_both(q, c);
    q.block(idx_ads_by_size_replace_gif);
    host_scope hs;
    EXPECT_EQ(run_narrow(q, img), "<FONT size=\"1\">[AD]</FONT>");
    ASSERT_EQ(blocked_notes(hs.host).size(), 1u);
    EXPECT_EQ(blocked_notes(hs.host)[0].index, static_cast<std::uint32_t>(idx_ads_by_size));
}

TEST(html_rules, a_percentage_height_leaves_the_replacement_image_without_sizes) {
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.ad_words = {"ads"};
    host_scope hs;
    EXPECT_EQ(run_narrow(q, "<img src=\"http://ads/x\" width=\"10\" height=\"50%\">"),
              "<img src=\"file://C:\\t.gif\" >");
    EXPECT_EQ(run_narrow(q, "<img src=\"http://ads/x\" width=\"10%\" height=\"50\">"),
              "<img src=\"file://C:\\t.gif\" height=50 >");
}

TEST(html_rules, sizes_too_long_for_32_bits_do_not_end_the_filtering) {
    kit::test_qualifier q;
    q.block(idx_ads_by_size);
    q.block(idx_ads_by_link);
    q.ad_words = {"ads.test"};
    q.ad_sizes = {{2147483647, 60}};
    host_scope hs;
    EXPECT_EQ(run_narrow(q,
                         "<img src=\"a.gif\" width=\"99999999999999999999\" height=\"60\">"
                         "<img src=\"http://ads.test/1\"><frameset rows=\"99999999999999999999,0\"><frame>"),
              "<img src=\"file://C:\\t.gif\" width=99999999999999999999 height=60 >"
              "<img src=\"file://C:\\t.gif\" ><frameset rows=\"99999999999999999999,0\"><frame>");
}

TEST(html_rules, frameset_rows_hide_a_zero_row_and_the_matching_frame_goes) {
    kit::test_qualifier q;
    q.block(idx_hidden_frames);
    const std::string frame = "<frame src=\"a.html\">";
    rules_case c{
        "<frameset rows=\"0,*\">" + frame + "<frame src=\"b.html\"></frameset>",
        "<frameset rows=\"  *\"><frame src=\"b.html\"></frameset>",
        "<frameset rows=\"  *\">" + comment_of(frame, "idx_hidden_frames") + "<frame src=\"b.html\"></frameset>"};
    check_both(q, c);
}

// A size that carries no number counts as 0 pixels and is hidden; "*" alone
// is not, nor is an empty list.
TEST(html_rules, frameset_sizes_without_a_number_are_hidden_but_a_lone_star_is_not) {
    kit::test_qualifier q;
    q.block(idx_hidden_frames);
    host_scope hs;
    EXPECT_EQ(run_narrow(q, "<frameset rows=\",*\"><frame src=\"a\"><frame src=\"b\"></frameset>"),
              "<frameset rows=\" *\"><frame src=\"b\"></frameset>");
    EXPECT_EQ(run_narrow(q, "<frameset cols=\"40%, ,*\"><frame src=\"a\"><frame src=\"b\"><frame src=\"c\">"),
              "<frameset cols=\"40%   *\"><frame src=\"a\"><frame src=\"c\">");
    EXPECT_EQ(run_narrow(q, "<frameset rows=\"*\"><frame src=\"a\"></frameset>"),
              "<frameset rows=\"*\"><frame src=\"a\"></frameset>");
    EXPECT_EQ(run_narrow(q, "<frameset rows=\"\"><frame src=\"a\"></frameset>"),
              "<frameset rows=\"\"><frame src=\"a\"></frameset>");
    EXPECT_EQ(blocked_notes(hs.host).size(), 2u);
}

TEST(html_rules, frameset_columns_full_of_percentages_hide_the_star_column) {
    kit::test_qualifier q;
    q.block(idx_hidden_frames);
    host_scope hs;
    EXPECT_EQ(
        run_narrow(q, "<FRAMESET COLS=\"50%,50%,*\"><FRAME SRC=\"1\"><FRAME SRC=\"2\"><FRAME SRC=\"3\"></FRAMESET>"),
        "<FRAMESET COLS=\"50%,50%  \"><FRAME SRC=\"1\"><FRAME SRC=\"2\"></FRAMESET>");
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].index, static_cast<std::uint32_t>(idx_hidden_frames));
    EXPECT_EQ(notes[0].text, "<FRAME SRC=\"3\">");
}

TEST(html_rules, nested_frameset_takes_its_flag_and_adds_its_own_frames_in_front) {
    kit::test_qualifier q;
    q.block(idx_hidden_frames);
    host_scope hs;
    // Outer: rows 1px and * -> flags [hidden, shown]. The nested frameset
    // takes the hidden flag and is removed with its content.
    EXPECT_EQ(run_narrow(q,
                         "<frameset rows=\"1, *\"><frameset cols=\"*,*\"><frame src=\"a\"></frameset>"
                         "<frame src=\"b\"></frameset>"),
              "<frameset rows=\"   *\"><frame src=\"b\"></frameset>");
    // Without rows and cols the tag passes.
    EXPECT_EQ(run_narrow(q, "<frameset border=\"0\"><frame src=\"a\"></frameset>"),
              "<frameset border=\"0\"><frame src=\"a\"></frameset>");
}

TEST(html_rules, body_loses_its_first_two_load_handlers_with_one_notification) {
    kit::test_qualifier q;
    q.block(idx_load_unload_script);
    host_scope hs(1);
    const std::string body = "<body onload=\"a()\" onunload=\"b()\" onload=\"c()\">";
    EXPECT_EQ(run_narrow(q, body + "text"), "<body   onload=\"c()\">text");
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].index, static_cast<std::uint32_t>(idx_load_unload_script));
    EXPECT_EQ(notes[0].text, body);
}

TEST(html_rules, blocked_vbscript_goes_with_its_body_and_closing_tag) {
    kit::test_qualifier q;
    q.block(idx_vbscript);
    const std::string tag = "<script language=\"VBScript\">";
    rules_case c{"a" + tag + "MsgBox \"</b>\"</script>b<script>ok()</script>", "ab<script>ok()</script>",
                 "a" + comment_of(tag, "idx_vbscript") + "b<script>ok()</script>"};
    check_both(q, c);
    host_scope hs;
    run_narrow(q, c.page);
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].index, static_cast<std::uint32_t>(idx_vbscript));
}

TEST(html_rules, noscript_tags_vanish_when_javascript_is_blocked_and_the_content_stays) {
    kit::test_qualifier q;
    q.block(idx_jscript);
    rules_case c{"<noscript><p>Enable scripts</p></noscript><script>x()</script>end", "<p>Enable scripts</p>end",
                 comment_of("<noscript>", "idx_unknown") + "<p>Enable scripts</p>" +
                     comment_of("<script>", "idx_jscript") + "end"};
    check_both(q, c);
    host_scope hs;
    run_narrow(q, c.page);
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);  // the script only
    EXPECT_EQ(notes[0].index, static_cast<std::uint32_t>(idx_jscript));
}

TEST(html_rules, objects_by_class_flash_and_activex) {
    const std::string flash =
        "<object classid=\"clsid:D27CDB6E-AE6D-11CF-96B8-444553540000\" width=\"10\"><param name=\"m\"></object>";
    const std::string other = "<object classid=\"clsid:0002E55A-0000-0000-C000-000000000046\">";
    const std::string plain = "<OBJECT data=\"movie.bin\">";
    const std::string page = flash + "|" + other + "<param name=\"x\">alt</object>|" + plain + "content</OBJECT>|";
    {
        kit::test_qualifier q;
        q.block(idx_activex);
        rules_case c{page, flash + "|||",
                     flash + "|" + comment_of(other, "idx_activex") + "|" + comment_of(plain, "idx_activex") + "|"};
        check_both(q, c);
    }
    {
        kit::test_qualifier q;
        q.block(idx_flash);
        host_scope hs;
        EXPECT_EQ(run_narrow(q, page), "|" + other + "<param name=\"x\">alt</object>|" + plain + "content</OBJECT>|");
        ASSERT_EQ(blocked_notes(hs.host).size(), 1u);
        EXPECT_EQ(blocked_notes(hs.host)[0].index, static_cast<std::uint32_t>(idx_flash));
    }
}

// An object with a class is asked about twice when ActiveX is to be learnt:
// the second question reads the action the host's answer stored.
TEST(html_rules, activex_learn_asks_twice_for_an_object_with_a_class) {
    const std::string other = "<object classid=\"clsid:0002E55A-0000-0000-C000-000000000046\">";
    const std::string page = other + "<param name=\"x\">alt</object>|<object>plain</object>|";
    struct learn_case {
        bool allow_now;
        std::int32_t keep;
        std::string expected;
        int questions;
    };
    const learn_case cases[] = {
        // Allowed now, blocked from now on: the second question blocks it,
        // and so is the object without a class, without a learn question.
        {true, content_action_block, "||", 1},
        // Blocked now: the first question decides.
        {false, content_action_allow, "|<object>plain</object>|", 1},
        // Allowed now and learnt again next time: every question asks.
        {true, content_action_learn, page, 3},
    };
    for (const auto& c : cases) {
        kit::test_qualifier q;
        q.permissions[idx_activex] = content_action_learn;
        q.learn_answers[idx_activex] = {c.allow_now, c.keep};
        host_scope hs;
        EXPECT_EQ(run_narrow(q, page), c.expected) << c.allow_now << " " << c.keep;
        EXPECT_EQ(q.learn_questions, c.questions) << c.allow_now << " " << c.keep;
    }
}

TEST(html_rules, object_detectors_java_flash_tiny_and_external_codebase) {
    kit::test_qualifier q;
    q.block(idx_java_applets);
    q.block(idx_flash);
    q.block(idx_hidden_frames);
    q.block(idx_ext_images);
    host_scope hs;
    EXPECT_EQ(run_narrow(q,
                         "<object type=\"application/x-java-applet\">j</object>1"
                         "<object data=\"movie.SWF\">f</object>2"
                         "<object height=\"1\" data=\"t\">t</object>3"
                         "<object codebase=\"http://cdn.test/x.cab\">c</object>4"
                         "<object codebase=\"/local/x.cab\">k</object>5"),
              "1234<object codebase=\"/local/x.cab\">k</object>5");
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 4u);
    EXPECT_EQ(notes[0].index, static_cast<std::uint32_t>(idx_java_applets));
    EXPECT_EQ(notes[1].index, static_cast<std::uint32_t>(idx_flash));
    EXPECT_EQ(notes[2].index, static_cast<std::uint32_t>(idx_hidden_frames));
    EXPECT_EQ(notes[3].index, static_cast<std::uint32_t>(idx_ext_images));
}

TEST(html_rules, embed_applet_and_iframe) {
    {
        kit::test_qualifier q;
        q.block(idx_activex);
        const std::string embed = "<embed src=\"x.swf\">";
        rules_case c{"a" + embed + "b</embed>c", "abc", "a" + comment_of(embed, "idx_activex") + "bc"};
        check_both(q, c);
    }
    {
        kit::test_qualifier q;
        q.block(idx_java_applets);
        const std::string applet = "<applet code=\"A.class\">";
        rules_case c{"a" + applet + "<param name=\"p\">fallback</applet>b", "ab",
                     "a" + comment_of(applet, "idx_java_applets") + "b"};
        check_both(q, c);
    }
    {
        kit::test_qualifier q;
        q.block(idx_hidden_frames);
        host_scope hs;
        EXPECT_EQ(run_narrow(q,
                             "<iframe src=\"t.html\" width=\"0\">x</iframe>|"
                             "<iframe src=\"s.html\" style=\"border:0; visibility:hidden\"></iframe>|"
                             "<iframe src=\"v.html\" width=\"300\"></iframe>"),
                  "||<iframe src=\"v.html\" width=\"300\"></iframe>");
        EXPECT_EQ(blocked_notes(hs.host).size(), 2u);
    }
}

TEST(html_rules, external_images_and_scripts) {
    kit::test_qualifier q;
    q.block(idx_ext_images);
    q.host = "www.home.test";
    host_scope hs;
    EXPECT_EQ(run_narrow(q,
                         "<img src=\"http://other.test/a.gif\">1"
                         "<img src=\"http://www.home.test/b.gif\">2"
                         "<img src=\"local/c.gif\">3"
                         "<script src=\"http://cdn.test/lib.js\">var x;</script>4"
                         "<script src=\"lib.js\"></script>5"),
              "1<img src=\"http://www.home.test/b.gif\">2<img src=\"local/c.gif\">34<script src=\"lib.js\"></script>5");
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].index, static_cast<std::uint32_t>(idx_ext_images));
    EXPECT_EQ(notes[1].index, static_cast<std::uint32_t>(idx_ext_images));
}

TEST(html_rules, script_from_an_advertisement_address_is_removed_with_its_body) {
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.block(idx_ads_by_link_replace_gif);
    q.ad_words = {"adserver"};
    host_scope hs;
    EXPECT_EQ(run_narrow(q, "<script src=\"http://adserver.test/show.js\">fallback()</script>after"),
              "<FONT size=\"1\">[AD]</FONT>after");
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].keyword, "adserver");
}

TEST(html_rules, learn_actions_ask_the_qualifier) {
    kit::test_qualifier q;
    q.permissions[idx_activex] = content_action_learn;
    host_scope hs;
    EXPECT_EQ(run_narrow(q, "<object data=\"x\">y</object>"), "<object data=\"x\">y</object>");
    EXPECT_FALSE(q.asked.empty());
}

TEST(html_rules, wide_pages_get_the_same_replacements) {
    kit::test_qualifier q;
    q.block(idx_ads_by_link);
    q.ad_words = {"ads.test"};
    host_scope hs(1);
    stub_connection_feedback fb;
    html::wide_html_sub_handler h(&q, &fb);
    const std::string img = "<img src=\"http://ads.test/b.gif\" width=\"88\" height=\"31\">";
    std::string out = feed(h, {kit::utf16le("x" + img + "y")});
    EXPECT_EQ(out, kit::utf16le("x" + comment_of(img, "idx_ads_by_link") +
                                "<img src=\"file://C:\\t.gif\" width=88 height=31 >y"));
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].text, img);
}

TEST(html_rules, detectors_decide_like_their_expressions_on_any_attributes) {
    // Whether a tag goes is checked against the detector's expression run
    // over the tag text, for tags built from attribute fragments.
    static const char* const parts[] = {" ",
                                        "STYLE=\"",
                                        "style=\"",
                                        "visibility:hidden",
                                        "display:none",
                                        "\"",
                                        "x",
                                        "SRC=\"",
                                        "data=\"",
                                        "code=\"",
                                        ".swf\"",
                                        ".SWF",
                                        ".jar\"",
                                        ".class\"",
                                        "width=\"1\"",
                                        "height=\"0\"",
                                        "height=\"10\"",
                                        "type=\"application/x-shockwave-flash\"",
                                        "TYPE=\"application/java-archive\"",
                                        "codetype=\"application/x-jar\""};
    static const boost::regex hidden(R"re(((HEIGHT|WIDTH)="(0|1)")|(STYLE=".*?(visibility:hidden|display:none).*?"))re",
                                     boost::regex::perl | boost::regex::icase);
    static const boost::regex flash(
        R"re(((TYPE|CODETYPE)="application/(x-shockwave-flash)")|((SRC|CODE|DATA)=".*?\.(SWF)"))re",
        boost::regex::perl | boost::regex::icase);
    static const boost::regex java(
        R"re((TYPE="application/(x-java-applet|java-archive|x-jar)")|((SRC|CODE|DATA)=".*?\.(JAR|CLASS)"))re",
        boost::regex::perl | boost::regex::icase);
    std::mt19937 rng(kit::test_seed());
    host_scope hs;
    for (int round = 0; round < 400; ++round) {
        std::string attrs = " ";
        const int n = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < n; ++i) attrs += parts[rng() % (sizeof parts / sizeof parts[0])];
        const std::string iframe = "<iframe" + attrs + ">";
        const std::string embed = "<embed" + attrs + ">";
        kit::test_qualifier q;
        q.block(idx_hidden_frames);
        q.block(idx_flash);
        q.block(idx_java_applets);
        const bool iframe_goes = boost::regex_search(iframe, hidden) || boost::regex_search(iframe, flash);
        const bool embed_goes = boost::regex_search(embed, java) || boost::regex_search(embed, flash);
        ASSERT_EQ(run_narrow(q, iframe + "c</iframe>"), iframe_goes ? "" : iframe + "c</iframe>") << iframe;
        ASSERT_EQ(run_narrow(q, embed + "c</embed>"), embed_goes ? "" : embed + "c</embed>") << embed;
    }
}
