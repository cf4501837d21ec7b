// Compressed and GIF responses through a whole filter point, as a client
// receives them: byte-exact headers, decoded bodies, corrected framing.
#include <gtest/gtest.h>

#include "core/configuration.h"
#include "http/content_encoding_gzip.h"
#include "kit/decoders.h"
#include "kit/hosted_test.h"
#include "kit/http_invariants.h"
#include "kit/kit.h"
#include "platform/codepage.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

const std::string request = "GET /files/data.txt HTTP/1.1\r\nHost: www.example.com\r\n\r\n";

// Decoded size of the bomb: well past the bound on a held body.
std::size_t decoded_size_for_bomb() { return decoded_body_bound + (std::size_t(8) << 20); }

struct web_path : kit::http_engine_test<> {
    // The permission array reply: 22 actions, then an empty text reference.
    void deny(std::initializer_list<int> indexes) {
        host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply(indexes));
    }
    // Sends the request, then the response in the given pieces; returns what
    // the client received. 'close' ends the server direction afterwards.
    std::string exchange(const std::string& req, const std::vector<std::string>& response, bool close) {
        kit::capturing_provider p;
        zem::i_filt_point* fp = create_filt_point(&p, 1);
        EXPECT_NE(fp, nullptr);
        fp->update_out(req.data(), static_cast<int>(req.size()));
        EXPECT_EQ(p.out, req);
        for (const std::string& c : response) fp->update_in(c.data(), static_cast<int>(c.size()));
        if (close) fp->stop_in();
        fp->release();
        return p.in;
    }
};

TEST_F(web_path, gzip_body_arrives_decoded_with_its_length_at_every_split) {
    const std::string page = kit::sample_page(2000);
    const std::string z = kit::compress(page, kit::zwrap::gzip);
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n"
        "Content-Length: " +
        std::to_string(z.size()) + "\r\nX-Tail: 1\r\n\r\n" + z;
    const std::string expect =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(page.size()) +
        "\r\nX-Tail: 1\r\n\r\n" + page;
    for (std::size_t at = 0; at <= response.size(); at += 3) {
        ASSERT_EQ(exchange(request, kit::split_at(response, at), false), expect) << "split " << at;
    }
    EXPECT_EQ(exchange(request, kit::one_byte_chunks(response), false), expect);
}

TEST_F(web_path, deflate_without_zlib_header_is_decoded_too) {
    const std::string page = kit::sample_page(3000);
    const std::string z = kit::compress(page, kit::zwrap::raw);
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nContent-Length: " + std::to_string(z.size()) + "\r\n\r\n" + z;
    const std::string expect = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page;
    EXPECT_EQ(exchange(request, kit::random_chunks(response, kit::test_seed(), 400), false), expect);
}

TEST_F(web_path, an_empty_page_sent_as_raw_deflate_arrives_empty) {
    const std::string z = kit::compress("", kit::zwrap::raw);
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: deflate\r\nContent-Length: " +
        std::to_string(z.size()) + "\r\n\r\n" + z;
    const std::string expect = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(exchange(request, kit::one_byte_chunks(response), false), expect);
    EXPECT_EQ(exchange(request, {response}, false), expect);
}

TEST_F(web_path, bytes_after_the_end_of_the_compressed_stream_are_dropped_within_the_body) {
    // More than the 1200 bytes the filter waits for before it hands a piece on.
    const std::string page = kit::sample_page(8000);
    const std::string z = kit::compress(page, kit::zwrap::gzip);
    ASSERT_GT(z.size(), 1200u);
    // The body runs past the end of the compressed stream; its framing, not
    // the decoder, says where the next response starts.
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(z.size() + 5000) + "\r\n\r\n" +
        z + std::string(5000, 'j');
    const std::string expect = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page;
    EXPECT_EQ(exchange(request, {response}, false), expect);
}

TEST_F(web_path, chunked_gzip_is_rechunked_decoded) {
    const std::string page = kit::sample_page(9000);
    const std::string z = kit::compress(page, kit::zwrap::gzip);
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + kit::chunked(z, 1000);
    std::string got = exchange(request, kit::random_chunks(response, kit::test_seed(), 700), false);
    std::vector<kit::http_message> msgs;
    ASSERT_EQ(kit::parse_responses(got, msgs), "");
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].framing, kit::http_message::chunked);
    EXPECT_EQ(kit::header_value(msgs[0], "Content-Encoding"), "");
    EXPECT_EQ(msgs[0].body, page);
}

TEST_F(web_path, plain_text_labelled_gzip_arrives_unchanged) {
    const std::string body = "just text, never compressed\n";
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
        body;
    const std::string expect = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (std::size_t at = 0; at <= response.size(); ++at)
        ASSERT_EQ(exchange(request, kit::split_at(response, at), false), expect) << "split " << at;
}

