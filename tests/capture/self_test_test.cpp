// The built-in self-test over the project's sample folders, over samples
// made wrong on purpose, and over folders that are not there.
#include "capture/self_test.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "core/interfaces.h"
#include "kit/log_capture.h"
#include "kit/temp_dir.h"
#include "mail/protocols/pop3_stream_filter.h"
#include "mail/protocols/smtp_stream_filter.h"
#include "module/chain_factory.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

// The walk names files with the system's separator; the paths below are
// written with '/'.
std::string native(std::string path) {
    for (char& c : path)
        if (c == '/') c = platform::path_separator();
    return path;
}

const std::string samples = std::string(ZEM_TEST_DATA_DIR) + "/selftest";

class selftest_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_clear();
        platform::reg_override_isolate(true);
    }
    void TearDown() override { platform::reg_override_clear(); }

    static bool run(const std::string& root) {
        return capture::run_unit_test(root, {module::web_handler_hooks(), module::mail_checker_hooks()});
    }
    // A copy of the project's samples to spoil.
    static void copy_samples(const std::string& to) {
        fs::copy(samples, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        for (const auto& e : fs::recursive_directory_iterator(to))
            if (e.path().extension() == ".py") fs::remove(e.path());
    }
    static std::string read(const std::string& path) {
        std::string s;
        EXPECT_TRUE(platform::read_file(path, s, 1 << 24)) << path;
        return s;
    }
    static std::string joined(const std::string& packed, bool in) {
        capture::piece_list pieces;
        EXPECT_TRUE(capture::unpack_pieces(packed, pieces));
        std::string s;
        for (const auto& p : pieces)
            if (p.in == in) s += p.bytes;
        return s;
    }
    // The messages that say where the run is, in order.
    static std::vector<std::string> outline(const kit::log_capture& log) {
        std::vector<std::string> out;
        for (const auto& m : log.messages())
            if (m.rfind("Enumerating folder: ", 0) != 0 && m.rfind("Test dump: ", 0) != 0 && m != " Success!\r\n" &&
                m.rfind("Erorr!!! ", 0) != 0)
                out.push_back(m);
        return out;
    }
};

TEST_F(selftest_test, project_samples_pass_with_every_step_logged_in_order) {
    kit::log_capture log(1);
    ASSERT_TRUE(run(samples));
    const std::vector<std::string> expected = {
        "Running simple unit tests\r\n",
        "Testing unit 'Test HTML'...",
        "Ok! \r\n",
        "Testing unit 'Test mime_q_and_b_encodeing for plain text handling'...",
        "Ok! \r\n",
        "Running dump unit test area....\r\n",
        " ---- HTTP unit test ----\r\n",
        "Unit test: Ok!\r\n",
        "Running stress test area....\r\n",
        " ---- IMAP stress test ----\r\n",
        "  IMAP on SMTP stream: \r\n",
        "  IMAP on NOISE stream: \r\n",
        " ---- NNTP stress test ----\r\n",
        "  Test NNTP via SMTP:\r\n",
        "  Test NNTP via NOISE:\r\n",
        " ---- SMTP stress test ----\r\n",
        "  Test SMTP via POP3:\r\n",
        "  Test SMTP via NOISE:\r\n",
        " ---- POP3 stress test ----\r\n",
        "  Test POP3 via SMTP:\r\n",
        "  Test POP3 via NOISE:\r\n",
        "Stress test: Ok!\r\n",
        "Summary Done.\r\n",
    };
    EXPECT_EQ(outline(log), expected);
    // Ten recordings for the web filter; two SMTP sessions, one POP3 session
    // and four noise samples for the mail filters.
    const int dumps = 10 + (2 + 4) + (2 + 4) + (1 + 4) + (2 + 4);
    EXPECT_EQ(log.count("Test dump: "), dumps);
    EXPECT_EQ(log.count(" Success!\r\n"), dumps);
    EXPECT_EQ(log.count("Erorr!!! "), 0);
    EXPECT_EQ(log.count_in_file("Summary Done.", "zem_net.log"), 1);
    EXPECT_EQ(log.count_in_file("Test dump: ", "zem_net.log"), dumps);
}

