#include "http_front.h"

#include <cstring>
#include <vector>

namespace zem_host {

namespace {

constexpr std::size_t k_max_framing_line = 4096;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool iequals(const char* a, std::size_t n, const char* b) {
    if (std::strlen(b) != n) return false;
    for (std::size_t k = 0; k < n; ++k)
        if (lower(a[k]) != lower(b[k])) return false;
    return true;
}

bool is_tchar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_reg_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("-._~%!$&'()*+,;=", c) != nullptr;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string trim(const char* p, std::size_t n) {
    std::size_t b = 0, e = n;
    while (b < e && (p[b] == ' ' || p[b] == '\t')) ++b;
    while (e > b && (p[e - 1] == ' ' || p[e - 1] == '\t')) --e;
    return std::string(p + b, e - b);
}

// Whether the last coding of a Transfer-Encoding list is chunked: only
// then does the coding itself find the body's end.
bool ends_chunked(const std::string& value) {
    const std::size_t last = value.rfind(',');
    const std::size_t from = last == std::string::npos ? 0 : last + 1;
    const std::string coding = trim(value.data() + from, value.size() - from);
    return iequals(coding.data(), coding.size(), "chunked");
}

// Splits "host[:port]" or "[v6]:port"; false on anything else.
bool split_authority(const std::string& a, bool port_required, std::string& host, std::uint16_t& port) {
    std::string port_text;
    if (!a.empty() && a[0] == '[') {
        const std::size_t close = a.find(']');
        if (close == std::string::npos || close < 3) return false;
        host = a.substr(1, close - 1);
        for (char c : host)
            if (hex_value(c) < 0 && c != ':' && c != '.') return false;
        if (close + 1 < a.size()) {
            if (a[close + 1] != ':') return false;
            port_text = a.substr(close + 2);
            if (port_text.empty()) return false;
        }
    } else {
        const std::size_t colon = a.rfind(':');
        host = a.substr(0, colon);
        if (colon != std::string::npos) {
            port_text = a.substr(colon + 1);
            if (port_text.empty()) return false;
        }
        if (host.empty()) return false;
        for (char c : host)
            if (!is_reg_name_char(c)) return false;
    }
    if (port_text.empty()) return !port_required;
    if (port_text.size() > 5) return false;
    unsigned long value = 0;
    for (char c : port_text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

request_parse refuse(int status, std::string reason) {
    request_parse r;
    r.result = request_parse::outcome::refused;
    r.status = status;
    r.reason = std::move(reason);
    return r;
}

struct line {
    const char* p;
    std::size_t n;  // without the line end
};

}  // namespace

request_parse parse_proxy_request(const char* p, std::size_t n, proxy_request& out) {
    // The head ends at the first empty line; a bare LF ends a line as well.
    std::vector<line> lines;
    std::size_t at = 0, head_end = 0;
    bool complete = false;
    while (at < n && at < k_max_request_head) {
        const void* nl = std::memchr(p + at, '\n', n - at);
        if (!nl) break;
        const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(nl) - p);
        std::size_t len = end - at;
        if (len > 0 && p[end - 1] == '\r') --len;
        if (len == 0 && !lines.empty()) {
            head_end = end + 1;
            complete = true;
            break;
        }
        // Blank lines before a request are tolerated.
        if (len > 0) lines.push_back(line{p + at, len});
        at = end + 1;
    }
    if (!complete || head_end > k_max_request_head) {
        if (n >= k_max_request_head) return refuse(431, "the request head is longer than 64 KB");
        return request_parse{};
    }

    out = proxy_request{};
    // Request line: method SP target SP version.
    const std::string rl(lines[0].p, lines[0].n);
    const std::size_t sp1 = rl.find(' ');
    const std::size_t sp2 = sp1 == std::string::npos ? sp1 : rl.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos || rl.find(' ', sp2 + 1) != std::string::npos)
        return refuse(400, "the request line is not METHOD TARGET VERSION");
    out.method = rl.substr(0, sp1);
    const std::string target = rl.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = rl.substr(sp2 + 1);
    if (out.method.empty()) return refuse(400, "no method");
    for (char c : out.method)
        if (!is_tchar(c)) return refuse(400, "the method is not a token");
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return refuse(505, "only HTTP/1.0 and HTTP/1.1 are spoken");
    const bool http10 = version == "HTTP/1.0";

