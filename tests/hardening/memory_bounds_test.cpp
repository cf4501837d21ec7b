// Memory per connection under hostile traffic. Each case drives a whole
// filter point with one worst case and checks two things: the bytes the
// engine held at its peak (counted by the replaced operator new, minus what
// was live before the connection opened) stay under the budget, and the
// client and server receive every byte, validly framed, apart from the
// rewrites the engine makes on purpose (decoded bodies, canned replies).
//
// Budgets (also in docs/performance.md):
//  - a connection whose bodies stream (close-delimited, chunked, or one that
//    the filters stepped aside from): k_stream_budget, a few pieces in
//    flight plus the filters' own bounds (256 KiB for an open tag or script
//    construct, 100 000 bytes for a header block);
//  - a length-delimited body that is held while it is filtered:
//    k_held_budget, the 16 MiB held-body bound three times over (the held
//    body with its growth slack, the body handed on, and the call's output
//    flattened for the provider) plus k_stream_budget;
//  - a compressed body: each call's decoded output on top, which is the
//    compressed bytes of that call times the compression ratio (at most
//    about 1032 for deflate); the host chooses how much it hands in at once.
#include <gtest/gtest.h>

#include <cstdio>

#include "alloc_counter.h"
#include "core/configuration.h"
#include "http/http_stream_filter.h"
#include "kit/codings.h"
#include "kit/hosted_test.h"
#include "kit/stream_check.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

constexpr std::size_t MiB = std::size_t(1) << 20;

// Under a sanitizer every byte costs ten times more: the bombs are smaller
// there (still far past every bound).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool k_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool k_sanitized = true;
#else
constexpr bool k_sanitized = false;
#endif
#else
constexpr bool k_sanitized = false;
#endif
constexpr std::size_t k_big_bomb = k_sanitized ? 128 * MiB : std::size_t(1) << 30;
constexpr std::size_t k_chunked_bomb = k_sanitized ? 64 * MiB : 256 * MiB;
constexpr std::size_t k_stream_budget = 4 * MiB;
// The requests waiting for their responses are bounded in number (1000);
// each keeps its parsed header and, when blocked, its canned reply.
constexpr std::size_t k_queue_budget = 8 * MiB;
constexpr std::size_t k_held_budget = 3 * http_max_held_body + k_stream_budget;

const std::string page_request = "GET /index.html HTTP/1.1\r\nHost: www.example.com\r\n\r\n";

// Notifications are counted, not recorded: thousands of requests would
// otherwise fill the fake host's own log, which is not the engine's memory.
class counting_host : public kit::fake_host {
public:
    bool notify_event(const zem::GUID*, int, zem::mem_slice*) override {
        ++notifications;
        return true;
    }
    int invoke_command(const zem::GUID* channel, int code, zem::mem_slice* request, zem::mem_slice* reply) override {
        int rc = kit::fake_host::invoke_command(channel, code, request, reply);
        clear_records();
        return rc;
    }
    std::size_t notifications = 0;
};

struct memory_bounds : kit::http_engine_test<counting_host> {
    void SetUp() override {
        kit::http_engine_test<counting_host>::SetUp();
        policy({});
    }
    // The permission array: the listed indexes blocked, everything else allowed.
    void policy(std::initializer_list<int> blocked) {
        host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply(blocked));
    }
    // An advertisement policy: links, sizes and scripts are looked at.
    void ads_policy() { policy({idx_ads_by_link, idx_ads_by_size, idx_popups, idx_hidden_frames}); }

    zem::i_filt_point* open(kit::counting_provider& p, const std::string& request = page_request) {
        zem::i_filt_point* fp = create_filt_point(&p, 7);
        EXPECT_NE(fp, nullptr);
        if (fp) fp->update_out(request.data(), static_cast<int>(request.size()));
        return fp;
    }

    void report(const char* name, std::size_t peak, std::size_t budget) {
        std::printf("[ memory ] %-34s peak %8.2f MiB (budget %6.2f MiB)\n", name, double(peak) / MiB,
                    double(budget) / MiB);
    }
};

