// The script handler (pop-ups, ActiveX, held tails, whole-script checks by
// the host) and the stop-word text handler.
#include <gtest/gtest.h>

#include <boost/regex.hpp>
#include <random>

#include "kit/html.h"

using namespace kit;

namespace {

struct counting_feedback : stub_connection_feedback {
    int stops = 0;
    bool request_stop() override {
        ++stops;
        return true;
    }
};

std::string script_run(kit::test_qualifier& q, const std::vector<std::string>& chunks) {
    stub_connection_feedback fb;
    html::java_parser_sub_handler h(&q, &fb);
    return feed(h, chunks);
}

void expect_script_any_chunking(kit::test_qualifier& q, const std::string& in, const std::string& expected) {
    host_scope hs;
    ASSERT_EQ(script_run(q, {in}), expected);
    for (std::size_t at = 0; at <= in.size(); ++at) ASSERT_EQ(script_run(q, kit::split_at(in, at)), expected) << at;
    ASSERT_EQ(script_run(q, kit::one_byte_chunks(in)), expected);
}

}  // namespace

TEST(script_handler, popup_calls_become_a_harmless_object) {
    kit::test_qualifier q;
    q.block(idx_popups);
    expect_script_any_chunking(q, "x = 1;\nwindow.open(\"a.html\", \"w\");\nvar y = self.open('b');",
                               "x = 1;\nnew Object( );\nvar y = new Object( );");
    host_scope hs;
    script_run(q, {"window.open(\"x\")"});
    auto notes = blocked_notes(hs.host);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].index, static_cast<std::uint32_t>(idx_popups));
    EXPECT_EQ(notes[0].text, "window.open(\"x\")");
    EXPECT_EQ(notes[0].count, 16u);
    EXPECT_EQ(notes[0].address, "");
}

TEST(script_handler, open_without_a_blank_or_object_before_it_is_left_alone) {
    kit::test_qualifier q;
    q.block(idx_popups);
    expect_script_any_chunking(q, "open(\"x\"); reopen(1); x.opener(2)", "open(\"x\"); reopen(1); x.opener(2)");
    // A blank before it makes it a call.
    expect_script_any_chunking(q, "a; open(\"x\")", "a;new Object( )");
}

TEST(script_handler, activex_creation_is_cut_and_its_argument_stays) {
    kit::test_qualifier q;
    q.block(idx_ax_from_script);
    expect_script_any_chunking(q, "var o = new ActiveXObject(\"Shell.App\"); obj.SetCLSID(abc); SetCLSID;",
                               "var o = (\"Shell.App\"); ; ;");
    // Pop-ups allowed: open calls stay even though the expression runs.
    expect_script_any_chunking(q, "w = window.open(u);", "w = window.open(u);");
}

TEST(script_handler, a_construct_unfinished_at_the_end_of_the_script_goes_out_unchanged) {
    kit::test_qualifier q;
    q.block(idx_popups);
    q.block(idx_ax_from_script);
    // The call never closes, so what it holds is not searched again.
    expect_script_any_chunking(q, "a(); x.open(u, new ActiveXObject", "a(); x.open(u, new ActiveXObject");
    expect_script_any_chunking(q, "new ActiveXObject(1); self.open(SetCLSID", "(1); self.open(SetCLSID");
    // Complete at the end, it goes as in one piece.
    expect_script_any_chunking(q, "o.SetCLSID", "");
    expect_script_any_chunking(q, "o.SetCLSID(", "(");
}

TEST(script_handler, a_piece_ending_in_an_object_name_holds_it_for_the_next_piece) {
    kit::test_qualifier q;
    q.block(idx_popups);
    host_scope hs;
    stub_connection_feedback fb;
    html::java_parser_sub_handler h(&q, &fb);
    std::string a = "a=1; window.";
    h.update_in(a);
    EXPECT_EQ(a, "a=1; ");
    std::string b = "open(u); b=2;";
    h.update_in(b);
    EXPECT_EQ(b, "new Object( ); b=2;");
    std::string c;
    h.stop(c);
    EXPECT_EQ(c, "");
}