    std::string authority, path;
    if (out.method == "CONNECT") {
        out.what = proxy_request::kind::tunnel;
        if (!split_authority(target, true, out.host, out.port))
            return refuse(400, "CONNECT needs HOST:PORT with a port from 1 to 65535");
    } else {
        static const char scheme[] = "http://";
        const std::size_t sl = sizeof scheme - 1;
        if (target.size() < sl || !iequals(target.data(), sl, scheme)) {
            if (target.size() >= 8 && iequals(target.data(), 8, "https://"))
                return refuse(501, "https addresses are reached through CONNECT");
            return refuse(400, "a proxy needs the absolute address (http://host/path)");
        }
        const std::size_t path_at = target.find_first_of("/?#", sl);
        authority = target.substr(sl, path_at == std::string::npos ? std::string::npos : path_at - sl);
        path = path_at == std::string::npos ? std::string() : target.substr(path_at);
        const std::size_t hash = path.find('#');
        if (hash != std::string::npos) path.resize(hash);
        if (path.empty() || path[0] != '/') path.insert(0, "/");
        if (authority.find('@') != std::string::npos)
            return refuse(400, "user names and passwords in the address are not forwarded");
        if (!split_authority(authority, false, out.host, out.port))
            return refuse(400, "the address has no valid host and port");
    }

