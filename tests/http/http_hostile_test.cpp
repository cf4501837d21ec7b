// Input the filter cannot follow: it must step aside cleanly, with every
// byte of both directions forwarded in order and nothing held back.
#include <stdexcept>

#include "kit/http.h"
#include "kit/log_capture.h"
#include "module/chain_factory.h"

using namespace kit;

namespace {

const std::string k_get = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";

}  // namespace

TEST(http_hostile, endless_request_header_detaches_with_everything_forwarded) {
    session t;
    t.open();
    std::string head = "GET /big HTTP/1.1\r\nHost: h\r\nX-Fill: ";
    t.out(head);
    std::string fill(1000, 'f');
    std::size_t sent = 0;
    while (t.attached() && sent < 200000) {
        t.out(fill);
        sent += fill.size();
    }
    EXPECT_FALSE(t.attached());
    EXPECT_LE(sent, 101000u);
    EXPECT_EQ(t.provider.out, head + std::string(sent, 'f'));
    t.out("more");
    EXPECT_EQ(t.provider.out, head + std::string(sent, 'f') + "more");
}

TEST(http_hostile, request_line_of_9000_bytes_without_end_detaches) {
    session t;
    t.open();
    t.out(k_get);
    std::string line = "GET /" + std::string(9100, 'u');
    for (const auto& c : kit::random_chunks(line, kit::test_seed(), 500)) t.out(c);
    EXPECT_FALSE(t.attached());
    EXPECT_EQ(t.provider.out, k_get + line);
}

TEST(http_hostile, request_line_one_byte_at_a_time_until_the_limit) {
    session t;
    t.open();
    t.out(k_get);
    std::string line = "GET /" + std::string(9100, 'u');
    for (const auto& c : kit::one_byte_chunks(line)) t.out(c);
    EXPECT_FALSE(t.attached());
    EXPECT_EQ(t.provider.out, k_get + line);
}

TEST(http_hostile, garbage_instead_of_second_request_detaches) {
    session t;
    t.open();
    t.out(k_get);
    t.out("\x16\x03\x01 binary");  // no line end: not a request prefix
    EXPECT_FALSE(t.attached());
    EXPECT_EQ(t.provider.out, k_get + "\x16\x03\x01 binary");
}

TEST(http_hostile, overlong_status_line_detaches) {
    session t;
    t.open();
    t.out(k_get);
    std::string line = "HTTP/1.1 200 " + std::string(1200, 'r');
    t.in(line);
    EXPECT_FALSE(t.attached());
    EXPECT_EQ(t.provider.in, line);
}

TEST(http_hostile, endless_response_header_detaches) {
    session t;
    t.open();
    t.out(k_get);
    std::string all = "HTTP/1.1 200 OK\r\nX: ";
    t.in(all);
    std::string fill(4096, 'h');
    while (t.attached() && all.size() < 300000) {
        t.in(fill);
        all += fill;
    }
    EXPECT_FALSE(t.attached());
    EXPECT_EQ(t.provider.in, all);
}

TEST(http_hostile, bogus_chunk_sizes_detach_with_bytes_in_order) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string bad[] = {"zz\r\nabc", "ffffffffff\r\nabc", "5x\r\nhello\r\n0\r\n\r\n", "3\r\nabcd\r\n0\r\n\r\n",
                               std::string(5000, ' ') + "\r\n"};
    for (const auto& b : bad) {
        session t;
        t.open();
        t.out(k_get);
        std::string all = head + b;
        t.in(all);
        EXPECT_FALSE(t.attached()) << b.substr(0, 20);
        // What was re-chunked before the failure, then the rest as it came.
        if (b[0] == '3')
            EXPECT_EQ(t.provider.in, head + "3\r\nabc\r\nd\r\n0\r\n\r\n");
        else
            EXPECT_EQ(t.provider.in, all) << b.substr(0, 20);
    }
}

TEST(http_hostile, negative_or_enormous_content_length_detaches) {
    for (std::string v : {"-5", "99999999999", "abc"}) {
        session t;
        t.open();
        t.out(k_get);
        std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + v + "\r\n\r\nbody";
        t.in(resp);
        EXPECT_FALSE(t.attached()) << v;
        EXPECT_EQ(t.provider.in, resp) << v;
    }
    for (std::string v : {"-5", "99999999999"}) {
        session t;
        t.open();
        std::string req = "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: " + v + "\r\n\r\nbody";
        t.out(req);
        EXPECT_FALSE(t.attached()) << v;
        EXPECT_EQ(t.provider.out, req) << v;
    }
}

