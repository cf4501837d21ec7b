// The framing checker must itself catch broken framing, or the tests that
// rely on it prove nothing.
#include "kit/http_invariants.h"

#include <gtest/gtest.h>

namespace {

TEST(http_invariants, valid_streams_parse) {
    std::vector<kit::http_message> m;
    std::string s =
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2;ext=1\r\nde\r\n0\r\nX-T: 1\r\n\r\n"
        "HTTP/1.1 304 Not Modified\r\nContent-Length: 99\r\n\r\n"
        "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n"  // answers HEAD
        "HTTP/1.0 200 OK\r\n\r\nuntil close";
    EXPECT_EQ(kit::parse_responses(s, m, {false, false, false, true}), "");
    ASSERT_EQ(m.size(), 6u);
    EXPECT_EQ(m[1].body, "hello");
    EXPECT_EQ(m[2].body, "abcde");
    EXPECT_EQ(m[2].framing, kit::http_message::chunked);
    EXPECT_EQ(m[3].body, "");
    EXPECT_EQ(m[4].body, "");
    EXPECT_EQ(m[5].body, "until close");
    EXPECT_EQ(m[5].framing, kit::http_message::close);
}

TEST(http_invariants, broken_framing_is_reported) {
    std::vector<kit::http_message> m;
    EXPECT_NE(kit::parse_responses("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", m), "");
    EXPECT_NE(kit::parse_responses("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nlonger", m), "");  // junk after
    EXPECT_NE(kit::parse_responses("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab\r\n0\r\n\r\n", m), "");
    EXPECT_NE(kit::parse_responses("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", m), "");
    EXPECT_NE(kit::parse_responses("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", m), "");
    EXPECT_NE(kit::parse_responses("HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", m), "");
    EXPECT_NE(kit::parse_responses("garbage\r\n\r\n", m), "");
}

TEST(http_invariants, sameness_ignores_only_framing) {
    std::vector<kit::http_message> a, b;
    ASSERT_EQ(kit::parse_responses("HTTP/1.1 200 OK\r\nX: 1\r\nContent-Length: 3\r\n\r\nabc", a), "");
    ASSERT_EQ(kit::parse_responses(
                  "HTTP/1.1 200 OK\r\nX: 1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n2\r\nbc\r\n0\r\n\r\n", b),
              "");
    EXPECT_EQ(kit::same_apart_from_framing(a, b), "");
    ASSERT_EQ(kit::parse_responses("HTTP/1.1 200 OK\r\nX: 2\r\nContent-Length: 3\r\n\r\nabc", b), "");
    EXPECT_NE(kit::same_apart_from_framing(a, b), "");
    ASSERT_EQ(kit::parse_responses("HTTP/1.1 200 OK\r\nX: 1\r\nContent-Length: 3\r\n\r\nabd", b), "");
    EXPECT_NE(kit::same_apart_from_framing(a, b), "");
}

TEST(http_invariants, requests) {
    std::vector<kit::http_message> m;
    EXPECT_EQ(
        kit::parse_requests("GET / HTTP/1.1\r\nHost: a\r\n\r\nPOST /p HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", m), "");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].body, "hi");
    EXPECT_EQ(kit::header_value(m[0], "host"), "a");
}

}  // namespace
