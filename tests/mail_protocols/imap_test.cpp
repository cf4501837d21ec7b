// The IMAP session filter: sessions kept as transcripts under tests/data/imap
// (expectations in session_kit.h), fed in every chunking. Keep-alive lines
// are taken out of what the client got before comparing; they must come
// whole, between lines, and only while a message is held.
#include <gtest/gtest.h>

#include <memory>

#include "kit/mail_session.h"
#include "mail/protocols/imap_stream_filter.h"
#include "module/chain_factory.h"

namespace {

// Each literal announced at a line end ("{n}\r\n") is followed by exactly n
// bytes before the response goes on.
bool literal_lengths_hold(const std::string& s) {
    std::size_t pos = 0;
    while (pos < s.size()) {
        const std::size_t lf = s.find('\n', pos);
        if (lf == std::string::npos) return true;
        pos = lf + 1;
        if (lf < 2 || s[lf - 1] != '\r' || s[lf - 2] != '}') continue;
        const std::size_t open = s.rfind('{', lf);
        if (open == std::string::npos || open < s.rfind('\n', lf - 1) + 1) continue;
        const std::uint64_t n = std::stoull(s.substr(open + 1, lf - 2 - open - 1));
        if (pos + n > s.size()) return false;
        pos += n;
        if (pos < s.size() && s[pos] != ')' && s[pos] != ' ') return false;
    }
    return true;
}

std::size_t strip_keep_alive(std::string& s) {
    const std::string k = imap_stream_filter::keep_alive_line;
    std::size_t count = 0, at = 0;
    while ((at = s.find(k, at)) != std::string::npos) {
        EXPECT_TRUE(at == 0 || s[at - 1] == '\n') << "keep-alive inside a line at " << at;
        s.erase(at, k.size());
        ++count;
    }
    return count;
}

class imap_filter_test : public kit::session_test {
protected:
    void check(const std::string& name) {
        session_test::check(
            "imap/" + name + ".txt",
            [](i_connection_feedback* fb) {
                return std::make_shared<imap_stream_filter>(fb, module::mail_checker_hooks());
            },
            strip_keep_alive, literal_lengths_hold);
        const bool held = host.notification_count(zem::codes::http_notify_mail_message_start) > 0;
        if (held) {
            EXPECT_GT(last_inserted["one byte at a time"], 0u) << name;
        } else {
            for (const auto& r : last_inserted) EXPECT_EQ(r.second, 0u) << name << " " << r.first;
        }
    }
};

TEST_F(imap_filter_test, whole_messages_are_filtered_and_pass_unchanged_when_allowed) { check("fetch_allowed"); }
TEST_F(imap_filter_test, cut_attachment_corrects_the_literal_length) { check("fetch_cut"); }
TEST_F(imap_filter_test, second_literal_of_one_response_is_followed) { check("two_literals"); }
TEST_F(imap_filter_test, parts_and_ranges_pass_uncached) { check("partial_fetch"); }
TEST_F(imap_filter_test, starttls_steps_aside_after_the_server_agrees) { check("starttls"); }
TEST_F(imap_filter_test, server_dropping_mid_literal_gets_everything_back) { check("drop_mid_literal"); }
TEST_F(imap_filter_test, literal_that_lies_about_its_size_loses_no_byte) { check("lying_literal"); }
TEST_F(imap_filter_test, preauth_greeting_is_not_followed) { check("preauth"); }
TEST_F(imap_filter_test, client_speaking_first_is_not_imap) { check("client_first"); }
TEST_F(imap_filter_test, http_traffic_is_not_imap) { check("http_traffic"); }
TEST_F(imap_filter_test, long_tag_ends_following) { check("long_tag"); }
TEST_F(imap_filter_test, unknown_untagged_response_ends_following) { check("unknown_untagged"); }

TEST_F(imap_filter_test, noise_and_long_lines_lose_no_byte) {
    using step = kit::transcript::step;
    std::uint32_t x = kit::test_seed();
    for (int round = 0; round < 200; ++round) {
        std::string noise(1 + round * 7, '\0');
        for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
        const std::string greeting = round % 2 ? "* OK ready\r\n" : "";
        const std::vector<step> steps{{false, greeting + noise}, {true, "a1 NOOP\r\n"}, {false, noise}};
        const kit::fed got = kit::feed_steps(
            steps, [](i_connection_feedback* fb) { return std::make_shared<imap_stream_filter>(fb); },
            [](const std::string& s) { return kit::random_chunks(s, 7, 13); }, {}, true);
        std::string in = got.in;
        strip_keep_alive(in);
        ASSERT_EQ(in, greeting + noise + noise) << "round " << round;
        ASSERT_EQ(got.out, "a1 NOOP\r\n");
    }
    // A line past the bound steps aside with all of it forwarded.
    const std::string line = "* OK " + std::string(imap_stream_filter::max_line, 'x') + "\r\n";
    const kit::fed got = kit::feed_steps(
        {{false, "* OK ready\r\n"}, {false, line}, {false, "* 1 FETCH (BODY[] {3}\r\nabc)\r\n"}},
        [](i_connection_feedback* fb) { return std::make_shared<imap_stream_filter>(fb); },
        [](const std::string& s) { return std::vector<std::string>{s}; });
    EXPECT_TRUE(got.chain_empty);
    EXPECT_EQ(got.in, "* OK ready\r\n" + line + "* 1 FETCH (BODY[] {3}\r\nabc)\r\n");
}

}  // namespace