TEST(http_hostile, unknown_transfer_coding_and_multipart_detach) {
    for (std::string h :
         {"Transfer-Encoding: gzip, chunked\r\n", "Content-Type: multipart/byteranges; boundary=XYZ\r\n"}) {
        session t;
        t.open();
        t.out(k_get);
        std::string resp = "HTTP/1.1 206 Partial\r\n" + h + "\r\n--XYZ\r\n";
        t.in(resp);
        EXPECT_FALSE(t.attached());
        EXPECT_EQ(t.provider.in, resp);
    }
}

TEST(http_hostile, client_failure_hands_back_a_held_server_body) {
    // A length-delimited HTML body is being held when the client sends
    // something that is not HTTP: the held header and body still reach the
    // client, framed with the length that will actually pass.
    session t;
    t.html->drop = 'x';
    t.open();
    t.out(k_get);
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 3000\r\n";
    t.in(head + "\r\n" + std::string(1300, 'a') + std::string(100, 'x'));
    EXPECT_EQ(t.provider.in, "HTTP/1.1 200 OK\r\n");
    t.out("\x01\x02\x03 not http\n");
    EXPECT_FALSE(t.attached());
    EXPECT_EQ(t.provider.out, k_get + "\x01\x02\x03 not http\n");
    // 1300 filtered bytes sent and 1600 still to come unfiltered.
    EXPECT_EQ(t.provider.in,
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2900\r\n\r\n" + std::string(1300, 'a'));
}

TEST(http_hostile, server_failure_waits_to_hand_back_a_partial_request) {
    session t;
    t.open();
    t.out(k_get);
    t.out("GET /second HTTP/1.1\r\nHost: h");  // header not complete yet
    EXPECT_EQ(t.provider.out, k_get);
    t.in("garbage line\r\n");
    // Still attached until the client's held bytes have gone out.
    EXPECT_EQ(t.provider.in, "garbage line\r\n");
    EXPECT_TRUE(t.attached());
    t.in("more server bytes");
    EXPECT_EQ(t.provider.in, "garbage line\r\nmore server bytes");
    t.out("\r\n\r\n");
    EXPECT_FALSE(t.attached());
    EXPECT_EQ(t.provider.out, k_get + "GET /second HTTP/1.1\r\nHost: h\r\n\r\n");
}

TEST(http_hostile, random_message_mixes_pass_byte_exact) {
    // With handlers that change nothing, whatever mix of messages, interim
    // responses, stray lines and noise the server sends, and however it is
    // cut, the client receives exactly the server's bytes: framed while the
    // filter can follow, forwarded as they are once it cannot.
    const char* parts[] = {
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 7\r\n\r\n<p>x</p",
        "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 3\r\n\r\nGIF",
        "HTTP/1.1 100 Continue\r\n\r\n",
        "HTTP/1.1 304 Not Modified\r\nETag: \"1\"\r\n\r\n",
        "HTTP/1.0 204 No Content\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 1300\r\n\r\n",
        "\r\n",
        "zzzz\n",
        "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\ntail",
        "\x00\xff\x10",
    };
    std::uint32_t seed = kit::test_seed();
    for (int round = 0; round < 60; ++round) {
        std::uint32_t x = seed + static_cast<std::uint32_t>(round) * 7919u;
        auto next = [&x] {
            x = x * 1103515245u + 12345u;
            return (x >> 16) & 0x7fff;
        };
        std::string server;
        for (int i = 0; i < 12; ++i) {
            unsigned k = next() % 10;
            server += parts[k];
            if (k == 5) server += std::string(1300, static_cast<char>('A' + i));
        }
        std::string requests;
        for (int i = 0; i < 12; ++i) requests += k_get;
        session t;
        t.open();
        t.out(requests);
        for (const auto& c : kit::random_chunks(server, x, 1 + next() % 200)) t.in(c);
        t.point->stop_in();
        ASSERT_EQ(t.provider.in, server) << "round " << round;
        ASSERT_EQ(t.provider.out, requests);
    }
}

TEST(http_hostile, floods_of_blank_lines_pass_and_framing_goes_on) {
    session t;
    t.open();
    t.out(k_get);
    std::string blank;
    for (int i = 0; i < 100000; ++i) blank += "\r\n";
    t.out(blank + k_get);
    EXPECT_EQ(t.provider.out, k_get + blank + k_get);
    std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 1\r\n\r\nA";
    t.in(resp + blank);
    for (const auto& c : kit::random_chunks(blank, kit::test_seed(), 5000)) t.in(c);
    t.in(resp);
    EXPECT_EQ(t.provider.in, resp + blank + blank + resp);
    EXPECT_TRUE(t.attached());
    EXPECT_EQ(completions(t.host).size(), 2u);
}

namespace {
// A content handler with a fault: it throws once it has seen enough bytes.
class throwing_handler : public i_sub_handler {
public:
    std::size_t seen = 0;
    bool update_in(byte_string& data) override {
        seen += data.size();
        if (seen > 1500) {
            data = "garbage the handler left behind";
            throw std::runtime_error("handler fault");
        }
        data.erase(0, 1);  // the first byte of each piece is filtered away
        return true;
    }
    void stop(byte_string&) override {}
};
}  // namespace

TEST(http_hostile, a_throwing_handler_steps_aside_without_losing_bytes) {
    std::string body = std::string(1300, 'a') + std::string(1700, 'b');
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/x-thing\r\nContent-Length: 3000\r\n\r\n";
    session t;
    t.open();
    t.filter->assign_file_filter(std::make_shared<throwing_handler>());
    t.out(k_get);
    t.in(head + body.substr(0, 1300));
    t.in(body.substr(1300, 1400));
    t.in(body.substr(2700));
    // First piece filtered (one byte less), then the chain is out and the
    // rest passes as the server sent it.
    std::string want = "HTTP/1.1 200 OK\r\nContent-Type: application/x-thing\r\nContent-Length: 2999\r\n\r\n" +
                       std::string(1299, 'a') + std::string(1700, 'b');
    EXPECT_EQ(t.provider.in, want);
    EXPECT_TRUE(t.attached());
}

namespace {
// A policy whose link check fails: the HTML filter meets an exception of its
// own in the middle of a page.
struct failing_link_check : kit::test_qualifier {
    bool check_ad_link(const byte_string&, byte_string&) override { throw std::runtime_error("check fault"); }
};
}  // namespace

// The HTTP filter keeps no copy of what it hands the HTML filter, which
// catches its own failures: the page must still arrive whole, at every
// split, and the next page is filtered again.
TEST(http_hostile, an_html_filter_that_fails_mid_page_hands_every_byte_on) {
    const std::string page =
        "<p>one</p><a href=\"http://ads.example/x\">link</a>" + std::string(3000, 'z') + "<p>two</p>";
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: ";
    const std::string first = head + std::to_string(page.size()) + "\r\n\r\n" + page;
    const std::string second = head + "15\r\n\r\n<b>second</b>\r\n";
    for (const auto& chunks : kit::chunkings(first, false)) {
        session t;
        auto q = std::make_shared<failing_link_check>();
        q->follow_requests = true;
        q->gif.clear();
        q->block(idx_ads_by_link);
        t.qual = q;
        t.adjust_hooks = [](http_handler_hooks& h) { h.html = module::web_handler_hooks().html; };
        kit::log_capture log{0};
        t.open();
        t.out(k_get);
        t.in(chunks);
        t.out(k_get);
        t.in(second);
        EXPECT_EQ(t.provider.in, first + second);
        EXPECT_TRUE(t.attached());
        EXPECT_EQ(log.count("filtering ends: check fault"), 1);
    }
}

TEST(http_hostile, random_request_mixes_pass_byte_exact) {
    // With nothing denied, whatever the client sends after a recognised
    // first request reaches the server exactly as sent, however it is cut.
    const char* parts[] = {
        "GET /a HTTP/1.1\r\nHost: h\r\n\r\n",
        "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello",
        "GET / HTTP/1.0\r\n\r\n",
        "\r\n",
        "head /x HTTP/1.1\r\nHost: h\r\nX-Folded: a\r\n b\r\n\r\n",
        "PUT /u HTTP/1.1\nHost: h\nContent-Length: 3\n\nabc",
        "BREW /pot HTCPCP/1.0\r\n\r\n",
        "GET /nolf HTTP/1.1 junk",
        "\x00\x01\x02",
    };
    std::uint32_t seed = kit::test_seed();
    for (int round = 0; round < 60; ++round) {
        std::uint32_t x = seed + static_cast<std::uint32_t>(round) * 104729u;
        auto next = [&x] {
            x = x * 1103515245u + 12345u;
            return (x >> 16) & 0x7fff;
        };
        std::string client = k_get;
        for (int i = 0; i < 12; ++i) {
            unsigned k = next() % 9;
            client += k == 8 ? std::string(parts[k], 3) : std::string(parts[k]);
        }
        session t;
        t.open();
        t.out(k_get);
        for (const auto& c : kit::random_chunks(client.substr(k_get.size()), x, 1 + next() % 40)) t.out(c);
        t.point->stop_out();
        ASSERT_EQ(t.provider.out, client) << "round " << round;
    }
}

TEST(http_hostile, endless_pipelining_without_answers_detaches) {
    session t;
    t.open();
    std::string all;
    for (int i = 0; i < 1100 && (i == 0 || t.attached()); ++i) {
        t.out(k_get);
        all += k_get;
    }
    EXPECT_FALSE(t.attached());
    EXPECT_EQ(t.provider.out, all);
    EXPECT_LE(all.size(), 1002 * k_get.size());
}