TEST(script_handler, an_endless_open_call_is_released_past_the_bound) {
    kit::test_qualifier q;
    q.block(idx_popups);
    host_scope hs;
    stub_connection_feedback fb;
    html::java_parser_sub_handler h(&q, &fb);
    std::string in = "x.open(" + std::string(20000, 'a');
    std::string out;
    for (std::size_t at = 0; at < in.size(); at += 100) {
        std::string c = in.substr(at, 100);
        h.update_in(c);
        out += c;
    }
    EXPECT_GE(out.size(), in.size() - html::hyper_text_java_handler<char>::max_held_tail - 100);
    std::string last;
    h.stop(last);
    EXPECT_EQ(out + last, in);
}

TEST(script_handler, whole_script_mode_lets_the_host_replace_the_script) {
    kit::test_qualifier q;
    q.block(idx_check_script);
    host_scope hs;
    hs.host.set_reply(zem::codes::http_check_script, check_script_reply(true, "/*checked*/"));
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    std::vector<std::string> chunks = {"<p>x</p><script>aler", "t(1);", "</scr", "ipt><p>y</p>"};
    std::vector<std::string> outs;
    for (auto c : chunks) {
        h.update_in(c);
        outs.push_back(c);
    }
    EXPECT_EQ(outs[0], "<p>x</p><script>");
    EXPECT_EQ(outs[1], "");
    EXPECT_EQ(outs[2], "");
    EXPECT_EQ(outs[3], "/*checked*/</script><p>y</p>");
    auto cmds = hs.host.commands(zem::codes::http_check_script);
    ASSERT_EQ(cmds.size(), 1u);
    ASSERT_GE(cmds[0].data.size(), 52u);
    EXPECT_EQ(kit::le64(cmds[0].data, 28), 77u);
    EXPECT_EQ(kit::le64(cmds[0].data, 44), 9u);  // "alert(1);"
}

TEST(script_handler, whole_script_mode_rechecks_the_hosts_answer_with_the_popup_rule) {
    kit::test_qualifier q;
    q.block(idx_check_script);
    q.block(idx_popups);
    host_scope hs;
    hs.host.set_reply(zem::codes::http_check_script, check_script_reply(false, ""));
    EXPECT_EQ(run_narrow(q, "<script>w = window.open(u);</script>"), "<script>w = new Object( );</script>");
    hs.host.set_reply(zem::codes::http_check_script, check_script_reply(true, ""));
    EXPECT_EQ(run_narrow(q, "<script>w = window.open(u);</script>z"), "<script></script>z");
    // A host that fails the command leaves the script as it was.
    hs.host.set_reply(zem::codes::http_check_script, "", 5);
    EXPECT_EQ(run_narrow(q, "<script>var a;</script>"), "<script>var a;</script>");
}

TEST(script_handler, a_script_too_long_to_hold_is_filtered_piece_by_piece_without_the_host) {
    kit::test_qualifier q;
    q.block(idx_check_script);
    host_scope hs;
    hs.host.set_reply(zem::codes::http_check_script, check_script_reply(true, "REPLACED"));
    const std::string body(html::hyper_text_java_handler<char>::max_whole_script + 1000, 'v');
    const std::string page = "<script>" + body + "</script>";
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb);
    std::string out;
    for (std::size_t at = 0; at < page.size(); at += 8192) {
        std::string c = page.substr(at, 8192);
        h.update_in(c);
        out += c;
    }
    std::string last;
    h.stop(last);
    EXPECT_TRUE(out + last == page);
    EXPECT_EQ(hs.host.command_count(zem::codes::http_check_script), 0u);
    // The next script is collected and checked again.
    EXPECT_EQ(run_narrow(q, "<script>short</script>"), "<script>REPLACED</script>");
}

TEST(script_handler, wide_scripts_are_filtered_too) {
    kit::test_qualifier q;
    q.block(idx_popups);
    host_scope hs;
    stub_connection_feedback fb;
    html::wide_html_sub_handler h(&q, &fb);
    const std::string in = kit::utf16le("<script>top.open(1)</script>");
    for (std::size_t at = 0; at <= in.size(); ++at) {
        html::wide_html_sub_handler w(&q, &fb);
        ASSERT_EQ(feed(w, kit::split_at(in, at)), kit::utf16le("<script>new Object( )</script>")) << at;
    }
}

// --- stop words ---

