// Request edits and blocks: Cookie and Referer lines, blocked hosts, Flash
// and advertisement links, and the canned replies the client receives.
#include <cstdlib>

#include "kit/http.h"

using namespace kit;

namespace {

const std::string k_gif_hex(
    "\x47\x49\x46\x38\x39\x61\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xFF\xFF\xFF\x21\xF9\x04\x01\x00\x00\x01\x00\x2C"
    "\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x01\x4C\x00\x3B",
    42);
const std::string k_swf_hex = std::string(
    "\x46\x57\x53\x07\x19\x00\x00\x00\x30\x0A\x00\xA0\x00\x0C\x01\x00\x43\x02\xFF\xFF\xFF\x40\x00\x00\x00", 25);

std::string gif_reply() {
    return "HTTP/1.0 200 "
           "OK\r\nContent-length:42\r\nContent-type:image/gif\r\nConnection:close\r\nPragma:no-cache\r\n\r\n" +
           std::string(k_gif_hex.data(), 42);
}
std::string swf_reply() {
    return "HTTP/1.0 200 OK\r\nContent-length:25\r\nContent-type:application/x-shockwave-flash\r\nConnection:close\r\n"
           "Pragma:no-cache\r\n\r\n" +
           k_swf_hex;
}
const std::string k_js_reply =
    "HTTP/1.0 200 OK\r\nContent-length:2\r\nContent-type:application/x-javascript\r\nConnection:close\r\n"
    "Pragma:no-cache\r\n\r\n\r\n";

// A text reply of the host: offset and length of a NUL-terminated text.
std::string text_reply(const std::string& text) {
    return kit::le64_bytes(16) + kit::le64_bytes(text.size()) + text + std::string(1, '\0');
}

std::string get(const std::string& uri) { return "GET " + uri + " HTTP/1.1\r\nHost: ads.example\r\n\r\n"; }

// The wide text, index and keyword of every object-blocked notification.
struct blocked {
    std::uint32_t index;
    std::string text_utf16;
    std::uint64_t count;
};
std::vector<blocked> blocks(const kit::fake_host& host) {
    std::vector<blocked> r;
    for (auto& n : host.notifications(202)) {
        blocked b;
        b.count = kit::le64(n.data, 36);
        b.index = kit::le32(n.data, 44);
        r.push_back(b);
    }
    return r;
}

}  // namespace

TEST(http_policy, canned_objects_have_their_exact_sizes) {
    EXPECT_EQ(gif_reply().size(), 139u);
    EXPECT_EQ(swf_reply().size(), 142u);
    EXPECT_EQ(k_js_reply.size(), 113u);
    EXPECT_EQ(http_canned::gif_replacement(), gif_reply());
    EXPECT_EQ(http_canned::flash_replacement(), swf_reply());
    EXPECT_EQ(http_canned::script_replacement(), k_js_reply);
}

TEST(http_policy, denied_cookie_and_referer_lines_are_cut_and_reported) {
    const std::string req =
        "GET /p HTTP/1.1\r\nHost: site.example\r\nCookie: id=42; s=x\r\nAccept: */*\r\n"
        "Referer: http://other.example/\r\nX-Tail: 1\r\n\r\n";
    for (const auto& chunks : chunkings(req)) {
        session t;
        t.qual->block(idx_cookies);
        t.qual->block(idx_referers);
        t.open();
        t.out("GET / HTTP/1.0\r\n\r\n");
        t.in("HTTP/1.0 204 No Content\r\n\r\n");
        t.host.clear_records();
        t.out(chunks);
        ASSERT_EQ(t.provider.out,
                  "GET / HTTP/1.0\r\n\r\nGET /p HTTP/1.1\r\nHost: site.example\r\nAccept: */*\r\nX-Tail: 1\r\n\r\n");
        auto b = blocks(t.host);
        ASSERT_EQ(b.size(), 2u);
        EXPECT_EQ(b[0].index, 0u);
        EXPECT_EQ(b[0].count, std::string("id=42; s=x").size());
        EXPECT_EQ(b[1].index, 3u);
        EXPECT_EQ(b[1].count, std::string("http://other.example/").size());
        // The cookie's value travels as UTF-16 in the notification.
        EXPECT_NE(t.host.notifications(202)[0].data.find(kit::utf16le("id=42; s=x")), std::string::npos);
    }
}

TEST(http_policy, allowed_cookie_stays) {
    session t;
    t.open();
    const std::string req = "GET /p HTTP/1.1\r\nHost: h\r\nCookie: a=b\r\n\r\n";
    t.out(req);
    EXPECT_EQ(t.provider.out, req);
    EXPECT_EQ(t.host.notification_count(202), 0u);
}