// The peak held by the engine since the measurement began.
std::size_t held_since(std::size_t base) { return kit::peak_bytes() > base ? kit::peak_bytes() - base : 0; }

TEST_F(memory_bounds, endless_tag_and_endless_script_string_pass_unchanged) {
    ads_policy();
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><p>text</p>";
    struct hostile {
        const char* name;
        std::string open;
        std::string unit;
    } cases[] = {
        {"endless tag", "<a href=\"http://ads.example.com/", "x"},
        {"endless attribute list", "<img ", "width=1 "},
        {"endless script string", "<script>var s = '", "abc"},
        {"endless script comment", "<script>/*", "a*b"},
        {"endless html comment", "<!--", "-a-"},
    };
    // Process-wide parts (compiled expressions, the matcher) settle first,
    // so that what a connection leaves behind can be told from them.
    for (const hostile& c : cases) {
        kit::counting_provider p;
        zem::i_filt_point* fp = open(p);
        kit::feed_in(fp, head + c.open, c.unit, 300 << 10, "", 4096);
        fp->stop_in();
        fp->release();
    }
    for (const hostile& c : cases) {
        const std::size_t base = kit::live_bytes();
        kit::reset_peak();
        {
            kit::counting_provider p;
            zem::i_filt_point* fp = open(p);
            kit::fnv sent;
            kit::feed_in(fp, head + c.open, c.unit, 24 * MiB, "", 64 << 10, &sent);
            fp->stop_in();
            fp->release();
            p.parsed.end();
            EXPECT_EQ(p.in, sent) << c.name << ": the page must arrive unchanged";
            EXPECT_EQ(p.parsed.error, "") << c.name;
            ASSERT_EQ(p.parsed.responses.size(), 1u) << c.name;
            EXPECT_EQ(p.parsed.responses[0].framing, kit::seen_response::close);
        }
        std::size_t peak = held_since(base);
        report(c.name, peak, k_stream_budget);
        EXPECT_LE(peak, k_stream_budget) << c.name;
        EXPECT_LE(kit::live_bytes(), base) << c.name << ": the connection left memory behind";
    }
}

TEST_F(memory_bounds, endless_header_blocks_pass_unchanged_in_both_directions) {
    for (int client = 0; client < 2; ++client) {
        const std::size_t base = kit::live_bytes();
        kit::reset_peak();
        {
            kit::counting_provider p;
            p.parse_in = false;
            kit::fnv sent;
            zem::i_filt_point* fp;
            if (client) {
                fp = create_filt_point(&p, 7);
                kit::feed_out(fp, "GET / HTTP/1.1\r\nHost: www.example.com\r\nX-Long: ", "h", 16 * MiB, "", 32 << 10,
                              &sent);
                fp->stop_out();
                EXPECT_EQ(p.out, sent);
            } else {
                fp = open(p);
                kit::feed_in(fp, "HTTP/1.1 200 OK\r\nX-Long: ", "h", 16 * MiB, "", 32 << 10, &sent);
                fp->stop_in();
                EXPECT_EQ(p.in, sent);
            }
            fp->release();
        }
        std::size_t peak = held_since(base);
        report(client ? "endless request header" : "endless response header", peak, k_stream_budget);
        EXPECT_LE(peak, k_stream_budget);
    }
}