    // Header fields: checked for framing, the proxy's own removed, Host set.
    bool host_written = false, has_length = false, has_te = false, te_chunked = false;
    bool conn_close = false, conn_keep_alive = false;
    std::uint64_t length = 0;
    std::string fields;
    for (std::size_t k = 1; k < lines.size(); ++k) {
        const line& l = lines[k];
        if (l.p[0] == ' ' || l.p[0] == '\t') return refuse(400, "folded header lines are not accepted");
        const void* colon_p = std::memchr(l.p, ':', l.n);
        if (!colon_p) return refuse(400, "a header line has no colon");
        const std::size_t colon = static_cast<std::size_t>(static_cast<const char*>(colon_p) - l.p);
        if (colon == 0) return refuse(400, "a header line has no name");
        for (std::size_t j = 0; j < colon; ++j)
            if (!is_tchar(l.p[j])) return refuse(400, "a header name is not a token");
        const std::string value = trim(l.p + colon + 1, l.n - colon - 1);
        auto named = [&](const char* name) { return iequals(l.p, colon, name); };
        if (named("proxy-connection") || named("proxy-authorization")) continue;
        if (named("host")) {
            if (out.what == proxy_request::kind::forward && !host_written) {
                fields += "Host: " + authority + "\r\n";
                host_written = true;
            }
            continue;
        }
        if (named("content-length")) {
            // Every line and list element must name the same length.
            std::size_t s = 0;
            while (s <= value.size()) {
                std::size_t e = value.find(',', s);
                if (e == std::string::npos) e = value.size();
                const std::string v = trim(value.data() + s, e - s);
                if (v.empty() || v.size() > 18) return refuse(400, "a Content-Length is not a number");
                std::uint64_t x = 0;
                for (char c : v) {
                    if (c < '0' || c > '9') return refuse(400, "a Content-Length is not a number");
                    x = x * 10 + static_cast<std::uint64_t>(c - '0');
                }
                if (has_length && x != length) return refuse(400, "Content-Length values disagree");
                length = x;
                has_length = true;
                s = e + 1;
            }
        } else if (named("transfer-encoding")) {
            has_te = true;
            te_chunked = ends_chunked(value);
        } else if (named("connection")) {
            std::string v;
            for (char c : value) v += lower(c);
            conn_close = conn_close || v.find("close") != std::string::npos;
            conn_keep_alive = conn_keep_alive || v.find("keep-alive") != std::string::npos;
        }
        fields.append(l.p, l.n);
        fields += "\r\n";
    }
    if (has_te && has_length) return refuse(400, "both Transfer-Encoding and Content-Length");
    if (has_te && !te_chunked) return refuse(400, "a request body whose end cannot be found");
    if (out.what == proxy_request::kind::forward) {
        out.chunked_body = te_chunked;
        out.body_length = has_length ? length : 0;
        if (!host_written) fields.insert(0, "Host: " + authority + "\r\n");
        out.origin_head = out.method + " " + path + " " + version + "\r\n" + fields + "\r\n";
    }
    out.client_wants_close = conn_close || (http10 && !conn_keep_alive);
    request_parse r;
    r.result = request_parse::outcome::ok;
    r.head_length = head_end;
    return r;
}

std::string proxy_error_reply(int status, const std::string& detail) {
    const char* text = "Error";
    switch (status) {
        case 400:
            text = "Bad Request";
            break;
        case 403:
            text = "Forbidden";
            break;
        case 405:
            text = "Method Not Allowed";
            break;
        case 431:
            text = "Request Header Fields Too Large";
            break;
        case 501:
            text = "Not Implemented";
            break;
        case 502:
            text = "Bad Gateway";
            break;
        case 503:
            text = "Service Unavailable";
            break;
        case 504:
            text = "Gateway Timeout";
            break;
        case 505:
            text = "HTTP Version Not Supported";
            break;
        default:
            break;
    }
    std::string safe;
    for (char c : detail) {
        if (c == '<')
            safe += "&lt;";
        else if (c == '>')
            safe += "&gt;";
        else if (c == '&')
            safe += "&amp;";
        else if (static_cast<unsigned char>(c) >= 0x20)
            safe += c;
    }
    const std::string body = "<!DOCTYPE html>\n<html><head><title>" + std::to_string(status) + " " + text +
                             "</title></head>\n<body><h1>" + std::to_string(status) + " " + text + "</h1>\n<p>" + safe +
                             "</p>\n<p>zem-host</p></body></html>\n";
    return "HTTP/1.1 " + std::to_string(status) + " " + text +
           "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + body;
}

// ---- body_framer ------------------------------------------------------------

void body_framer::reset(mode m, std::uint64_t length) {
    m_mode = m;
    m_left = length;
    m_line = 0;
    m_line_empty = true;
    m_cr = false;
    m_size = 0;
    m_in_extension = false;
    m_size_digits = false;
    switch (m) {
        case mode::none:
            m_state = state::done;
            break;
        case mode::length:
            m_state = length == 0 ? state::done : state::data;
            break;
        case mode::chunked:
            m_state = state::size_line;
            break;
        case mode::until_close:
            m_state = state::data;
            break;
    }
}

std::size_t body_framer::feed(const char* p, std::size_t n) {
    std::size_t at = 0;
    while (at < n && m_state != state::done && m_state != state::failed) {
        if (m_state == state::data) {
            if (m_mode == mode::until_close) return n;
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_left, n - at));
            at += take;
            m_left -= take;
            if (m_left == 0) m_state = m_mode == mode::chunked ? state::data_end : state::done;
            continue;
        }
        const char c = p[at++];
        if (++m_line > k_max_framing_line) {
            m_state = state::failed;
            break;
        }
        if (c == '\r') {
            m_cr = true;
            continue;
        }
        const bool lf = c == '\n';
        if (!lf && m_cr && m_state != state::trailer) {
            m_state = state::failed;  // a CR inside a framing line
            break;
        }
        m_cr = false;
        switch (m_state) {
            case state::size_line:
                if (lf) {
                    if (!m_size_digits) {
                        m_state = state::failed;
                        break;
                    }
                    m_line = 0;
                    m_line_empty = true;
                    if (m_size == 0) {
                        m_state = state::trailer;
                    } else {
                        m_left = m_size;
                        m_state = state::data;
                    }
                    m_size = 0;
                    m_size_digits = false;
                    m_in_extension = false;
                } else if (m_in_extension) {
                    // Extensions are read and ignored.
                } else if (c == ';' || c == ' ' || c == '\t') {
                    m_in_extension = m_size_digits;
                    if (!m_size_digits) m_state = state::failed;
                } else if (hex_value(c) >= 0) {
                    if (m_size > (UINT64_MAX >> 4)) {
                        m_state = state::failed;
                        break;
                    }
                    m_size = m_size * 16 + static_cast<std::uint64_t>(hex_value(c));
                    m_size_digits = true;
                } else {
                    m_state = state::failed;
                }
                break;
            case state::data_end:
                if (!lf) {
                    m_state = state::failed;
                    break;
                }
                m_line = 0;
                m_state = state::size_line;
                break;
            case state::trailer:
                if (lf) {
                    if (m_line_empty) {
                        m_state = state::done;
                        break;
                    }
                    m_line = 0;
                    m_line_empty = true;
                } else {
                    m_line_empty = false;
                }
                break;
            default:
                break;
        }
    }
    return at;
}