TEST(http_policy, denied_host_gets_block_page_with_host_text) {
    session t;
    t.qual->block(idx_host_enable);
    const std::string page = "<html>Blocked by policy</html>";
    t.host.set_reply(zem::codes::http_query_block_message_html, text_reply(page));
    t.open();
    t.out("GET /x HTTP/1.1\r\nHost: bad.example\r\n\r\n");
    EXPECT_EQ(t.provider.out, "");
    EXPECT_EQ(t.provider.in,
              "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: 30\r\n\r\n"
              "<html>Blocked by policy</html>");
    // The reply came in a fake pass, and the connection is to be closed.
    EXPECT_GE(t.provider.close_in_count, 1);
    auto b = blocks(t.host);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].index, 14u);
    auto c = completions(t.host);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].status, 2u);
    EXPECT_EQ(c[0].bytes, t.provider.in.size());
}

TEST(http_policy, failed_block_page_command_gives_empty_page) {
    session t;
    t.qual->block(idx_host_enable);
    t.host.set_reply(zem::codes::http_query_block_message_html, "", 5);
    t.open();
    t.out("GET /x HTTP/1.1\r\nHost: bad.example\r\n\r\n");
    EXPECT_EQ(t.provider.in,
              "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
}

TEST(http_policy, denied_host_with_redirect_address_gets_302) {
    session t;
    t.qual->block(idx_host_enable);
    t.qual->redirect = "http://safe.example/";
    t.open();
    t.out("GET /x HTTP/1.1\r\nHost: bad.example\r\n\r\n");
    const std::string body =
        "<HTML><HEAD><meta http-equiv=\"content-type\" content=\"text/html;charset=utf-8\">\r\n"
        "<TITLE>302 Moved</TITLE></HEAD><BODY>\r\n<H1>302 Moved</H1>\r\nThe document has moved\r\n"
        "<A HREF=\"http://safe.example/\">here</A>.</BODY></HTML>\r\n";
    ASSERT_EQ(body.size(), 219u);
    EXPECT_EQ(t.provider.in,
              "HTTP/1.1 302 Found\r\nLocation: http://safe.example/\r\nCache-Control: private\r\n"
              "Content-Type: text/html; charset=UTF-8\r\nContent-Length: 219\r\n\r\n" +
                  body);
}

TEST(http_policy, flash_extension_rules) {
    struct c {
        std::string uri;
        bool blocked;
    } cases[] = {{"/movie.SWF?x=1", true},   {"/movie.swf#top", true}, {"/swf", false},
                 {"/movie.swf.html", false}, {"/a.b/c", false},        {"/dir.swf/file?q=.swf", false}};
    for (const auto& k : cases) {
        session t;
        t.qual->block(idx_flash);
        t.open();
        t.out(get(k.uri));
        if (k.blocked) {
            EXPECT_EQ(t.provider.out, "") << k.uri;
            EXPECT_EQ(t.provider.in, swf_reply()) << k.uri;
            auto b = blocks(t.host);
            ASSERT_EQ(b.size(), 1u);
            EXPECT_EQ(b[0].index, 4u);
        } else {
            EXPECT_EQ(t.provider.out, get(k.uri)) << k.uri;
            EXPECT_EQ(t.provider.in, "") << k.uri;
        }
    }
}

TEST(http_policy, advertisement_links_get_replacements_by_extension) {
    struct c {
        std::string uri;
        std::string reply;
    } cases[] = {{"/b/banner.JPG", gif_reply()}, {"/t.png", gif_reply()}, {"/ad.js?v=2", k_js_reply},
                 {"/x.swf", swf_reply()},        {"/page.html", ""},      {"/noext", ""}};
    for (const auto& k : cases) {
        session t;
        t.qual->block(idx_ads_by_link);
        t.qual->every_link_is_ad = true;
        t.open();
        t.out(get(k.uri));
        EXPECT_EQ(t.provider.in, k.reply) << k.uri;
        EXPECT_EQ(t.provider.out, k.reply.empty() ? get(k.uri) : "") << k.uri;
        if (!k.reply.empty()) {
            auto b = blocks(t.host);
            ASSERT_EQ(b.size(), 1u);
            EXPECT_EQ(b[0].index, 15u);
            EXPECT_NE(t.host.notifications(202)[0].data.find("banner"), std::string::npos);
            ASSERT_FALSE(t.qual->ad_checks.empty());
            EXPECT_EQ(t.qual->ad_checks.back(), "ads.example" + k.uri);
        }
    }
}

TEST(http_policy, links_that_are_not_advertisements_pass) {
    session t;
    t.qual->block(idx_ads_by_link);
    t.qual->every_link_is_ad = false;
    t.open();
    t.out(get("/photo.jpg"));
    EXPECT_EQ(t.provider.out, get("/photo.jpg"));
    EXPECT_EQ(t.provider.in, "");
}

TEST(http_policy, blocked_request_behind_a_pending_response_is_answered_right_after_it) {
    const std::string body(2000, 'p');
    const std::string resp = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 2000\r\n\r\n" + body;
    for (const auto& chunks : chunkings(resp, false)) {
        session t;
        t.qual->block(idx_flash);
        t.open();
        t.out(get("/page.html") + get("/movie.swf") + get("/after.html"));
        // The blocked one is not sent; the one behind it is.
        ASSERT_EQ(t.provider.out, get("/page.html") + get("/after.html"));
        ASSERT_EQ(t.provider.in, "");
        t.in(chunks);
        // The canned reply follows the first response at once, in order.
        ASSERT_EQ(t.provider.in, resp + swf_reply());
        auto c = completions(t.host);
        ASSERT_EQ(c.size(), 2u);
        EXPECT_EQ(c[0].status, 1u);
        EXPECT_EQ(c[1].status, 2u);
        EXPECT_EQ(c[1].bytes, 142u);
    }
}

TEST(http_policy, blocked_request_body_is_not_sent) {
    session t;
    t.qual->block(idx_host_enable);
    t.open();
    t.out("POST /f HTTP/1.1\r\nHost: bad\r\nContent-Length: 10\r\n\r\n01234");
    t.out("56789");
    EXPECT_EQ(t.provider.out, "");
    EXPECT_EQ(t.provider.in.substr(0, 26), "HTTP/1.1 502 Bad Gateway\r\n");
}

TEST(http_policy, request_and_response_notifications_carry_their_fields) {
    session t;
    t.open();
    t.out("GET /q?a=1 HTTP/1.1\r\nHost:  w.example \r\n\r\n");
    auto reqs = t.host.notifications(200);
    ASSERT_EQ(reqs.size(), 1u);
    std::uint64_t id = kit::le64(reqs[0].data, 28);
    EXPECT_EQ(id, t.qual->requests.at(0).second);
    EXPECT_EQ(kit::le32(reqs[0].data, 36), 2u);  // HTTP/1.1
    EXPECT_NE(reqs[0].data.find(kit::utf16le("w.example")), std::string::npos);
    EXPECT_NE(reqs[0].data.find(kit::utf16le("/q?a=1")), std::string::npos);
    t.in(
        "HTTP/1.0 404 Not Found\r\nContent-Type: image/png\r\nContent-Length: 3\r\nContent-Encoding: "
        "identity\r\n\r\nabc");
    auto resps = t.host.notifications(201);
    ASSERT_EQ(resps.size(), 1u);
    EXPECT_EQ(kit::le64(resps[0].data, 28), id);
    EXPECT_EQ(kit::le32(resps[0].data, 36), 1u);  // HTTP/1.0
    EXPECT_EQ(kit::le64(resps[0].data, 56), 3u);
    EXPECT_EQ(static_cast<std::int64_t>(kit::le64(resps[0].data, 64)), 404);
    auto c = completions(t.host);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].id, id);
}