TEST_F(memory_bounds, a_huge_chunk_size_streams_and_the_cut_is_marked) {
    ads_policy();
    const std::size_t base = kit::live_bytes();
    kit::reset_peak();
    {
        kit::counting_provider p;
        zem::i_filt_point* fp = open(p);
        const std::string unit = "<p>a paragraph of text</p>\n";
        kit::feed_in(fp, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n7fffffff\r\n",
                     unit, 32 * MiB, "", 64 << 10);
        // The server closes in the middle of the chunk: everything received
        // so far is valid chunked framing, and the short last chunk follows.
        EXPECT_EQ(p.parsed.error, "");
        fp->stop_in();
        fp->release();
        ASSERT_EQ(p.parsed.responses.size(), 1u);
        EXPECT_EQ(p.parsed.responses[0].framing, kit::seen_response::chunked);
        EXPECT_EQ(p.parsed.responses[0].body, kit::hash_repeated(unit, 32 * MiB));
        EXPECT_FALSE(p.parsed.responses[0].complete);
    }
    std::size_t peak = held_since(base);
    report("huge chunk size", peak, k_stream_budget);
    EXPECT_LE(peak, k_stream_budget);
}

TEST_F(memory_bounds, a_length_delimited_html_body_past_the_held_bound_arrives_whole) {
    ads_policy();
    const std::size_t size = 40 * MiB;
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
    const std::size_t base = kit::live_bytes();
    kit::reset_peak();
    {
        kit::counting_provider p;
        zem::i_filt_point* fp = open(p);
        kit::fnv sent;
        kit::feed_in(fp, head, "<p>hello world</p>\n", size, "", 64 << 10, &sent);
        fp->release();
        EXPECT_EQ(p.in, sent) << "nothing in the page is filtered: it must arrive as it came";
        EXPECT_EQ(p.parsed.error, "");
        ASSERT_EQ(p.parsed.responses.size(), 1u);
        EXPECT_TRUE(p.parsed.responses[0].complete);
    }
    std::size_t peak = held_since(base);
    report("html body past the held bound", peak, k_held_budget);
    EXPECT_LE(peak, k_held_budget);
}

TEST_F(memory_bounds, a_gif_of_endless_sub_blocks_passes_unchanged) {
    std::string head = "GIF89a";
    head += std::string("\x04\x00\x04\x00\x80\x00\x00", 7) + std::string("\0\0\0\xff\xff\xff", 6);
    head += std::string("\x2C\0\0\0\0\x04\0\x04\0\0\x02", 11);  // image descriptor, LZW size 2
    std::string sub_block(256, '\x55');
    sub_block[0] = '\xff';  // 255 data bytes follow
    const std::size_t body_size = head.size() + 20 * MiB / 256 * 256 + 2;
    const std::string request = "GET /img/huge.gif HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    for (int length_delimited = 0; length_delimited < 2; ++length_delimited) {
        const std::size_t base = kit::live_bytes();
        kit::reset_peak();
        {
            kit::counting_provider p;
            zem::i_filt_point* fp = open(p, request);
            std::string response = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n";
            if (length_delimited) response += "Content-Length: " + std::to_string(body_size) + "\r\n";
            response += "\r\n";
            kit::fnv sent;
            kit::feed_in(fp, response + head, sub_block, 20 * MiB / 256 * 256, std::string("\0\x3B", 2), 64 << 10,
                         &sent);
            fp->stop_in();
            fp->release();
            p.parsed.end();
            EXPECT_EQ(p.in, sent);
            EXPECT_EQ(p.parsed.error, "");
        }
        std::size_t peak = held_since(base);
        std::size_t budget = length_delimited ? k_held_budget : k_stream_budget;
        report(length_delimited ? "gif sub-blocks, by length" : "gif sub-blocks, to the close", peak, budget);
        EXPECT_LE(peak, budget);
    }
}

// ---------------------------------------------------------------------------
// Decompression bombs

TEST_F(memory_bounds, a_ten_megabyte_bomb_in_one_piece_arrives_decoded_with_its_length) {
    ads_policy();
    const std::size_t n = 10 * MiB;
    const std::string z = kit::gzip_of_repeated('\0', n);
    ASSERT_LT(z.size(), 64u << 10);
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n"
        "Content-Length: " +
        std::to_string(z.size()) + "\r\n\r\n" + z;
    const std::size_t base = kit::live_bytes();
    kit::reset_peak();
    {
        kit::counting_provider p;
        zem::i_filt_point* fp = open(p);
        fp->update_in(response.data(), static_cast<int>(response.size()));
        fp->release();
        ASSERT_EQ(p.parsed.error, "");
        ASSERT_EQ(p.parsed.responses.size(), 1u);
        const kit::seen_response& r = p.parsed.responses[0];
        EXPECT_TRUE(r.complete);
        EXPECT_EQ(r.head,
                  "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n");
        EXPECT_EQ(r.body, kit::hash_repeated(std::string(1, '\0'), n));
    }
    std::size_t peak = held_since(base);
    report("10 MiB bomb, one piece", peak, k_held_budget);
    EXPECT_LE(peak, k_held_budget);
}

