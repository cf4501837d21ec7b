#include "http/http_message.h"

#include <algorithm>
#include <boost/regex.hpp>
#include <climits>
#include <cstring>

#include "core/ascii.h"
#include "log/log.h"

namespace {

const char* const k_source = "PLUGIN/HTTP/http";

bool is_word(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

enum known_field {
    f_connection,
    f_referer,
    f_content_length,
    f_content_type,
    f_transfer_encoding,
    f_content_encoding,
    f_host,
    f_cookie,
    f_upgrade,
    f_other
};

known_field classify(const char* name, std::size_t n) {
    static const char* const names[] = {
        "Connection",       "Referer", "Content-Length", "Content-Type", "Transfer-Encoding",
        "Content-Encoding", "Host",    "Cookie",         "Upgrade"};
    for (int i = 0; i < 9; ++i)
        if (ascii_iequal(name, n, names[i])) return static_cast<known_field>(i);
    return f_other;
}

}  // namespace

namespace http_msg {

byte_string trim(const byte_string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return s.substr(b, e - b);
}

bool has_token(const byte_string& value, const char* token) {
    std::size_t at = 0;
    while (at <= value.size()) {
        std::size_t comma = value.find(',', at);
        if (comma == byte_string::npos) comma = value.size();
        if (ascii_iequal(trim(value.substr(at, comma - at)), token)) return true;
        at = comma + 1;
    }
    return false;
}

void parse_cached_header(const char* p, std::size_t length, http_header_info& out) {
    out.clear();
    std::size_t line = 0;
    while (line < length) {
        // The physical line [line, nl]; a header line needs a line end that
        // is followed by one more byte (the next line or the blank line).
        const void* f = std::memchr(p + line, '\n', length - line);
        if (!f) break;
        std::size_t nl = static_cast<std::size_t>(static_cast<const char*>(f) - p);
        // Folded continuations belong to this line.
        std::size_t last_nl = nl;
        while (last_nl + 1 < length && (p[last_nl + 1] == ' ' || p[last_nl + 1] == '\t')) {
            const void* g = std::memchr(p + last_nl + 1, '\n', length - last_nl - 1);
            if (!g) {
                last_nl = length;
                break;
            }
            last_nl = static_cast<std::size_t>(static_cast<const char*>(g) - p);
        }
        if (last_nl >= length || last_nl + 1 >= length) break;  // no byte after the line end
        // The first colon of the first physical line with a name before it.
        std::size_t name_b = 0, name_e = 0, colon = 0;
        bool found = false;
        for (std::size_t c = line; c < nl && !found; ++c) {
            if (p[c] != ':') continue;
            std::size_t e = c;
            if (e > line && p[e - 1] == ' ') --e;
            std::size_t b = e;
            while (b > line && (is_word(static_cast<unsigned char>(p[b - 1])) || p[b - 1] == '-')) --b;
            if (b < e) {
                name_b = b;
                name_e = e;
                colon = c;
                found = true;
            }
        }
        std::size_t next = last_nl + 1;
        if (found) {
            std::size_t vb = colon + 1;
            if (vb < last_nl && p[vb] == ' ') ++vb;
            std::size_t ve = last_nl;
            if (ve > vb && p[ve - 1] == '\r') --ve;
            if (ve < vb) ve = vb;
            byte_string value(p + vb, ve - vb);
            http_header_span span{line, next};
            switch (classify(p + name_b, name_e - name_b)) {
                case f_connection:
                    out.connection = value;
                    out.connection_span = span;
                    break;
                case f_referer:
                    out.referer = value;
                    out.referer_span = span;
                    break;
                case f_content_length:
                    if (out.content_length_values.empty()) out.content_length_span = span;
                    out.content_length = value;
                    out.content_length_values.push_back(value);
                    out.content_length_spans.push_back(span);
                    break;
                case f_content_type:
                    out.content_type = value;
                    break;
                case f_transfer_encoding:
                    // A list header: several lines read as one list.
                    if (!out.transfer_encoding.empty()) out.transfer_encoding += ", ";
                    out.transfer_encoding += value;
                    break;
                case f_content_encoding:
                    out.content_encoding = value;
                    out.content_encoding_span = span;
                    break;
                case f_host:
                    out.host = trim(value);
                    break;
                case f_cookie:
                    out.cookie = value;
                    out.cookie_span = span;
                    out.cookie_spans.push_back(span);
                    break;
                case f_upgrade:
                    out.upgrade = value;
                    break;
                case f_other:
                    if (ascii_iequal(p + name_b, name_e - name_b, "Content-Range")) out.content_range = true;
                    out.others.emplace_back(byte_string(p + name_b, name_e - name_b), value);
                    break;
            }
        }
        line = next;
    }
}

bool get_len_from_content_lenght(const byte_string& value, std::int32_t& out) {
    std::size_t i = 0;
    while (i < value.size() && !(value[i] >= '0' && value[i] <= '9')) {
        if (value[i] == '-') return false;  // a negative length frames nothing
        ++i;
    }
    if (i == value.size()) return false;
    std::size_t b = i;
    std::int64_t v = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        v = v * 10 + (value[i] - '0');
        if (v > INT32_MAX) {
            ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! in http_stream_filter::get_len_from_content_lenght: "
                                        << "bad lexical cast: source type value could not be interpreted as target"
                                        << "\r\n BUFFER:" << value << " MATCHED_BUFFER:"
                                        << value.substr(b, std::min<std::size_t>(value.size() - b, 64)));
            return false;
        }
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

bool set_content_length(byte_string& header, std::uint64_t value) {
    http_header_info h;
    parse_cached_header(header.data(), header.size(), h);
    if (h.content_length_spans.empty()) return false;
    // The first line keeps its place and name; its whole value is replaced
    // (a list such as "10, 10" becomes one number). The others go.
    const http_header_span first = h.content_length_spans.front();
    std::vector<http_header_span> rest(h.content_length_spans.begin() + 1, h.content_length_spans.end());
    const char* p = header.data();
    std::size_t colon = static_cast<std::size_t>(
        static_cast<const char*>(std::memchr(p + first.begin, ':', first.end - first.begin)) - p);
    std::size_t vb = colon + 1;
    while (vb < first.end && (p[vb] == ' ' || p[vb] == '\t')) ++vb;
    std::size_t ve = first.end;
    if (ve > vb && p[ve - 1] == '\n') --ve;
    if (ve > vb && p[ve - 1] == '\r') --ve;
    if (ve < vb) ve = vb;
    cut_spans(header, rest);
    header.replace(vb, ve - vb, std::to_string(value));
    return true;
}

void cut_spans(byte_string& block, std::vector<http_header_span> spans) {
    if (spans.empty()) return;
    std::sort(spans.begin(), spans.end(),
              [](const http_header_span& a, const http_header_span& b) { return a.begin < b.begin; });
    byte_string out;
    out.reserve(block.size());
    std::size_t at = 0;
    for (const auto& s : spans) {
        if (s.begin < at || s.end > block.size()) continue;
        out.append(block, at, s.begin - at);
        at = s.end;
    }
    out.append(block, at, byte_string::npos);
    block.swap(out);
}

byte_string uri_extension(const byte_string& uri) {
    std::size_t cut = uri.find('?');
    if (cut == byte_string::npos) cut = uri.find('#');
    byte_string path = uri.substr(0, cut);
    std::size_t slash = path.rfind('/');
    if (slash != byte_string::npos) path.erase(0, slash);
    std::size_t dot = path.rfind('.');
    if (dot != byte_string::npos) path.erase(0, dot + 1);
    return path;
}

}  // namespace http_msg

namespace http_canned {

const byte_string& gif_replacement() {
    static const byte_string s = [] {
        static const unsigned char gif[42] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x21, 0xF9, 0x04,
                                              0x01, 0x00, 0x00, 0x01, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01,
                                              0x00, 0x01, 0x00, 0x00, 0x02, 0x01, 0x4C, 0x00, 0x3B};
        byte_string r =
            "HTTP/1.0 200 OK\r\nContent-length:42\r\nContent-type:image/gif\r\nConnection:close\r\n"
            "Pragma:no-cache\r\n\r\n";
        r.append(reinterpret_cast<const char*>(gif), sizeof gif);
        return r;
    }();
    return s;
}

const byte_string& flash_replacement() {
    static const byte_string s = [] {
        static const unsigned char swf[25] = {0x46, 0x57, 0x53, 0x07, 0x19, 0x00, 0x00, 0x00, 0x30,
                                              0x0A, 0x00, 0xA0, 0x00, 0x0C, 0x01, 0x00, 0x43, 0x02,
                                              0xFF, 0xFF, 0xFF, 0x40, 0x00, 0x00, 0x00};
        byte_string r =
            "HTTP/1.0 200 OK\r\nContent-length:25\r\nContent-type:application/x-shockwave-flash\r\n"
            "Connection:close\r\nPragma:no-cache\r\n\r\n";
        r.append(reinterpret_cast<const char*>(swf), sizeof swf);
        return r;
    }();
    return s;
}

const byte_string& script_replacement() {
    static const byte_string s =
        "HTTP/1.0 200 OK\r\nContent-length:2\r\nContent-type:application/x-javascript\r\nConnection:close\r\n"
        "Pragma:no-cache\r\n\r\n\r\n";
    return s;
}

byte_string redirect_reply(const byte_string& address) {
    byte_string body =
        "<HTML><HEAD><meta http-equiv=\"content-type\" content=\"text/html;charset=utf-8\">\r\n"
        "<TITLE>302 Moved</TITLE></HEAD><BODY>\r\n<H1>302 Moved</H1>\r\nThe document has moved\r\n<A HREF=\"" +
        address + "\">here</A>.</BODY></HTML>\r\n";
    return "HTTP/1.1 302 Found\r\nLocation: " + address +
           "\r\nCache-Control: private\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

byte_string block_page_reply(const byte_string& page) {
    return "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
           std::to_string(page.size()) + "\r\n\r\n" + page;
}

}  // namespace http_canned
