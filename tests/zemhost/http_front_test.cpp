// The forward proxy's own HTTP: request heads turned into origin-form, the
// requests it refuses, and where bodies and answers end at every split.
#include "http_front.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zem_host::body_framer;
using zem_host::parse_proxy_request;
using zem_host::proxy_request;
using zem_host::request_parse;
using zem_host::response_tracker;

request_parse parse(const std::string& head, proxy_request& out) {
    return parse_proxy_request(head.data(), head.size(), out);
}

TEST(zemhost_forward, absolute_requests_become_what_the_origin_expects) {
    proxy_request r;
    const std::string head =
        "GET http://Example.org:8080/a/b?x=1#frag HTTP/1.1\r\nHost: wrong\r\nProxy-Connection: keep-alive\r\n"
        "Accept: */*\r\nProxy-Authorization: Basic eDp5\r\nHost: again\r\n\r\nBODY";
    const request_parse p = parse(head, r);
    ASSERT_EQ(p.result, request_parse::outcome::ok);
    EXPECT_EQ(p.head_length, head.size() - 4);
    EXPECT_EQ(r.what, proxy_request::kind::forward);
    EXPECT_EQ(r.host, "Example.org");
    EXPECT_EQ(r.port, 8080);
    EXPECT_EQ(r.origin_head, "GET /a/b?x=1 HTTP/1.1\r\nHost: Example.org:8080\r\nAccept: */*\r\n\r\n");
    EXPECT_FALSE(r.client_wants_close);

    ASSERT_EQ(parse("POST http://[::1]?q HTTP/1.0\nContent-Length: 5, 5\n\n", r).result, request_parse::outcome::ok);
    EXPECT_EQ(r.host, "::1");
    EXPECT_EQ(r.port, 80);
    EXPECT_EQ(r.body_length, 5u);
    EXPECT_TRUE(r.client_wants_close);  // HTTP/1.0 without keep-alive
    EXPECT_EQ(r.origin_head, "POST /?q HTTP/1.0\r\nHost: [::1]\r\nContent-Length: 5, 5\r\n\r\n");

    ASSERT_EQ(parse("CONNECT [2001:db8::1]:443 HTTP/1.1\r\nHost: x\r\n\r\n", r).result, request_parse::outcome::ok);
    EXPECT_EQ(r.what, proxy_request::kind::tunnel);
    EXPECT_EQ(r.host, "2001:db8::1");
    EXPECT_EQ(r.port, 443);
    EXPECT_TRUE(r.origin_head.empty());

    // Incomplete heads wait, one byte short of their end included.
    const std::string whole = "GET http://a/ HTTP/1.1\r\nX: 1\r\n\r\n";
    for (std::size_t n = 0; n < whole.size(); ++n)
        EXPECT_EQ(parse_proxy_request(whole.data(), n, r).result, request_parse::outcome::need_more) << n;
}