// The decoded output of one call: the compressed bytes of the call times
// the ratio (zeros compress about 1030 to 1).
std::size_t decoded_per_call(std::size_t piece) { return piece * 1100; }

TEST_F(memory_bounds, a_gigabyte_bomb_fed_in_pieces_streams_validly_framed) {
    const std::size_t n = k_big_bomb;
    const std::string z = kit::gzip_of_repeated('\0', n);
    ASSERT_GT(z.size(), 0u);
    const std::size_t piece = 4096;
    struct framing {
        const char* name;
        std::string request;
        std::string head;
        kit::seen_response::framing_t expect;
    } cases[] = {
        // A length-delimited body is held up to the bound, then goes on
        // re-framed as chunked (HTTP/1.1) or to the close (HTTP/1.0).
        {"big bomb, by length, HTTP/1.1", page_request,
         "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Encoding: gzip\r\n"
         "Content-Length: " +
             std::to_string(z.size()) + "\r\n\r\n",
         kit::seen_response::chunked},
        {"big bomb, by length, HTTP/1.0", "GET /index.html HTTP/1.0\r\nHost: www.example.com\r\n\r\n",
         "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Encoding: gzip\r\n"
         "Content-Length: " +
             std::to_string(z.size()) + "\r\n\r\n",
         kit::seen_response::close},
        {"big bomb, to the close", page_request,
         "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Encoding: gzip\r\n\r\n",
         kit::seen_response::close},
    };
    const kit::fnv expect = kit::hash_repeated(std::string(1, '\0'), n);
    for (const framing& c : cases) {
        const std::size_t base = kit::live_bytes();
        kit::reset_peak();
        {
            kit::counting_provider p;
            zem::i_filt_point* fp = open(p, c.request);
            kit::feed_in(fp, c.head, z, z.size(), "", piece);
            fp->stop_in();
            fp->release();
            p.parsed.end();
            ASSERT_EQ(p.parsed.error, "") << c.name;
            ASSERT_EQ(p.parsed.responses.size(), 1u) << c.name;
            const kit::seen_response& r = p.parsed.responses[0];
            EXPECT_EQ(r.framing, c.expect) << c.name;
            EXPECT_TRUE(r.complete) << c.name;
            EXPECT_EQ(r.head.find("Content-Encoding"), std::string::npos) << c.name;
            EXPECT_EQ(r.body, expect) << c.name << ": " << r.body.n << " decoded bytes arrived";
            EXPECT_LE(p.largest_send_in, http_max_held_body + decoded_per_call(piece) + 4096) << c.name;
        }
        std::size_t peak = held_since(base);
        std::size_t budget = k_held_budget + 2 * decoded_per_call(piece);
        report(c.name, peak, budget);
        EXPECT_LE(peak, budget) << c.name;
    }
}

