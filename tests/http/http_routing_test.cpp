// Response routing: content type to handler, content coding to decoder,
// charset classification and the encoding sniffer.
#include "kit/http.h"

using namespace kit;

namespace {

const std::string k_get = "GET /doc HTTP/1.1\r\nHost: pages.example\r\n\r\n";

std::string response(const std::string& headers, const std::string& body) {
    return "HTTP/1.1 200 OK\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string utf16le_text(std::size_t units) {
    std::string s;
    for (std::size_t i = 0; i < units; ++i) {
        s += static_cast<char>('a' + i % 26);
        s += '\0';
    }
    return s;
}

}  // namespace

TEST(http_routing, content_types_choose_their_handlers) {
    const std::string body(150, 'k');
    struct c {
        std::string type;
        int kind;
    } cases[] = {{"text/html", 0},       {"TEXT/HTML; charset=utf-8", 0},
                 {"text/javascript", 1}, {"image/gif", 2},
                 {"image/png", 3},       {"", 3}};
    for (const auto& k : cases) {
        session t;
        t.open();
        t.out(k_get);
        std::string headers = k.type.empty() ? "" : "Content-Type: " + k.type + "\r\n";
        t.in(response(headers, body));
        EXPECT_EQ(t.provider.in, response(headers, body)) << k.type;
        EXPECT_EQ(t.html->seen, k.kind == 0 ? body : "") << k.type;
        EXPECT_EQ(t.script->seen, k.kind == 1 ? body : "") << k.type;
        EXPECT_EQ(t.gif->seen, k.kind == 2 ? body : "") << k.type;
    }
}

TEST(http_routing, html_handlers_get_page_address_and_reset_per_response) {
    session t;
    t.open();
    t.out(k_get);
    t.in(response("Content-Type: text/html\r\n", std::string(120, 'a')));
    t.out("GET /two HTTP/1.1\r\nHost: pages.example\r\n\r\n");
    t.in(response("Content-Type: image/png\r\n", "png"));
    ASSERT_EQ(t.page_addresses.size(), 2u);
    EXPECT_EQ(t.page_addresses[0], "pages.example/doc");
    EXPECT_EQ(t.page_addresses[1], "pages.example/two");
    EXPECT_EQ(t.html_resets, 2);
}

TEST(http_routing, charset_names_are_classified) {
    struct c {
        std::string charset;
        int kind;
    } cases[] = {{"utf-7", 1}, {"UTF-8", 2}, {"utf-16", 3}, {"UTF-16LE", 3}, {"windows-1251", 4}};
    for (const auto& k : cases) {
        session t;
        t.open();
        t.out(k_get);
        t.in("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=" + k.charset + "\r\nContent-Length: 500\r\n\r\n");
        EXPECT_EQ(t.filter->current_reply().charset, k.charset);
        EXPECT_EQ(t.filter->current_reply().charset_kind, k.kind) << k.charset;
    }
    session t;
    t.open();
    t.out(k_get);
    t.in("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 500\r\n\r\n");
    EXPECT_EQ(t.filter->current_reply().charset_kind, 0);
}

TEST(http_routing, gzip_body_is_decoded_and_loses_its_encoding_line) {
    // The test coding sends every byte twice; the client gets it once, with
    // the decoded length and without Content-Encoding.
    std::string plain = std::string(130, 'h') + "x";
    std::string coded;
    for (char c : plain) coded += std::string(2, c);
    std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\nContent-Length: " +
                       std::to_string(coded.size()) + "\r\nVary: *\r\n\r\n" + coded;
    std::string want =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 130\r\nVary: *\r\n\r\n" + std::string(130, 'h');
    for (const auto& chunks : chunkings(resp)) {
        session t;
        t.html->drop = 'x';
        t.open();
        t.out(k_get);
        t.in(chunks);
        ASSERT_EQ(t.provider.in, want);
        ASSERT_EQ(t.adapters, "[gzip]");
    }
}

TEST(http_routing, deflate_is_chosen_by_the_first_word_found) {
    session t;
    t.open();
    t.out(k_get);
    t.in(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: x-deflate, gzip\r\nContent-Length: "
        "4\r\n\r\naabb");
    EXPECT_EQ(t.adapters, "[deflate]");
    EXPECT_EQ(t.provider.in, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\n\r\nab");
}

TEST(http_routing, identity_coding_keeps_its_line_and_is_not_decoded) {
    std::string resp =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: identity\r\nContent-Length: 4\r\n\r\naabb";
    session t;
    t.open();
    t.out(k_get);
    t.in(resp);
    EXPECT_EQ(t.adapters, "");
    EXPECT_EQ(t.provider.in, resp);
}

TEST(http_routing, decoder_stream_end_does_not_cut_the_framing_short) {
    // The coded stream ends ('!') before its announced length: the rest of
    // the body is the decoder's to drop, and the response is complete when
    // its framing says so, not before.
    std::string resp =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\nContent-Length: 2000\r\n\r\n" +
        std::string(1400, 'z') + "!";
    session t;
    t.open();
    t.out(k_get);
    t.in(resp);
    EXPECT_EQ(t.provider.in, "HTTP/1.1 200 OK\r\n");  // the status line passes at once
    t.in(std::string(599, 'q'));
    EXPECT_EQ(t.provider.in,
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 700\r\n\r\n" + std::string(700, 'z'));
    auto c = completions(t.host);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].status, 3u);
}