TEST(zemhost_forward, requests_that_cannot_be_forwarded_safely_are_refused) {
    const struct {
        const char* head;
        int status;
    } cases[] = {
        {"GET http://user:pw@a/ HTTP/1.1\r\n\r\n", 400},
        {"GET http://a:0/ HTTP/1.1\r\n\r\n", 400},
        {"GET http://a:65536/ HTTP/1.1\r\n\r\n", 400},
        {"GET http://a:/ HTTP/1.1\r\n\r\n", 400},
        {"GET http://[::1/ HTTP/1.1\r\n\r\n", 400},
        {"GET http://a b/ HTTP/1.1\r\n\r\n", 400},
        {"GET https://a/ HTTP/1.1\r\n\r\n", 501},
        {"GET /index.html HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"CONNECT a HTTP/1.1\r\n\r\n", 400},
        {"CONNECT a:99999 HTTP/1.1\r\n\r\n", 400},
        {"GET http://a/ HTTP/2.0\r\n\r\n", 505},
        {"G(T http://a/ HTTP/1.1\r\n\r\n", 400},
        {"POST http://a/ HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"POST http://a/ HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", 400},
        {"POST http://a/ HTTP/1.1\r\nContent-Length: -3\r\n\r\n", 400},
        {"POST http://a/ HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 400},
        {"GET http://a/ HTTP/1.1\r\nX: 1\r\n folded\r\n\r\n", 400},
        {"GET http://a/ HTTP/1.1\r\nNo colon\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        proxy_request r;
        const request_parse p = parse(c.head, r);
        EXPECT_EQ(p.result, request_parse::outcome::refused) << c.head;
        EXPECT_EQ(p.status, c.status) << c.head;
        EXPECT_FALSE(p.reason.empty());
    }
    // A request line of a megabyte is refused once the limit is reached,
    // without waiting for its end.
    proxy_request r;
    const std::string huge = "GET http://a/" + std::string(1 << 20, 'x');
    EXPECT_EQ(parse_proxy_request(huge.data(), zem_host::k_max_request_head - 1, r).result,
              request_parse::outcome::need_more);
    const request_parse p = parse(huge, r);
    EXPECT_EQ(p.result, request_parse::outcome::refused);
    EXPECT_EQ(p.status, 431);
    // The error page escapes what it quotes and closes the connection.
    const std::string page = zem_host::proxy_error_reply(502, "<b>origin</b> & co");
    EXPECT_EQ(page.rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
    EXPECT_NE(page.find("&lt;b&gt;origin&lt;/b&gt; &amp; co"), std::string::npos);
    EXPECT_NE(page.find("Connection: close\r\n"), std::string::npos);
    const std::size_t body = page.find("\r\n\r\n") + 4;
    EXPECT_NE(page.find("Content-Length: " + std::to_string(page.size() - body) + "\r\n"), std::string::npos);
}

// Feeds the first 'at' bytes in one piece and the rest one at a time;
// answers the offset at which the tracker first fell idle (npos: never).
std::size_t idle_after(const std::string& bytes, std::size_t at, const std::string& requests) {
    response_tracker t;
    for (char c : requests) t.request_sent(c == 'H');
    EXPECT_TRUE(t.feed(bytes.data(), at));
    if (t.idle()) return at;
    for (std::size_t k = at; k < bytes.size(); ++k) {
        EXPECT_TRUE(t.feed(bytes.data() + k, 1));
        if (t.idle()) return k + 1;
    }
    return std::string::npos;
}

TEST(zemhost_forward, answers_are_followed_to_their_last_byte_at_every_split) {
    // GET: 100 Continue then 200 with a length; HEAD: a length and no body;
    // GET: 204; GET: chunked with extensions and trailer fields; GET: 304.
    const std::string answers =
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
        "HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n"
        "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n"
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
        "3;ext=1\r\nabc\r\nA\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n"
        "HTTP/1.0 304 Not Modified\nContent-Length: 3\n\n";
    for (std::size_t at = 0; at < answers.size(); ++at)
        ASSERT_EQ(idle_after(answers, at, "GHGGG"), answers.size()) << at;

    // Without a length the answer runs to the close; a broken chunk line or
    // an answer nobody asked for cannot be followed.
    response_tracker t;
    t.request_sent(false);
    const std::string open = "HTTP/1.1 200 OK\r\n\r\nmore and more";
    EXPECT_TRUE(t.feed(open.data(), open.size()));
    EXPECT_TRUE(t.until_close());
    EXPECT_FALSE(t.idle());
    response_tracker broken;
    broken.request_sent(false);
    const std::string bad = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n";
    EXPECT_FALSE(broken.feed(bad.data(), bad.size()));
    response_tracker unasked;
    EXPECT_FALSE(unasked.feed("HTTP/1.1 200 OK\r\n\r\n", 19));
}

TEST(zemhost_forward, request_bodies_end_where_their_framing_says) {
    const std::string chunked = "4\r\nwiki\r\n5;a=b\r\npedia\r\n0\r\nT: 1\r\n\r\n";
    const std::string next = "GET http://a/ HTTP/1.1\r\n\r\n";
    const std::string stream = chunked + next;
    for (std::size_t at = 0; at <= stream.size(); ++at) {
        body_framer f;
        f.reset(body_framer::mode::chunked);
        std::size_t used = f.feed(stream.data(), at);
        if (!f.done()) used += f.feed(stream.data() + at, stream.size() - at);
        EXPECT_TRUE(f.done()) << at;
        EXPECT_EQ(used, chunked.size()) << at;
    }
    body_framer f;
    f.reset(body_framer::mode::length, 3);
    EXPECT_EQ(f.feed("abcdef", 6), 3u);
    EXPECT_TRUE(f.done());
    f.reset(body_framer::mode::chunked);
    f.feed("fffffffffffffffff\r\n", 19);  // a size beyond 64 bits
    EXPECT_TRUE(f.failed());
}

}  // namespace
