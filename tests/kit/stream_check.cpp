#include "kit/stream_check.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/ascii.h"

namespace kit {

namespace {

bool head_complete(const std::string& s) { return s.size() >= 4 && s.compare(s.size() - 4, 4, "\r\n\r\n") == 0; }

std::string lower(std::string s) {
    for (char& c : s) c = ascii_lower(c);
    return s;
}

// The value of a header line in a raw head, or npos-free empty string.
bool find_header(const std::string& head, const std::string& name, std::string& value) {
    std::string h = lower(head);
    std::size_t at = h.find("\r\n" + name + ":");
    if (at == std::string::npos) return false;
    std::size_t b = at + 3 + name.size();
    std::size_t e = h.find("\r\n", b);
    value = head.substr(b, e - b);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    return true;
}

}  // namespace

void streaming_responses::start_body() {
    seen_response& r = responses.back();
    std::string te, cl;
    bool chunked = find_header(r.head, "transfer-encoding", te) && lower(te) == "chunked";
    bool has_len = find_header(r.head, "content-length", cl);
    int status = std::atoi(r.head.c_str() + std::min<std::size_t>(9, r.head.size()));
    if ((status >= 100 && status < 200) || status == 204 || status == 304) {
        r.framing = seen_response::length;
        r.complete = true;
        m_state = head;
        return;
    }
    if (chunked) {
        r.framing = seen_response::chunked;
        m_state = chunk_size;
        return;
    }
    if (has_len) {
        char* end = nullptr;
        unsigned long long n = std::strtoull(cl.c_str(), &end, 10);
        if (cl.empty() || *end != '\0') {
            error = "bad Content-Length: " + cl;
            m_state = broken;
            return;
        }
        r.framing = seen_response::length;
        m_left = n;
        if (n == 0) {
            r.complete = true;
            m_state = head;
        } else {
            m_state = body_length;
        }
        return;
    }
    r.framing = seen_response::close;
    m_state = body_close;
}

void streaming_responses::feed(const char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n && m_state != broken) {
        switch (m_state) {
            case head: {
                if (m_line.empty()) responses.emplace_back();
                m_line += p[i++];
                if (m_line.size() > (std::size_t(1) << 20)) {
                    error = "header block over 1 MiB";
                    m_state = broken;
                    break;
                }
                if (head_complete(m_line)) {
                    responses.back().head.swap(m_line);
                    m_line.clear();
                    start_body();
                }
                break;
            }
            case body_length: {
                std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_left, n - i));
                responses.back().body.add(p + i, take);
                i += take;
                m_left -= take;
                if (m_left == 0) {
                    responses.back().complete = true;
                    m_state = head;
                }
                break;
            }
            case chunk_size: {
                m_line += p[i++];
                if (m_line.size() > 100) {
                    error = "chunk-size line too long";
                    m_state = broken;
                    break;
                }
                if (m_line.size() >= 2 && m_line.compare(m_line.size() - 2, 2, "\r\n") == 0) {
                    char* end = nullptr;
                    unsigned long long size = std::strtoull(m_line.c_str(), &end, 16);
                    if (end == m_line.c_str() || (*end != '\r' && *end != ';')) {
                        error = "bad chunk-size line: " + m_line;
                        m_state = broken;
                        break;
                    }
                    m_line.clear();
                    m_left = size;
                    m_state = size ? chunk_data : trailer;
                }
                break;
            }
            case chunk_data: {
                std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_left, n - i));
                responses.back().body.add(p + i, take);
                i += take;
                m_left -= take;
                if (m_left == 0) m_state = chunk_crlf;
                break;
            }
            case chunk_crlf: {
                m_line += p[i++];
                if (m_line.size() == 2) {
                    if (m_line != "\r\n") {
                        error = "chunk data not followed by CRLF";
                        m_state = broken;
                        break;
                    }
                    m_line.clear();
                    m_state = chunk_size;
                }
                break;
            }
            case trailer: {
                m_line += p[i++];
                if (m_line == "\r\n") {
                    m_line.clear();
                    responses.back().complete = true;
                    m_state = head;
                } else if (m_line.size() > 2) {
                    error = "trailers are not expected";
                    m_state = broken;
                }
                break;
            }
            case body_close:
                responses.back().body.add(p + i, n - i);
                i = n;
                break;
            case broken:
                break;
        }
    }
}

void streaming_responses::end() {
    if (m_state == body_close) {
        responses.back().complete = true;
        m_state = head;
    } else if (m_state == head && m_line.empty()) {
        // a clean end between responses
    } else if (m_state != broken && error.empty()) {
        error = "stream ended inside a response";
    }
}

bool counting_provider::send_out(const char* data, int len) {
    out.add(data, static_cast<std::size_t>(len));
    return true;
}

bool counting_provider::send_in(const char* data, int len) {
    std::size_t n = static_cast<std::size_t>(len);
    in.add(data, n);
    largest_send_in = std::max(largest_send_in, n);
    if (parse_in) parsed.feed(data, n);
    return true;
}

bool counting_provider::get_connection_info(zem::connection_info*) { return false; }

// ---------------------------------------------------------------------------

namespace {

void feed(zem::i_filt_point* fp, bool in, const std::string& head, const std::string& unit, std::size_t total,
          const std::string& tail, std::size_t piece, fnv* sent) {
    std::string buf;
    buf.reserve(piece);
    auto flush = [&] {
        if (buf.empty()) return;
        if (sent) sent->add(buf);
        if (in)
            fp->update_in(buf.data(), static_cast<int>(buf.size()));
        else
            fp->update_out(buf.data(), static_cast<int>(buf.size()));
        buf.clear();
    };
    auto put = [&](const char* p, std::size_t n) {
        while (n) {
            std::size_t take = std::min(n, piece - buf.size());
            buf.append(p, take);
            p += take;
            n -= take;
            if (buf.size() == piece) flush();
        }
    };
    put(head.data(), head.size());
    for (std::size_t done = 0; done < total && !unit.empty();) {
        std::size_t take = std::min(unit.size(), total - done);
        put(unit.data(), take);
        done += take;
    }
    put(tail.data(), tail.size());
    flush();
}

}  // namespace

void feed_in(zem::i_filt_point* fp, const std::string& head, const std::string& unit, std::size_t total,
             const std::string& tail, std::size_t piece, fnv* sent) {
    feed(fp, true, head, unit, total, tail, piece, sent);
}

void feed_out(zem::i_filt_point* fp, const std::string& head, const std::string& unit, std::size_t total,
              const std::string& tail, std::size_t piece, fnv* sent) {
    feed(fp, false, head, unit, total, tail, piece, sent);
}

fnv hash_repeated(const std::string& unit, std::size_t total) {
    fnv f;
    for (std::size_t done = 0; done < total;) {
        std::size_t take = std::min(unit.size(), total - done);
        f.add(unit.data(), take);
        done += take;
    }
    return f;
}

}  // namespace kit