TEST(http_routing, utf16_little_endian_goes_to_the_wide_handler) {
    std::string bom_body = std::string("\xFF\xFE", 2) + utf16le_text(80);
    std::string plain_body = utf16le_text(80);
    for (const auto& body : {bom_body, plain_body}) {
        session t;
        t.open();
        t.out(k_get);
        t.in(response("Content-Type: text/html\r\n", body));
        EXPECT_EQ(t.wide->seen, body);
        EXPECT_EQ(t.html->seen, "");
        EXPECT_EQ(t.adapters, "");
    }
}

TEST(http_routing, utf16_big_endian_goes_through_the_swapper) {
    std::string body = std::string("\xFE\xFF", 2);
    for (int i = 0; i < 80; ++i) {
        body += '\0';
        body += static_cast<char>('a' + i % 26);
    }
    session t;
    t.open();
    t.out(k_get);
    t.in(response("Content-Type: text/html\r\n", body));
    EXPECT_EQ(t.adapters, "[swap]");
    EXPECT_EQ(t.wide->seen, body);  // the tagging adapter passes bytes as they are
    EXPECT_EQ(t.html->seen, "");
}

TEST(http_routing, utf7_runs_or_declared_utf7_choose_the_utf7_adapter) {
    std::string runs =
        "Hi +AGE- and +AGI- then plain text follows here to make the body long enough for a decision "
        "of the sniffer.";
    std::string plain(120, 'p');
    struct c {
        std::string charset;
        std::string body;
        std::string adapters;
    } cases[] = {{"", runs, "[utf7>utf8]"},
                 {"; charset=utf-7", plain, "[utf7>utf7]"},
                 {"; charset=utf-7", runs, "[utf7>utf7]"},
                 {"; charset=utf-8", plain, ""}};
    for (const auto& k : cases) {
        session t;
        t.open();
        t.out(k_get);
        t.in(response("Content-Type: text/html" + k.charset + "\r\n", k.body));
        EXPECT_EQ(t.adapters, k.adapters) << k.charset << " " << k.body.substr(0, 10);
        EXPECT_EQ(t.provider.in, response("Content-Type: text/html" + k.charset + "\r\n", k.body));
    }
}

TEST(http_routing, short_html_bodies) {
    // 21 bytes and more are decided at the flush; 20 or fewer pass as they are.
    session t;
    t.html->drop = 'x';
    t.open();
    t.out(k_get);
    std::string b20 = "xxxxxxxxxxaaaaaaaaaa";
    t.in(response("Content-Type: text/html\r\n", b20));
    EXPECT_EQ(t.provider.in, response("Content-Type: text/html\r\n", b20));
    EXPECT_EQ(t.html->seen, "");
    t.out(k_get);
    std::string b21 = "xxxxxxxxxxaaaaaaaaaaa";
    t.provider.in.clear();
    t.in(response("Content-Type: text/html\r\n", b21));
    EXPECT_EQ(t.provider.in, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 11\r\n\r\naaaaaaaaaaa");
}

TEST(http_routing, installed_filters_replace_the_defaults) {
    session t;
    t.open();
    auto mine = std::make_shared<recording_handler>();
    mine->drop = 'q';
    auto file = std::make_shared<recording_handler>();
    file->drop = 'z';
    EXPECT_TRUE(t.filter->assign_html_filter(mine));
    EXPECT_TRUE(t.filter->assign_file_filter(file));
    t.out(k_get);
    t.in(response("Content-Type: text/html\r\n", std::string(100, 'a') + "qq"));
    EXPECT_EQ(t.provider.in, response("Content-Type: text/html\r\n", std::string(100, 'a')));
    t.out(k_get);
    t.provider.in.clear();
    t.in(response("Content-Type: application/pdf\r\n", "zzpdf"));
    EXPECT_EQ(t.provider.in, response("Content-Type: application/pdf\r\n", "pdf"));
    EXPECT_EQ(t.html->seen, "");
}

TEST(http_routing, chunked_coded_body_is_decoded_and_rechunked) {
    std::string coded;
    for (char c : std::string(150, 'w')) coded += std::string(2, c);
    std::string resp =
        "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\nContent-Type: text/javascript\r\n"
        "Transfer-Encoding: chunked\r\n\r\n64\r\n" +
        coded.substr(0, 100) + "\r\nc8\r\n" + coded.substr(100) + "\r\n0\r\n\r\n";
    for (const auto& chunks : chunkings(resp)) {
        session t;
        t.open();
        t.out(k_get);
        t.in(chunks);
        // The sniffer holds the first 50 decoded bytes until it has 100.
        ASSERT_EQ(t.provider.in,
                  "HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\nTransfer-Encoding: chunked\r\n\r\n"
                  "96\r\n" +
                      std::string(150, 'w') + "\r\n0\r\n\r\n");
        ASSERT_EQ(t.script->seen, std::string(150, 'w'));
    }
}

TEST(http_routing, head_response_with_chunked_header_has_no_body) {
    session t;
    t.open();
    t.out("HEAD /x HTTP/1.1\r\nHost: h\r\n\r\nGET /y HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string r1 = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string r2 = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 2\r\n\r\nok";
    t.in(r1 + r2);
    EXPECT_EQ(t.provider.in, r1 + r2);
    EXPECT_EQ(completions(t.host).size(), 2u);
}