TEST_F(web_path, a_bomb_arrives_whole_and_validly_framed) {
    const std::size_t n = decoded_size_for_bomb();
    const std::string z = kit::compress(std::string(n, 'A'), kit::zwrap::gzip, 9);
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(z.size()) + "\r\n\r\n" + z;
    std::string got = exchange(request, kit::random_chunks(response, kit::test_seed(), 8192), false);
    std::vector<kit::http_message> msgs;
    ASSERT_EQ(kit::parse_responses(got, msgs, {}, false), "");
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(kit::header_value(msgs[0], "Content-Encoding"), "");
    ASSERT_EQ(msgs[0].body.size(), n);
    EXPECT_EQ(msgs[0].body.find_first_not_of('A'), std::string::npos);
}

const std::string html_request = "GET /index.html HTTP/1.1\r\nHost: www.example.com\r\n\r\n";

std::string html_response(const std::string& type, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string utf16(const std::string& ascii, bool big_endian) {
    std::string s;
    for (char c : ascii) {
        if (big_endian) s += '\0';
        s += c;
        if (!big_endian) s += '\0';
    }
    return s;
}

const std::string plain_page =
    "<html><head><title>Wide page</title></head><body><p>Nothing here is filtered at all, "
    "it is only text and paragraphs.</p><p>Second paragraph of the page.</p></body></html>";

TEST_F(web_path, utf16_pages_in_either_byte_order_arrive_unchanged) {
    const std::string le = std::string("\xFF\xFE", 2) + utf16(plain_page, false);
    const std::string be = std::string("\xFE\xFF", 2) + utf16(plain_page, true);
    for (const std::string* body : {&le, &be}) {
        const std::string response = html_response("text/html", *body);
        for (std::size_t at = 0; at <= response.size(); at += 7)
            ASSERT_EQ(exchange(html_request, kit::split_at(response, at), false), response) << "split " << at;
        EXPECT_EQ(exchange(html_request, kit::one_byte_chunks(response), false), response);
    }
}

TEST_F(web_path, a_page_with_utf7_runs_is_sent_as_utf8) {
    // Two runs of three letters mark UTF-7 ("+ADw-" is "<").
    const std::string body =
        "<html><body><p>+ADw-b+AD4-bold+ADw-/b+AD4- and +ZeVnLIqe- in a page long enough to "
        "be looked at by the sniffer before it decides.</p></body></html>";
    const std::string expect_body =
        "<html><body><p><b>bold</b> and \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E in a "
        "page long enough to be looked at by the sniffer before it decides.</p></body></html>";
    const std::string response = html_response("text/html", body);
    const std::string expect = html_response("text/html", expect_body);
    for (std::size_t at = 0; at <= response.size(); at += 5)
        ASSERT_EQ(exchange(html_request, kit::split_at(response, at), false), expect) << "split " << at;
}

TEST_F(web_path, a_page_declared_utf7_goes_back_as_utf7) {
    const std::string body =
        "<html><body><p>Caf+AOk- with no second run, and long enough to be looked at by "
        "the sniffer before it decides.</p></body></html>";
    std::wstring text;
    ASSERT_TRUE(platform::multibyte_to_wide(platform::cp_utf7, body, text));
    std::string expect_body;
    ASSERT_TRUE(platform::wide_to_multibyte(platform::cp_utf7, text, expect_body));
    const std::string response = html_response("text/html; charset=utf-7", body);
    std::string got = exchange(html_request, kit::random_chunks(response, kit::test_seed(), 40), false);
    EXPECT_EQ(got, html_response("text/html; charset=utf-7", expect_body));
}

const std::string gif_head = "GIF89a" + kit::bytes({0x04, 0x00, 0x04, 0x00, 0x80, 0x00, 0x00, 0, 0, 0, 255, 255, 255});
const std::string gif_frame = kit::bytes(
    {0x21, 0xF9, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x2C, 0, 0, 0, 0, 4, 0, 4, 0, 0, 0x02, 0x03, 0x84, 0x8F, 0x01});
const std::string gif_anim = gif_head + gif_frame + kit::bytes({0x00}) + gif_frame + kit::bytes({0x00, 0x3B});
const std::string gif_cut = gif_head + gif_frame + kit::bytes({0x00, 0x3B});

TEST_F(web_path, animated_gif_is_cut_with_a_corrected_length) {
    deny({7});
    const std::string gif_request = "GET /img/anim.gif HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: " + std::to_string(gif_anim.size()) +
        "\r\n\r\n" + gif_anim;
    const std::string expect =
        "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: " + std::to_string(gif_cut.size()) + "\r\n\r\n" +
        gif_cut;
    for (std::size_t at = 0; at <= response.size(); ++at) {
        host.clear_records();
        ASSERT_EQ(exchange(gif_request, kit::split_at(response, at), false), expect) << "split " << at;
        ASSERT_EQ(host.notification_count(zem::codes::general_notify_object_blocked), 1u);
    }
}

TEST_F(web_path, animated_gif_passes_whole_when_tail_frames_are_allowed) {
    deny({});
    const std::string gif_request = "GET /img/anim.gif HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: " + std::to_string(gif_anim.size()) +
        "\r\n\r\n" + gif_anim;
    EXPECT_EQ(exchange(gif_request, kit::one_byte_chunks(response), false), response);
    EXPECT_EQ(host.notification_count(zem::codes::general_notify_object_blocked), 0u);
}

}  // namespace
