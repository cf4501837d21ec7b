#include "demo_site.h"

#include <zlib.h>

#include "host_channel.h"

namespace zem_host {

namespace {

using asio::ip::tcp;

std::string response(const std::string& status, const std::string& type, const std::string& body,
                     const std::string& extra = std::string()) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n" + extra + "Connection: close\r\n\r\n" + body;
}

std::string page(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + title + "</title></head>\n<body>\n<h1>" +
           title + "</h1>\n" + body + "\n<p><a href=\"/\">back to the index</a></p>\n</body></html>\n";
}

// A visible 1x1 red GIF (browsers stretch it) for the photo and banners.
const std::string& red_gif() {
    static const std::string gif(
        "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\xff\xff\xff"
        "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00"
        "\x02\x02\x44\x01\x00\x3b",
        35);
    return gif;
}

}  // namespace

std::string gzip_bytes(const std::string& plain) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::string();
    std::string out(deflateBound(&z, static_cast<uLong>(plain.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : std::string();
}

std::string demo_site::respond(const std::string& method, const std::string& target_in) const {
    std::string target = target_in;
    const std::size_t q = target.find('?');
    if (q != std::string::npos) target.resize(q);
    if (method != "GET" && method != "HEAD")
        return response("405 Method Not Allowed", "text/plain", "only GET and HEAD\n", "Allow: GET, HEAD\r\n");
    const std::string ad_host = "http://ads.localhost:" + std::to_string(m_proxy_port);
    std::string r;
    if (target == "/") {
        r = response("200 OK", "text/html; charset=utf-8",
                     page("zem-host demo",
                          "<p>Compare this page fetched directly and through the filter.</p>\n"
                          "<ul>\n"
                          "<li><a href=\"/ads.html\">advertisement images and links</a></li>\n"
                          "<li><a href=\"/banners.html\">banner-sized images</a></li>\n"
                          "<li><a href=\"/popup.html\">pop-up scripts</a></li>\n"
                          "<li><a href=\"/frames.html\">a hidden frame</a></li>\n"
                          "<li><a href=\"/cookie.html\">a page that sets a cookie</a></li>\n"
                          "<li><a href=\"/gzip.html\">a gzip-encoded page</a></li>\n"
                          "<li><a href=\"/stopword.html\">a page with a stop word</a></li>\n"
                          "<li><a href=\"/files/sample.bin\">a 1 MB download</a></li>\n"
                          "<li><a href=\"" +
                              ad_host +
                              "/\">a page on a blocked host</a> (ads.localhost through the filter)</li>\n"
                              "</ul>\n"));
    } else if (target == "/ads.html") {
        r = response(
            "200 OK", "text/html; charset=utf-8",
            page("Advertisements",
                 "<p>An image whose address holds an advertisement keyword:</p>\n"
                 "<a href=\"http://adserver.example/click?id=1\"><img src=\"/ads/banner.gif\" alt=\"ad\"></a>\n"
                 "<p>An image from a blocked host:</p>\n<img src=\"" +
                     ad_host +
                     "/banner.gif\" alt=\"blocked host\">\n"
                     "<p>An ordinary image that stays:</p>\n<img src=\"/img/photo.gif\" alt=\"photo\">\n"));
    } else if (target == "/banners.html") {
        r = response("200 OK", "text/html; charset=utf-8",
                     page("Banner sizes",
                          "<p>A 468x60 image (a banner size):</p>\n"
                          "<img src=\"/img/wide.gif\" width=\"468\" height=\"60\" alt=\"banner\">\n"
                          "<p>A 728x90 image (a banner size):</p>\n"
                          "<img src=\"/img/leader.gif\" width=\"728\" height=\"90\" alt=\"leaderboard\">\n"
                          "<p>A 200x150 image (not a banner size):</p>\n"
                          "<img src=\"/img/photo.gif\" width=\"200\" height=\"150\" alt=\"photo\">\n"));
    } else if (target == "/popup.html") {
        r = response("200 OK", "text/html; charset=utf-8",
                     page("Pop-ups",
                          "<script type=\"text/javascript\">\nwindow.open(\"/ads.html\", \"ad\", "
                          "\"width=400,height=300\");\n</script>\n"
                          "<p onclick=\"window.open('/ads.html')\">Click here for a pop-up.</p>\n"
                          "<p>The script above opens a pop-up window when the page loads.</p>\n"));
    } else if (target == "/frames.html") {
        r = response("200 OK", "text/html; charset=utf-8",
                     "<!DOCTYPE html>\n<html><head><title>Hidden frame</title></head>\n"
                     "<frameset rows=\"100%,0\">\n<frame src=\"/\">\n<frame src=\"/ads.html\">\n</frameset>\n"
                     "</html>\n");
    } else if (target == "/cookie.html") {
        r = response("200 OK", "text/html; charset=utf-8",
                     page("Cookie", "<p>This response sets the cookie <code>demo_id=12345</code>.</p>\n"),
                     "Set-Cookie: demo_id=12345; Path=/\r\n");
    } else if (target == "/gzip.html") {
        static const std::string encoded = [] {
            std::string body;
            for (int k = 0; k < 40; ++k)
                body += "<p>Line " + std::to_string(k) + " of a gzip-encoded page. <img src=\"/ads/line" +
                        std::to_string(k) + ".gif\"></p>\n";
            return gzip_bytes(page("gzip-encoded page", body));
        }();
        r = response("200 OK", "text/html; charset=utf-8", encoded, "Content-Encoding: gzip\r\n");
    } else if (target == "/stopword.html") {
        r = response("200 OK", "text/html; charset=utf-8",
                     page("Stop word", "<p>This page holds the forbidden-demo-word, so it is cut.</p>\n"));
    } else if (target == "/files/sample.bin") {
        // 1 MB of pseudo-random bytes: a download for throughput measurements.
        static const std::string sample = [] {
            std::string s(1024 * 1024, '\0');
            std::uint32_t x = 12345;
            for (char& c : s) {
                x = x * 1664525u + 1013904223u;
                c = static_cast<char>(x >> 24);
            }
            return s;
        }();
        r = response("200 OK", "application/octet-stream", sample);
    } else if (target.size() > 4 && target.compare(target.size() - 4, 4, ".gif") == 0) {
        r = response("200 OK", "image/gif", red_gif(), "Cache-Control: no-cache\r\n");
    } else {
        r = response("404 Not Found", "text/html; charset=utf-8", page("Not found", "<p>No such page.</p>\n"));
    }
    if (method == "HEAD") r.resize(r.find("\r\n\r\n") + 4);
    return r;
}

demo_site::demo_site(asio::io_context& io)
    : m_listener(io, [this](tcp::socket s) {
          serve_one_request(std::move(s), [this](const std::string& method, const std::string& target,
                                                 const std::string&) { return respond(method, target); });
      }) {}

bool demo_site::start(const std::string& host, std::uint16_t port, std::string& error) {
    return m_listener.start(host, port, "the demo site", error);
}

}  // namespace zem_host