// ---- response_tracker -------------------------------------------------------

void response_tracker::request_sent(bool head) {
    ++m_pending;
    m_heads_of += head ? 'H' : 'G';
}

bool response_tracker::finish_head() {
    // "HTTP/1.x NNN ...": the status decides whether a body follows.
    if (m_head.size() < 12 || m_head.compare(0, 7, "HTTP/1.") != 0 || m_head[8] != ' ') return false;
    int status = 0;
    for (int k = 9; k < 12; ++k) {
        if (m_head[k] < '0' || m_head[k] > '9') return false;
        status = status * 10 + (m_head[k] - '0');
    }
    if (m_pending == 0) return false;  // an answer nobody asked for
    const bool head_request = m_heads_of[m_next] == 'H';
    if (status >= 100 && status < 200 && status != 101) {
        m_head.clear();  // interim: the request still waits for its answer
        return true;
    }
    m_until_close = false;
    body_framer::mode mode = body_framer::mode::until_close;
    std::uint64_t length = 0;
    if (status == 101) {
        m_until_close = true;
    } else if (head_request || status == 204 || status == 304) {
        mode = body_framer::mode::none;
    } else {
        bool chunked = false, te = false, has_length = false;
        std::size_t at = m_head.find('\n');
        while (at != std::string::npos && at + 1 < m_head.size()) {
            const std::size_t end = m_head.find('\n', at + 1);
            const std::size_t stop = end == std::string::npos ? m_head.size() : end;
            const std::string l = trim(m_head.data() + at + 1, stop - at - 1 - (m_head[stop - 1] == '\r' ? 1 : 0));
            const std::size_t colon = l.find(':');
            if (colon != std::string::npos) {
                const std::string v = trim(l.data() + colon + 1, l.size() - colon - 1);
                if (iequals(l.data(), colon, "transfer-encoding")) {
                    te = true;
                    chunked = ends_chunked(v);
                } else if (iequals(l.data(), colon, "content-length") && !has_length) {
                    std::uint64_t x = 0;
                    bool digits = !v.empty() && v.size() <= 18;
                    for (char ch : v) {
                        if (ch == ',') break;
                        if (ch < '0' || ch > '9') digits = false;
                        x = x * 10 + static_cast<std::uint64_t>(ch - '0');
                    }
                    if (digits) {
                        has_length = true;
                        length = x;
                    }
                }
            }
            at = end;
        }
        if (te)
            mode = chunked ? body_framer::mode::chunked : body_framer::mode::until_close;
        else if (has_length)
            mode = body_framer::mode::length;
        m_until_close = mode == body_framer::mode::until_close;
    }
    m_head.clear();
    m_body.reset(mode, length);
    m_phase = phase::body;
    return true;
}

bool response_tracker::feed(const char* p, std::size_t n) {
    std::size_t at = 0;
    while (at < n) {
        if (m_phase == phase::broken) return false;
        if (m_phase == phase::head) {
            const void* nl = std::memchr(p + at, '\n', n - at);
            const std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - p) + 1 : n;
            m_head.append(p + at, end - at);
            at = end;
            if (m_head.size() > k_max_request_head) {
                m_phase = phase::broken;
                return false;
            }
            if (!nl) continue;
            const bool blank =
                m_head.size() >= 2 && (m_head.compare(m_head.size() - 2, 2, "\n\n") == 0 ||
                                       (m_head.size() >= 4 && m_head.compare(m_head.size() - 4, 4, "\r\n\r\n") == 0));
            if (m_head == "\r\n" || m_head == "\n") {
                m_head.clear();  // stray line end between answers
                continue;
            }
            if (!blank) continue;
            if (!finish_head()) {
                m_phase = phase::broken;
                return false;
            }
            if (m_phase == phase::head) continue;  // interim answer
        }
        at += m_body.feed(p + at, n - at);
        if (m_body.failed()) {
            m_phase = phase::broken;
            return false;
        }
        if (m_body.done()) {
            m_phase = phase::head;
            --m_pending;
            ++m_next;
            if (m_next == m_heads_of.size()) {
                m_heads_of.clear();
                m_next = 0;
            }
        }
    }
    return true;
}

}  // namespace zem_host
