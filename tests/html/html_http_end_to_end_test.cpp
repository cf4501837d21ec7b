// Whole pages through a filter point that carries the HTTP filter with the
// HTML and script handlers plugged into its content slots, as the engine
// wires them: the body is filtered and its length announced correctly.
#include <gtest/gtest.h>

#include <memory>

#include "core/bunch_filter.h"
#include "http/http_stream_filter.h"
#include "kit/html.h"

using namespace kit;

namespace {

http_handler_hooks html_hooks(std::shared_ptr<kit::test_qualifier> q) {
    http_handler_hooks h = default_http_handler_hooks();
    h.html = [](host_permission_qualifier* qualifier, i_connection_feedback* feedback) {
        auto p = std::make_shared<html::narrow_html_sub_handler>(qualifier, feedback);
        html::narrow_html_sub_handler* raw = p.get();
        return http_content_slot{p, [raw] { raw->reset(); },
                                 [raw](const byte_string& a) { raw->set_document_address(a); }};
    };
    h.wide_html = [](host_permission_qualifier* qualifier, i_connection_feedback* feedback) {
        auto p = std::make_shared<html::wide_html_sub_handler>(qualifier, feedback);
        html::wide_html_sub_handler* raw = p.get();
        return http_content_slot{p, [raw] { raw->reset(); },
                                 [raw](const byte_string& a) { raw->set_document_address(a); }};
    };
    h.script = [](host_permission_qualifier* qualifier, i_connection_feedback* feedback) {
        return http_content_slot{std::make_shared<html::java_parser_sub_handler>(qualifier, feedback), {}, {}};
    };
    h.qualifier = [q](i_connection_feedback*) { return std::shared_ptr<host_permission_qualifier>(q); };
    return h;
}

struct point_session {
    kit::capturing_provider provider;
    host_scope hs;
    std::shared_ptr<kit::test_qualifier> q = std::make_shared<kit::test_qualifier>();
    std::unique_ptr<bunch_filter> point;

    void open() {
        point = std::make_unique<bunch_filter>(&provider, 7, [this](i_connection_feedback* fb, filter_chain& chain) {
            chain.push_back(std::make_shared<http_stream_filter>(fb, html_hooks(q)));
        });
    }
    void out(const std::string& s) { point->update_out(s.data(), static_cast<int>(s.size())); }
    void in(const std::string& s) { point->update_in(s.data(), static_cast<int>(s.size())); }
};

// Splits what reached the client into header and body, and checks that the
// announced length is the body's.
std::string body_of(const std::string& response) {
    const std::size_t end = response.find("\r\n\r\n");
    EXPECT_NE(end, std::string::npos);
    if (end == std::string::npos) return std::string();
    const std::string header = response.substr(0, end + 2);
    const std::string body = response.substr(end + 4);
    const std::size_t cl = header.find("Content-Length: ");
    EXPECT_NE(cl, std::string::npos) << header;
    if (cl != std::string::npos) {
        const std::size_t value_end = header.find("\r\n", cl);
        EXPECT_EQ(header.substr(cl + 16, value_end - cl - 16), std::to_string(body.size())) << header;
    }
    return body;
}

}  // namespace

TEST(html_end_to_end, an_html_response_is_filtered_and_its_length_follows) {
    const std::string page = read_data("portal.html");
    const std::string expected = read_data("portal.ads_blocked.html");
    for (std::size_t chunk : {std::size_t(100000), std::size_t(1460), std::size_t(7)}) {
        point_session s;
        s.q->block(idx_ads_by_link);
        s.q->block(idx_ads_by_size);
        s.q->block(idx_popups);
        s.q->block(idx_load_unload_script);
        s.q->ad_words = {"adserver.test", "/banners/"};
        s.q->ad_sizes = {{468, 60}, {728, 90}};
        s.q->host = "www.portal.test";
        s.open();
        s.out("GET /index.html HTTP/1.1\r\nHost: www.portal.test\r\n\r\n");
        const std::string response =
            "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
            "\r\n\r\n" + page;
        for (std::size_t at = 0; at < response.size(); at += chunk) s.in(response.substr(at, chunk));
        EXPECT_EQ(body_of(s.provider.in), expected) << "chunk " << chunk;
        // Three images, two pop-up calls, the load handlers of the body.
        EXPECT_EQ(blocked_notes(s.hs.host).size(), 6u);
    }
}

TEST(html_end_to_end, a_script_response_goes_through_the_script_handler) {
    point_session s;
    s.q->block(idx_popups);
    s.open();
    s.out("GET /app.js HTTP/1.1\r\nHost: www.site.test\r\n\r\n");
    const std::string script = "function f(){ var w = window.open('/x'); }\n";
    s.in("HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\nContent-Length: " + std::to_string(script.size()) +
         "\r\n\r\n" + script);
    EXPECT_EQ(body_of(s.provider.in), "function f(){ var w = new Object( ); }\n");
}