namespace {

struct stop_word_fixture : ::testing::Test {
    host_scope hs;
    kit::test_qualifier q;
    counting_feedback fb;
    stop_word_fixture() {
        q.block(idx_content_by_keywords);
        q.host = "www.host.test";
        hs.host.set_reply(zem::codes::http_query_stop_words, kit::word_list_reply({"casino", "po?er", "bad*word"}));
    }
    std::vector<std::string> run(const std::vector<std::string>& chunks) {
        html::narrow_html_sub_handler h(&q, &fb);
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
};

}  // namespace

TEST_F(stop_word_fixture, a_stop_word_cuts_the_page_where_it_begins_and_tells_the_host) {
    auto out = run({"<html><p>Welcome to the casino, friend</p>", "<p>more</p>"});
    EXPECT_EQ(out[0], "<html><p>Welcome to the ");
    EXPECT_EQ(out[1], "");
    EXPECT_EQ(out[2], "");
    EXPECT_EQ(fb.stops, 1);
    auto notes = hs.host.notifications(zem::codes::general_notify_stopword_blocked);
    ASSERT_EQ(notes.size(), 1u);
    const std::string& d = notes[0].data;
    EXPECT_EQ(kit::le64(d, 28), 77u);
    EXPECT_EQ(narrow_of_utf16(ref_bytes(d, 36)), "www.host.test");
    EXPECT_EQ(narrow_of_utf16(ref_bytes(d, 52)), "page");
    EXPECT_EQ(narrow_of_utf16(ref_bytes(d, 68)), "casino");
}

TEST_F(stop_word_fixture, a_word_split_over_two_chunks_blocks_the_second) {
    auto out = run({"<p>the cas", "ino is open</p>"});
    EXPECT_EQ(out[0], "<p>the cas");
    EXPECT_EQ(out[1], "");
    EXPECT_EQ(fb.stops, 1);
}

TEST_F(stop_word_fixture, a_word_split_by_markup_is_found_through_the_carry) {
    auto out = run({"<p>play po<b>k</b>er now</p>"});
    // The piece that completes the word begins inside it: that piece goes.
    EXPECT_EQ(out[0], "<p>play po<b>k</b>");
    EXPECT_EQ(fb.stops, 1);
}

TEST_F(stop_word_fixture, wildcards_and_case) {
    auto out = run({"<p>Casino CASINO bad-and-ugly-word tail</p>"});
    EXPECT_EQ(out[0], "<p>Casino CASINO ");
    EXPECT_EQ(fb.stops, 1);
}

TEST_F(stop_word_fixture, words_in_attributes_and_scripts_do_not_count_but_comments_do) {
    auto out = run({"<a title=\"casino\" href=\"casino.html\">x</a><script>var casino = 1;</script>ok"});
    EXPECT_EQ(out[0], "<a title=\"casino\" href=\"casino.html\">x</a><script>var casino = 1;</script>ok");
    EXPECT_EQ(fb.stops, 0);
    auto out2 = run({"<p>a</p><!-- casino -->b"});
    EXPECT_EQ(out2[0], "<p>a</p><!-- ");
    EXPECT_EQ(fb.stops, 1);
}

TEST_F(stop_word_fixture, the_host_is_asked_once_for_a_list_and_again_while_it_is_empty) {
    run({"<p>one</p><p>two</p>"});
    EXPECT_EQ(hs.host.command_count(zem::codes::http_query_stop_words), 1u);
    hs.host.clear_records();
    hs.host.set_reply(zem::codes::http_query_stop_words, kit::word_list_reply({}));
    run({"<p>one</p>", "<p>two</p>"});
    EXPECT_EQ(hs.host.command_count(zem::codes::http_query_stop_words), 2u);
}

TEST_F(stop_word_fixture, a_list_that_arrives_mid_page_blocks_from_the_next_chunk) {
    hs.host.set_reply(zem::codes::http_query_stop_words, kit::word_list_reply({}));
    html::narrow_html_sub_handler h(&q, &fb);
    std::string first = "<p>casino one</p><b";
    h.update_in(first);
    EXPECT_EQ(first, "<p>casino one</p><b");  // no list: nothing can act, nothing is held
    hs.host.set_reply(zem::codes::http_query_stop_words, kit::word_list_reply({"casino"}));
    std::string second = ">x</b><p>a casino</p>";
    h.update_in(second);
    EXPECT_EQ(second, ">x</b><p>a ");
    EXPECT_EQ(fb.stops, 1);
}

TEST_F(stop_word_fixture, with_keywords_allowed_the_host_is_never_asked) {
    q.permissions[idx_content_by_keywords] = content_action_allow;
    auto out = run({"<p>casino</p>"});
    EXPECT_EQ(out[0], "<p>casino</p>");
    EXPECT_EQ(hs.host.command_count(zem::codes::http_query_stop_words), 0u);
}

TEST_F(stop_word_fixture, wide_pages_are_cut_at_the_same_place) {
    const std::string in = kit::utf16le("<p>nice casino here</p>");
    {
        html::wide_html_sub_handler h(&q, &fb);
        EXPECT_EQ(feed(h, {in}), kit::utf16le("<p>nice "));
    }
    // One byte at a time every character is its own piece: those before
    // the last letter of the word are out already.
    html::wide_html_sub_handler h(&q, &fb);
    EXPECT_EQ(feed(h, kit::one_byte_chunks(in)), kit::utf16le("<p>nice casin"));
    EXPECT_EQ(fb.stops, 2);
}

// --- the script rule against a plain reading of it ---

namespace {

// The rule applied to a whole script with one expression search after the
// other, no shortcuts: what the handler must produce for any chunking. A
// construct begun but not finished when the script ends stops the search and
// goes out as it came, with whatever follows it.
std::string reference_script_filter(const std::string& s) {
    static const boost::regex rx(
        R"re(((((\w+\.)|(\s+))open\(.*?\))|((\w+\.)?SetCLSID(\(\w+\))?)|(new\s+ActiveXObject)))re",
        boost::regex::perl | boost::regex::icase);
    std::string out;
    auto from = s.cbegin();
    boost::smatch m;
    while (from != s.cend() && boost::regex_search(from, s.cend(), m, rx,
                                                   from == s.cbegin() ? boost::match_default | boost::match_partial
                                                                      : boost::match_default | boost::match_partial |
                                                                            boost::match_prev_avail)) {
        if (!m[0].matched) break;
        out.append(from, m[1].first);
        if (m[2].matched) out += "new Object( )";
        from = m[0].second;
    }
    out.append(from, s.cend());
    return out;
}

}  // namespace

TEST(script_handler, any_chunking_gives_what_the_plain_rule_gives_on_the_whole_script) {
    static const char* const tokens[] = {"window.",
                                         "open(",
                                         ")",
                                         " ",
                                         "\n",
                                         "x",
                                         "self",
                                         ".",
                                         "SetCLSID",
                                         "(abc)",
                                         "new",
                                         "  ",
                                         "ActiveXObject",
                                         "OPEN(",
                                         "(",
                                         "\"s\"",
                                         ";",
                                         "a.b",
                                         "reopen(",
                                         "\t",
                                         "setclsid",
                                         "Active",
                                         "XObject",
                                         "op",
                                         "en("};
    std::mt19937 rng(kit::test_seed());
    kit::test_qualifier q;
    q.block(idx_popups);
    q.block(idx_ax_from_script);
    host_scope hs;
    for (int round = 0; round < 300; ++round) {
        std::string script;
        const int n = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < n; ++i) script += tokens[rng() % (sizeof tokens / sizeof tokens[0])];
        const std::string expected = reference_script_filter(script);
        ASSERT_EQ(script_run(q, {script}), expected) << script;
        ASSERT_EQ(script_run(q, kit::one_byte_chunks(script)), expected) << script;
        ASSERT_EQ(script_run(q, kit::random_chunks(script, kit::test_seed() + round, 7)), expected) << script;
    }
}

TEST(script_handler, a_document_ending_inside_a_collected_script_still_goes_to_the_host) {
    kit::test_qualifier q;
    q.block(idx_check_script);
    host_scope hs;
    hs.host.set_reply(zem::codes::http_check_script, check_script_reply(true, "ok();"));
    EXPECT_EQ(run_narrow(q, std::vector<std::string>{"<p>a</p><script>evil(", ");"}), "<p>a</p><script>ok();");
    EXPECT_EQ(hs.host.command_count(zem::codes::http_check_script), 1u);
    // The wide page goes to the host in the ANSI code page and comes back.
    stub_connection_feedback fb;
    html::wide_html_sub_handler h(&q, &fb);
    EXPECT_EQ(feed(h, {kit::utf16le("<script>x()</script>!")}), kit::utf16le("<script>ok();</script>!"));
    auto cmds = hs.host.commands(zem::codes::http_check_script);
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(kit::le64(cmds[1].data, 44), 3u);  // "x()" as three bytes
}
