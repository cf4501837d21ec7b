// The bound on a held filtered body: past it the filter stops holding and
// the client still receives the whole body, validly framed.
#include "kit/http.h"

using namespace kit;

namespace {

// Reads a chunked body; false when the framing is broken or unfinished.
bool dechunk(const std::string& s, std::size_t at, std::string& body, std::size_t& chunks) {
    body.clear();
    chunks = 0;
    for (;;) {
        std::size_t eol = s.find("\r\n", at);
        if (eol == std::string::npos) return false;
        std::size_t size = std::stoul(s.substr(at, eol - at), nullptr, 16);
        at = eol + 2;
        if (size == 0) return s.compare(at, std::string::npos, "\r\n") == 0;
        if (at + size + 2 > s.size() || s.compare(at + size, 2, "\r\n") != 0) return false;
        body.append(s, at, size);
        at += size + 2;
        ++chunks;
    }
}

}  // namespace

TEST(http_bound, unchanged_length_content_past_the_bound_passes_unfiltered) {
    const std::size_t n = http_max_held_body + (1u << 20);
    std::string body = std::string(1000, 'x') + std::string(n - 1010, 'a') + std::string(10, 'x');
    std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n";
    session t;
    t.html->drop = 'x';
    t.open();
    t.out("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    t.in(head);
    const std::size_t step = 64 * 1024;
    bool streamed_early = false;
    for (std::size_t at = 0; at < body.size(); at += step) {
        t.in(body.substr(at, step));
        if (at + step < body.size() && t.provider.in.size() > http_max_held_body / 2) streamed_early = true;
    }
    EXPECT_TRUE(streamed_early);
    // The first 1000 'x' were filtered out; the held part ends at the bound,
    // and the rest (with its 'x') passed as it came.
    std::string want_head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(n - 1000) + "\r\n\r\n";
    ASSERT_EQ(t.provider.in.size(), want_head.size() + n - 1000);
    EXPECT_EQ(t.provider.in.substr(0, want_head.size()), want_head);
    EXPECT_TRUE(t.provider.in.compare(want_head.size(), n - 1010, std::string(n - 1010, 'a')) == 0);
    EXPECT_EQ(t.provider.in.substr(t.provider.in.size() - 10), std::string(10, 'x'));
    EXPECT_TRUE(t.attached());
    auto c = completions(t.host);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].status, 1u);
}

TEST(http_bound, decoded_content_past_the_bound_is_rechunked_for_http11) {
    const std::size_t coded = 20000, fan = 1000;  // 20 MB decoded
    std::string body;
    for (std::size_t i = 0; i < coded; ++i) body += static_cast<char>('a' + i % 26);
    std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 20000\r\nContent-Encoding: gzip\r\n"
        "Connection: keep-alive\r\n\r\n";
    session t;
    t.inflate_fan = fan;
    t.open();
    t.out("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    t.in(head);
    for (std::size_t at = 0; at < body.size(); at += 2000) t.in(body.substr(at, 2000));
    std::string want_head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: keep-alive\r\n"
        "Transfer-Encoding: chunked\r\n\r\n";
    ASSERT_EQ(t.provider.in.substr(0, want_head.size()), want_head);
    std::string decoded;
    std::size_t chunks = 0;
    ASSERT_TRUE(dechunk(t.provider.in, want_head.size(), decoded, chunks));
    ASSERT_EQ(decoded.size(), coded * fan);
    for (std::size_t i = 0; i < coded; i += 997) ASSERT_EQ(decoded[i * fan + fan - 1], body[i]);
    EXPECT_GT(chunks, 1u);
    // The connection goes on with the next response.
    t.out("GET /2 HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string next = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 2\r\n\r\nok";
    std::size_t before = t.provider.in.size();
    t.in(next);
    EXPECT_EQ(t.provider.in.substr(before), next);
}

TEST(http_bound, decoded_content_past_the_bound_ends_at_close_for_http10) {
    std::string head =
        "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nConnection: Keep-Alive\r\nContent-Encoding: gzip\r\n"
        "Content-Length: 20000\r\n\r\n";
    session t;
    t.inflate_fan = 1000;
    t.open();
    t.out("GET / HTTP/1.0\r\nHost: h\r\n\r\n");
    t.in(head);
    std::string body(20000, 'q');
    for (std::size_t at = 0; at < body.size(); at += 4000) t.in(body.substr(at, 4000));
    std::string want_head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(t.provider.in.substr(0, want_head.size() + 8), want_head + "qqqqqqqq");
    ASSERT_EQ(t.provider.in.size(), want_head.size() + 20000u * 1000u);
    EXPECT_EQ(t.provider.in.find_first_not_of('q', want_head.size()), std::string::npos);
}