TEST_F(selftest_test, wrong_expectations_and_foreign_traffic_that_matches_are_failures) {
    kit::temp_dir dir;
    copy_samples(dir.path());
    // The text file's body expected with one letter changed.
    const std::string expected = native(dir.path() + "/test_http/out_slices/text_file.dump_bi");
    const std::string good = read(expected);
    std::string bad;
    ASSERT_TRUE(capture::pack_pieces({{"GET /notes.txt HTTP/1.1\r\nHost: files.example\r\n\r\n", false},
                                      {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 12\r\n\r\n"
                                       "hello, World",
                                       true}},
                                     bad));
    ASSERT_TRUE(platform::replace_file(expected, bad.data(), bad.size()));
    // A POP3 session among the noise: the POP3 filter rightly follows it.
    fs::copy_file(dir.path() + "/test_pop3/in_slices/retr_session.dump_bi", dir.path() + "/test_noise/pop3.dump_bi");
    {
        kit::log_capture log(1);
        EXPECT_FALSE(run(dir.path()));
        EXPECT_EQ(log.count("Failed!\r\n"), 2);
        EXPECT_EQ(log.count("Test dump: text_file.dump_bi..."), 1);
        EXPECT_EQ(log.count("Output differs from " + expected), 1);
        EXPECT_EQ(log.count("Stress test failed for file:" + native(dir.path() + "/test_noise/pop3.dump_bi") + "\r\n"),
                  1);
        EXPECT_EQ(log.count("Unit test: Ok!"), 0);
        EXPECT_EQ(log.count("Stress test: Ok!"), 0);
        // Every other filter leaves the POP3 session alone.
        EXPECT_EQ(log.count("Stress test failed for file:"), 1);
        EXPECT_EQ(log.count("Summary Done.\r\n"), 1);
    }
    // What came out lies beside the expectation, and it is the right answer.
    const std::string wrong = read(expected + "_wrong");
    EXPECT_EQ(joined(wrong, true), joined(good, true));
    EXPECT_EQ(joined(wrong, false), joined(good, false));

    // Put right, the run passes and the stale output goes.
    ASSERT_TRUE(platform::replace_file(expected, good.data(), good.size()));
    fs::remove(dir.path() + "/test_noise/pop3.dump_bi");
    EXPECT_TRUE(run(dir.path()));
    EXPECT_FALSE(fs::exists(expected + "_wrong"));
}

TEST_F(selftest_test, damaged_and_missing_samples_fail_cleanly) {
    kit::temp_dir dir;
    copy_samples(dir.path());
    // A recording that is not a packed piece list, and an expectation gone.
    const std::string damaged = native(dir.path() + "/test_noise/damaged.dump_bi");
    ASSERT_TRUE(platform::replace_file(damaged, "not a dump", 10));
    fs::remove(dir.path() + "/test_http/sub_in_html_slices/gzip_html.dump_bi");
    {
        kit::log_capture log(1);
        EXPECT_FALSE(run(dir.path()));
        EXPECT_EQ(log.count("Failed to load solid buffer from file:" + damaged), 4);  // once per mail filter
        EXPECT_EQ(
            log.count("Failed to load file:" + native(dir.path() + "/test_http/sub_in_html_slices/gzip_html.dump_bi")),
            1);
        EXPECT_EQ(log.count("Stress test failed for file:" + damaged), 4);
    }

    kit::temp_dir empty;
    fs::create_directories(empty.path() + "/test_http/in_slices");
    kit::log_capture log(1);
    EXPECT_FALSE(run(empty.path()));
    EXPECT_EQ(log.count("No samples in " + native(empty.path() + "/test_http/in_slices")), 1);
    // test_smtp, test_pop3 and test_noise are not there: each walk says so.
    EXPECT_EQ(log.count("Failed to FindFirstFileA for: "), 8);
    EXPECT_EQ(log.count("Ok! \r\n"), 2);  // the built-in checks need no folder
    EXPECT_EQ(log.count("Unit test: Ok!"), 0);
    EXPECT_EQ(log.count("Stress test: Ok!"), 0);
    EXPECT_EQ(log.count("Summary Done.\r\n"), 1);
}

// The mail samples are sessions of their protocol: the filter of that
// protocol follows each to its end and hands the messages on unchanged, so
// the stress area shows the other filters stepping aside from real traffic,
// not from garbage. (The SMTP filter hides capabilities it cannot follow
// from the server's EHLO reply; the messages travel the other way.)
TEST_F(selftest_test, mail_samples_are_sessions_their_own_filter_follows_to_the_end) {
    struct own {
        const char* folder;
        bool message_direction;  // true: from the server
        std::function<std::shared_ptr<i_stream_filter>(i_connection_feedback*)> make;
    };
    const own cases[] = {
        {"/test_smtp/in_slices", false,
         [](i_connection_feedback* f) {
             return std::make_shared<mail::smtp_stream_filter>(f, module::mail_checker_hooks());
         }},
        {"/test_pop3/in_slices", true,
         [](i_connection_feedback* f) {
             return std::make_shared<mail::pop3_stream_filter>(f, module::mail_checker_hooks());
         }},
    };
    for (const own& c : cases) {
        int seen = 0;
        for (const auto& e : fs::directory_iterator(samples + c.folder)) {
            const std::string packed = read(e.path().string());
            capture::piece_list input;
            ASSERT_TRUE(capture::unpack_pieces(packed, input));
            stub_connection_feedback fb;
            auto filter = c.make(&fb);
            bool declined = true;
            std::string got;
            ASSERT_TRUE(capture::pack_pieces(capture::run_single_filter(*filter, input, declined), got));
            EXPECT_FALSE(declined) << e.path();
            EXPECT_EQ(joined(got, c.message_direction), joined(packed, c.message_direction)) << e.path();
            ++seen;
        }
        EXPECT_GT(seen, 0) << c.folder;
    }
}

}  // namespace
