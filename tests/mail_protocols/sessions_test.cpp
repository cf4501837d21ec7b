// The mail session filters: sessions kept as transcripts under
// tests/data/pop3 and tests/data/smtp, fed whole, with each side's steps
// joined, one byte at a time, at random split points and split at every
// offset of every step. What each side receives must be byte-exact (what
// the other sent unless the transcript says otherwise), and the host must
// hear of exactly the expected messages.
#include <dirent.h>
#include <gtest/gtest.h>

#include <memory>

#include "host/host_link.h"
#include "kit/hosted_test.h"
#include "kit/kit.h"
#include "kit/transcript.h"
#include "mail/protocols/pop3_stream_filter.h"
#include "mail/protocols/smtp_stream_filter.h"
#include "module/chain_factory.h"
#include "platform/registry.h"
#include "zem/external_iface.h"

namespace {

std::vector<std::string> whole(const std::string& s) { return {s}; }

struct run_result {
    std::string out, in;
    bool detached = false, encrypted = false, refused = false, turned = false;
    std::size_t starts = 0, completes = 0, checks = 0;
};

struct expectations {
    bool detached = false, encrypted = false, close = false, refused = false, turned = false;
    std::size_t messages = 0;
    std::uint32_t verdict = 0;
    std::string client, server;  // what each side receives, when it differs
    bool client_given = false, server_given = false;
};

class mail_sessions_test : public kit::hosted_test {
protected:
    // 'smtp' picks the filter; 'close' ends both sides after the steps.
    run_result run(const std::vector<kit::transcript::step>& steps, const kit::chunker& cut, bool close = false,
                   bool smtp = false) {
        host.clear_records();
        std::shared_ptr<mail::pop3_stream_filter> pop3;
        std::shared_ptr<mail::smtp_stream_filter> smtp_filter;
        auto make = [&](i_connection_feedback* fb) -> std::shared_ptr<i_stream_filter> {
            if (smtp) return smtp_filter = std::make_shared<mail::smtp_stream_filter>(fb, module::mail_checker_hooks());
            return pop3 = std::make_shared<mail::pop3_stream_filter>(fb, module::mail_checker_hooks());
        };
        const kit::fed got = close ? kit::feed_steps_and_close(steps, make, cut) : kit::feed_steps(steps, make, cut);
        run_result r;
        r.out = got.out;
        r.in = got.in;
        r.detached = got.chain_empty;
        r.encrypted = smtp ? smtp_filter->encrypted() : pop3->encrypted();
        r.refused = smtp && smtp_filter->refused();
        r.turned = smtp && smtp_filter->turned();
        r.starts = host.notification_count(zem::codes::http_notify_mail_message_start);
        r.completes = host.notification_count(zem::codes::general_notify_transfer_complete);
        r.checks = host.command_count(zem::codes::mail_check_mail_attach);
        return r;
    }

    static expectations read_expectations(const kit::transcript& t) {
        expectations x;
        for (const std::string& e : t.expect) {
            x.detached = x.detached || e == "detached";
            x.encrypted = x.encrypted || e == "encrypted";
            x.close = x.close || e == "close";
            x.refused = x.refused || e == "refused";
            x.turned = x.turned || e == "turned";
            if (e.rfind("messages ", 0) == 0) x.messages = std::stoul(e.substr(9));
            if (e == "verdict cut") x.verdict = mail_action_cut_whole_section;
            if (e.rfind("client ", 0) == 0) {
                x.client += e.substr(7);
                x.client_given = true;
            }
            if (e.rfind("server ", 0) == 0) {
                x.server += e.substr(7);
                x.server_given = true;
            }
        }
        return x;
    }