TEST_F(memory_bounds, a_chunked_bomb_streams_with_each_call_bounded_by_its_input) {
    const std::size_t n = k_chunked_bomb;
    const std::string z = kit::gzip_of_repeated('\0', n);
    // The compressed body in chunks of 1000 bytes.
    const std::string body = kit::chunked(z, 1000);
    const std::size_t piece = 2048;
    const std::size_t base = kit::live_bytes();
    kit::reset_peak();
    {
        kit::counting_provider p;
        zem::i_filt_point* fp = open(p);
        kit::feed_in(fp,
                     "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n"
                     "Transfer-Encoding: chunked\r\n\r\n",
                     body, body.size(), "", piece);
        fp->release();
        ASSERT_EQ(p.parsed.error, "");
        ASSERT_EQ(p.parsed.responses.size(), 1u);
        EXPECT_TRUE(p.parsed.responses[0].complete);
        EXPECT_EQ(p.parsed.responses[0].body, kit::hash_repeated(std::string(1, '\0'), n));
        // A call may also decode what waited from the call before.
        EXPECT_LE(p.largest_send_in, decoded_per_call(2 * piece) + 4096);
    }
    std::size_t peak = held_since(base);
    std::size_t budget = k_stream_budget + 3 * decoded_per_call(2 * piece);
    report("chunked bomb", peak, budget);
    EXPECT_LE(peak, budget);
}

TEST_F(memory_bounds, a_broken_stream_never_sends_compressed_bytes_after_decoded_ones) {
    // The stream decodes, then breaks on a block of reserved type. What was
    // decoded has gone on (held and sent with its length below the bound,
    // re-framed as chunked past it); the client gets the decoded text up to
    // the break and nothing of the compressed rest.
    for (std::size_t n : {4 * MiB, 24 * MiB}) {
        std::string z = kit::gzip_of_repeated('\0', n, 9, false);
        z += std::string(4096, '\xff');
        const std::string response =
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\nContent-Length: " +
            std::to_string(z.size()) + "\r\n\r\n" + z;
        const kit::fnv expect = kit::hash_repeated(std::string(1, '\0'), n);
        for (std::size_t piece : {std::size_t(1000), std::size_t(64) << 10, response.size()}) {
            kit::counting_provider p;
            zem::i_filt_point* fp = open(p);
            kit::feed_in(fp, response, "", 0, "", piece);
            fp->release();
            ASSERT_EQ(p.parsed.error, "") << n << "/" << piece;
            ASSERT_EQ(p.parsed.responses.size(), 1u) << n << "/" << piece;
            const kit::seen_response& r = p.parsed.responses[0];
            EXPECT_TRUE(r.complete) << n << "/" << piece;
            EXPECT_EQ(r.framing, n > http_max_held_body ? kit::seen_response::chunked : kit::seen_response::length)
                << n << "/" << piece;
            EXPECT_EQ(r.head.find("Content-Encoding"), std::string::npos) << n << "/" << piece;
            EXPECT_EQ(r.body, expect) << n << "/" << piece << ": " << r.body.n << " bytes";
        }
    }
}

// ---------------------------------------------------------------------------
// Many requests

TEST_F(memory_bounds, thousands_of_pipelined_blocked_requests_are_answered_or_forwarded) {
    policy({idx_flash});
    const std::string req = "GET /movie.swf HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    const std::size_t count = 20000;
    const std::size_t base = kit::live_bytes();
    kit::reset_peak();
    {
        kit::counting_provider p;
        zem::i_filt_point* fp = create_filt_point(&p, 7);
        kit::fnv sent;
        kit::feed_out(fp, "", req, req.size() * count, "", 16 << 10, &sent);
        fp->stop_out();
        fp->stop_in();
        fp->release();
        p.parsed.end();
        // Each request was either answered here with a canned reply, or
        // forwarded to the server: the server sees the last ones as they came.
        EXPECT_EQ(p.parsed.error, "");
        std::size_t answered = p.parsed.responses.size();
        for (const kit::seen_response& r : p.parsed.responses) ASSERT_TRUE(r.complete);
        ASSERT_LE(answered, count);
        EXPECT_GT(answered, 0u) << "the policy blocks every request";
        EXPECT_EQ(p.out, kit::hash_repeated(req, req.size() * (count - answered)))
            << answered << " answered, " << p.out.n << " bytes forwarded";
    }
    std::size_t peak = held_since(base);
    report("pipelined blocked requests", peak, k_queue_budget);
    EXPECT_LE(peak, k_queue_budget);
}

}  // namespace