TEST(http_policy, stop_reports_pending_transfers) {
    session t;
    t.open();
    t.out(get("/a") + get("/b"));
    t.point->stop_in();
    auto c = completions(t.host);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_EQ(c[0].id, t.qual->requests[0].second);
    EXPECT_EQ(c[1].id, t.qual->requests[1].second);
    EXPECT_EQ(c[2].id, 0u);
    for (auto& x : c) EXPECT_EQ(x.status, 0u);
    t.point->stop_out();
    EXPECT_EQ(completions(t.host).size(), 3u);
}

TEST(http_policy, canned_reply_never_lands_inside_a_response_in_transfer) {
    // The first response's body is being held when the blocked request
    // completes: its fake pass must not put the reply into that response.
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 3000\r\n\r\n";
    const std::string body(3000, 'h');
    session t;
    t.qual->block(idx_flash);
    t.open();
    t.out(get("/page.html"));
    t.in(head + body.substr(0, 1500));
    EXPECT_EQ(t.provider.in, "HTTP/1.1 200 OK\r\n");
    t.out(get("/anim.swf"));
    EXPECT_EQ(t.provider.out, get("/page.html"));
    EXPECT_EQ(t.provider.in, "HTTP/1.1 200 OK\r\n");
    t.in(body.substr(1500));
    EXPECT_EQ(t.provider.in, head + body + swf_reply());
}

// The process-wide request sequence starts at 1, so that id 0 keeps meaning
// "no request" (as in the extra completion at the end of a connection with
// several pending requests): the first request of a fresh process is
// announced with id 1, the next with 2.
TEST(http_policy, the_first_request_of_a_process_has_id_one) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process
    EXPECT_EXIT(
        {
            session t;
            t.open();
            t.out("GET /a HTTP/1.1\r\nHost: one\r\n\r\nGET /b HTTP/1.1\r\nHost: one\r\n\r\n");
            auto reqs = t.host.notifications(200);
            const bool ok = reqs.size() == 2 && kit::le64(reqs[0].data, 28) == 1 && kit::le64(reqs[1].data, 28) == 2 &&
                            t.qual->requests.at(0).second == 1;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
