// A connection thread may still be in the mail code while the process
// exits: the expressions, the lock and the tables it keeps process-wide
// must outlive every destructor that runs at exit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kit/hosted_test.h"
#include "kit/transcript.h"
#include "mail/mime_coders.h"
#include "mail/protocols/pop3_stream_filter.h"
#include "module/chain_factory.h"

namespace {

// A POP3 retrieval of a message with a header the mail filter parses.
std::vector<kit::transcript::step> session() {
    const std::string message =
        "From: a@example.org\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
        "Content-Type: text/plain; charset=koi8-r\r\nContent-Disposition: inline; filename=\"a.txt\"\r\n\r\n"
        "hello\r\n--b--\r\n";
    return {{false, "+OK ready\r\n"}, {true, "RETR 1\r\n"}, {false, "+OK\r\n" + message + ".\r\n"}};
}

// The whole session through the POP3 filter (and so the mail filter):
// true when both directions pass unchanged.
bool session_passes() {
    const auto steps = session();
    const kit::fed got = kit::feed_steps(
        steps,
        [](i_connection_feedback* fb) {
            return std::make_shared<mail::pop3_stream_filter>(fb, module::mail_checker_hooks());
        },
        [](const std::string& s) { return std::vector<std::string>{s}; }, {}, true);
    std::string out, in;
    for (const auto& s : steps) (s.out ? out : in) += s.bytes;
    return got.out == out && got.in == in && mail::code_page_resolver("koi8-r") == 20866;
}

kit::fake_host* g_host = nullptr;  // never freed: it must outlast the process's end

// A connection thread that goes on once the end has begun (its own
// per-thread state is its own; what is process-wide is shared).
void parse_after_the_end_began() {
    bool passed = false;
    std::thread connection([&passed] { passed = session_passes(); });
    connection.join();
    std::_Exit(passed ? 0 : 3);
}

void exit_then_parse() {
    // Registered before the mail code makes its process-wide objects, so it
    // runs after whatever would destroy them at exit.
    std::atexit(parse_after_the_end_began);
    g_host = new kit::fake_host;
    zem_io_commands::set_host_iface(g_host);
    if (!session_passes()) std::_Exit(4);
    std::exit(0);
}

TEST(mail_lifetime, sessions_still_parse_after_the_process_began_to_exit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process
    EXPECT_EXIT(exit_then_parse(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