    // 'name' is "<protocol>/<transcript>".
    void check(const std::string& name) {
        const bool smtp = name.rfind("smtp/", 0) == 0;
        const std::string rel = name + ".txt";
        const kit::transcript t = kit::load_transcript(rel);
        const expectations x = read_expectations(t);
        host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(x.verdict));
        const std::string want_in = x.client_given ? x.client : t.all(false);
        const std::string want_out = x.server_given ? x.server : t.all(true);
        auto verify = [&](const run_result& r, const std::string& how) {
            EXPECT_EQ(r.out, want_out) << name << " " << how;
            EXPECT_EQ(r.in, want_in) << name << " " << how;
            EXPECT_EQ(r.detached, x.detached) << name << " " << how;
            EXPECT_EQ(r.encrypted, x.encrypted) << name << " " << how;
            EXPECT_EQ(r.refused, x.refused) << name << " " << how;
            EXPECT_EQ(r.turned, x.turned) << name << " " << how;
            EXPECT_EQ(r.starts, x.messages) << name << " " << how;
            EXPECT_EQ(r.checks, x.verdict == 0 ? r.checks : 1u) << name << " " << how;
            // Each message, and each attachment the host rules on, ends with a
            // completion notice.
            EXPECT_EQ(r.completes, x.messages + r.checks) << name << " " << how;
            if (r.in != want_in) kit::save_got(rel, r.in);
            if (r.out != want_out) kit::save_got(rel + ".out", r.out);
        };
        verify(run(t.steps, whole, x.close, smtp), "whole");
        verify(run(t.joined(), whole, x.close, smtp), "joined");
        verify(run(t.steps, kit::one_byte_chunks, x.close, smtp), "one byte at a time");
        const std::uint32_t seed = kit::test_seed();
        verify(run(
                   t.joined(), [seed](const std::string& s) { return kit::random_chunks(s, seed, 7); }, x.close, smtp),
               "random chunks");
        for (std::size_t k = 0; k < t.steps.size(); ++k)
            for (std::size_t at = 1; at < t.steps[k].bytes.size(); ++at) {
                std::size_t n = 0;
                const run_result r = run(
                    t.steps,
                    [&](const std::string& s) { return n++ == k ? kit::split_at(s, at) : std::vector<std::string>{s}; },
                    x.close, smtp);
                verify(r, "step " + std::to_string(k) + " split at " + std::to_string(at));
                if (::testing::Test::HasFailure()) return;
            }
    }
};

TEST_F(mail_sessions_test, pop3_session_passes_byte_for_byte) { check("pop3/session"); }
TEST_F(mail_sessions_test, pop3_cut_attachment_leaves_the_rest_and_the_session) { check("pop3/attachment_cut"); }
TEST_F(mail_sessions_test, pop3_pipelined_commands_each_get_their_reply) { check("pop3/pipelined"); }
TEST_F(mail_sessions_test, pop3_auth_exchanges_lead_to_the_transaction_phase) { check("pop3/auth_exchanges"); }
TEST_F(mail_sessions_test, pop3_stls_steps_aside) { check("pop3/stls"); }
TEST_F(mail_sessions_test, pop3_other_protocols_are_left_alone) {
    check("pop3/http_server");
    check("pop3/smtp_server");
    check("pop3/client_first");
    check("pop3/unsolicited_reply");
    check("pop3/quit_before_login");
}
TEST_F(mail_sessions_test, pop3_held_greeting_reaches_the_client_when_the_client_speaks) {
    check("pop3/greeting_split_by_client");
}
TEST_F(mail_sessions_test, pop3_quit_during_a_message_waits_for_it) { check("pop3/quit_during_message"); }
TEST_F(mail_sessions_test, pop3_server_dropping_mid_message_loses_nothing) { check("pop3/server_drops"); }

