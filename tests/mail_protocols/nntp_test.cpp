// The news session filter: sessions kept as transcripts under
// tests/data/nntp (expectations in session_kit.h), fed in every chunking.
#include <gtest/gtest.h>

#include <memory>

#include "kit/mail_session.h"
#include "mail/protocols/nntp_stream_filter.h"
#include "module/chain_factory.h"

namespace {

// Each article (after a "220" reply) ends with a lone dot, and none of its
// lines starts with a single dot.
bool articles_terminated(const std::string& s) {
    bool in_article = false;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t lf = s.find('\n', pos);
        if (lf == std::string::npos) lf = s.size() - 1;
        const std::string line = s.substr(pos, lf + 1 - pos);
        pos = lf + 1;
        if (!in_article) {
            in_article = line.rfind("220 ", 0) == 0;
        } else if (line == ".\r\n") {
            in_article = false;
        } else if (line[0] == '.' && (line.size() < 2 || line[1] != '.')) {
            return false;
        }
    }
    return !in_article || pos == s.size();
}

class nntp_filter_test : public kit::session_test {
protected:
    void check(const std::string& name) {
        session_test::check(
            "nntp/" + name + ".txt",
            [](i_connection_feedback* fb) {
                return std::make_shared<nntp_stream_filter>(fb, module::mail_checker_hooks());
            },
            [](std::string&) { return std::size_t(0); }, articles_terminated);
    }
};

TEST_F(nntp_filter_test, articles_are_filtered_and_pass_unchanged_when_allowed) { check("article_allowed"); }
TEST_F(nntp_filter_test, cut_attachment_keeps_the_dot_framing) { check("article_cut"); }
TEST_F(nntp_filter_test, client_opening_with_capabilities_is_followed) { check("capabilities_first"); }
TEST_F(nntp_filter_test, server_dropping_mid_article_gets_everything_back) { check("drop_mid_article"); }
TEST_F(nntp_filter_test, other_greetings_are_not_followed) { check("no_posting_greeting"); }
TEST_F(nntp_filter_test, client_speaking_first_is_not_nntp) { check("client_first"); }
TEST_F(nntp_filter_test, imap_traffic_is_not_nntp) { check("imap_traffic"); }
TEST_F(nntp_filter_test, unknown_first_command_is_not_nntp) { check("unknown_first_command"); }

TEST_F(nntp_filter_test, noise_and_long_lines_lose_no_byte) {
    using step = kit::transcript::step;
    std::uint32_t x = kit::test_seed();
    const auto make = [](i_connection_feedback* fb) { return std::make_shared<nntp_stream_filter>(fb); };
    for (int round = 0; round < 200; ++round) {
        std::string noise(1 + round * 7, '\0');
        // No dots: a dot starting a line would be stuffed on the way (the
        // replay test covers that).
        for (char& c : noise) {
            c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
            if (c == '.') c = ',';
        }
        const std::string greeting = round % 2 ? "200 ready\r\n" : "";
        const std::string opening = round % 2 ? "220 1 <a@b>\r\n" : "";
        const std::vector<step> steps{
            {false, greeting}, {true, "ARTICLE 1\r\n"}, {false, opening + noise}, {false, noise}};
        const kit::fed got = kit::feed_steps(
            steps, make, [](const std::string& s) { return kit::random_chunks(s, 7, 13); }, {}, true);
        const std::string want = greeting + opening + noise + noise;
        ASSERT_EQ(got.in, want) << "round " << round;
        ASSERT_EQ(got.out, "ARTICLE 1\r\n");
    }
    // An article line past the bound steps aside with all of it forwarded.
    const std::string line = std::string(nntp_stream_filter::max_text_line, 'x') + "\r\n";
    const kit::fed got = kit::feed_steps({{false, "200 ready\r\n"},
                                          {true, "ARTICLE 1\r\n"},
                                          {false, "220 1 <a@b>\r\nSubject: a\r\n\r\n" + line},
                                          {false, "more\r\n.\r\n"}},
                                         make, [](const std::string& s) { return std::vector<std::string>{s}; });
    EXPECT_TRUE(got.chain_empty);
    EXPECT_EQ(got.in, "200 ready\r\n220 1 <a@b>\r\nSubject: a\r\n\r\n" + line + "more\r\n.\r\n");
}

}  // namespace