TEST_F(mail_sessions_test, pop3_auth_response_line_bound) {
    // A response line of exactly the bound (line end included) is followed;
    // one byte more ends following with every byte handed on.
    using step = kit::transcript::step;
    auto session = [](std::size_t line_len) {
        return std::vector<step>{{false, "+OK ready\r\n"},
                                 {true, "AUTH PLAIN\r\n"},
                                 {false, "+ \r\n"},
                                 {true, std::string(line_len - 2, 'A') + "\r\n"},
                                 {false, "+OK\r\n"},
                                 {true, "RETR 1\r\n"},
                                 {false, "+OK\r\nSubject: x\r\n\r\n.\r\n"}};
    };
    const run_result ok = run(session(mail::pop3_stream_filter::max_auth_line), whole);
    EXPECT_FALSE(ok.detached);
    EXPECT_EQ(ok.starts, 1u);
    const run_result too_long = run(session(mail::pop3_stream_filter::max_auth_line + 1), kit::one_byte_chunks);
    EXPECT_TRUE(too_long.detached);
    EXPECT_EQ(too_long.starts, 0u);
    const kit::transcript whole_session{session(mail::pop3_stream_filter::max_auth_line + 1), {}};
    EXPECT_EQ(too_long.in, whole_session.all(false));
}

TEST_F(mail_sessions_test, smtp_session_hides_what_cannot_be_followed) { check("smtp/session"); }
TEST_F(mail_sessions_test, smtp_cut_attachment_lower_case_commands) { check("smtp/attachment_cut"); }
TEST_F(mail_sessions_test, smtp_pipelined_envelope) { check("smtp/pipelined"); }
TEST_F(mail_sessions_test, smtp_authentication_lines) { check("smtp/auth"); }
TEST_F(mail_sessions_test, smtp_turn_swaps_the_roles) { check("smtp/turn"); }
TEST_F(mail_sessions_test, smtp_starttls_steps_aside) { check("smtp/starttls"); }
TEST_F(mail_sessions_test, smtp_client_dropping_mid_message_loses_nothing) { check("smtp/client_drops"); }
TEST_F(mail_sessions_test, smtp_ways_around_the_filter_close_the_connection) {
    check("smtp/bdat");
    check("smtp/binarymime");
    check("smtp/data_before_354");
}
TEST_F(mail_sessions_test, smtp_other_traffic_is_left_alone) {
    check("smtp/multiline_banner");
    check("smtp/pop3_server");
}

TEST_F(mail_sessions_test, noise_and_other_transcripts_pass_unchanged) {
    // Random bytes from either side, after a greeting or not, are handed on
    // unchanged and both filters step aside; the FTP sessions of the tree
    // pass unchanged (an FTP session may look like SMTP line by line).
    const std::uint32_t seed = kit::test_seed();
    std::uint32_t x = seed;
    for (int round = 0; round < 100; ++round) {
        const bool smtp = round >= 50;
        std::vector<kit::transcript::step> steps;
        for (int k = 0; k < 6; ++k) {
            std::string bytes;
            for (int i = 0; i < 200; ++i) {
                x = x * 1103515245u + 12345u;
                bytes += static_cast<char>(x >> 16);
            }
            if (round % 2 == 0 && k == 0) bytes = (smtp ? "220 hi\r\n" : "+OK hi\r\n") + bytes;
            steps.push_back({(x >> 8) % 2 == 0, bytes});
        }
        const kit::transcript t{steps, {}};
        const run_result r = run(
            steps, [&](const std::string& s) { return kit::random_chunks(s, x, 13); }, true, smtp);
        EXPECT_EQ(r.in, t.all(false)) << "seed " << seed << " round " << round;
        EXPECT_EQ(r.out, t.all(true)) << "seed " << seed << " round " << round;
        EXPECT_TRUE(r.detached) << "seed " << seed << " round " << round;
    }
    DIR* d = opendir(ZEM_TEST_DATA_DIR "/ftp");
    ASSERT_NE(d, nullptr);
    int seen = 0;
    while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() < 4 || n.substr(n.size() - 4) != ".txt") continue;
        const kit::transcript t = kit::load_transcript("ftp/" + n);
        for (bool smtp : {false, true}) {
            const run_result r = run(t.steps, kit::one_byte_chunks, false, smtp);
            EXPECT_EQ(r.in, t.all(false)) << n;
            EXPECT_EQ(r.out, t.all(true)) << n;
            EXPECT_TRUE(r.detached || smtp) << n;
        }
        ++seen;
    }
    closedir(d);
    EXPECT_GT(seen, 3);
}

}  // namespace
