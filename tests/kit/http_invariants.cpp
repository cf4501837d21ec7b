#include "kit/http_invariants.h"

#include <cctype>
#include <cstdlib>

namespace kit {
namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Reads one line ending in LF (CR before it dropped); false when incomplete.
bool read_line(const std::string& s, std::size_t& pos, std::string& line) {
    std::size_t nl = s.find('\n', pos);
    if (nl == std::string::npos) return false;
    line = s.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos = nl + 1;
    return true;
}

std::string read_head(const std::string& s, std::size_t& pos, http_message& m) {
    if (!read_line(s, pos, m.start_line)) return "incomplete start line at " + std::to_string(pos);
    for (;;) {
        std::string line;
        if (!read_line(s, pos, line)) return "incomplete header block after " + m.start_line;
        if (line.empty()) break;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) return "header line without colon: " + line;
        m.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
    return "";
}

std::string read_chunked(const std::string& s, std::size_t& pos, http_message& m) {
    for (;;) {
        std::string line;
        if (!read_line(s, pos, line)) return "incomplete chunk size line";
        std::string hex = trim(line.substr(0, line.find(';')));
        if (hex.empty() || hex.size() > 15) return "bad chunk size: " + line;
        char* end = nullptr;
        unsigned long long n = std::strtoull(hex.c_str(), &end, 16);
        if (*end != '\0') return "bad chunk size: " + line;
        if (n == 0) {
            for (;;) {  // trailers up to the empty line
                if (!read_line(s, pos, line)) return "incomplete trailer";
                if (line.empty()) return "";
            }
        }
        if (s.size() - pos < n + 2) return "chunk shorter than its size " + std::to_string(n);
        m.body.append(s, pos, n);
        pos += n;
        if (s.compare(pos, 2, "\r\n") != 0) return "chunk data not followed by CRLF";
        pos += 2;
    }
}

std::string read_body(const std::string& s, std::size_t& pos, http_message& m, bool no_body, bool complete) {
    std::string te = lower(header_value(m, "Transfer-Encoding"));
    std::string cl = header_value(m, "Content-Length");
    if (no_body) return "";
    if (te.find("chunked") != std::string::npos) {
        m.framing = http_message::chunked;
        std::string e = read_chunked(s, pos, m);
        if (!e.empty() && !complete) return "";
        return e;
    }
    if (!cl.empty()) {
        // Several Content-Length fields must agree.
        int count = 0;
        for (auto& h : m.headers)
            if (lower(h.first) == "content-length") {
                ++count;
                if (trim(h.second) != trim(cl)) return "conflicting Content-Length fields";
            }
        (void)count;
        char* end = nullptr;
        unsigned long long n = std::strtoull(cl.c_str(), &end, 10);
        if (cl.empty() || *end != '\0' || cl[0] == '-') return "bad Content-Length: " + cl;
        m.framing = http_message::length;
        if (s.size() - pos < n) {
            return "body shorter than Content-Length " + cl + " (got " + std::to_string(s.size() - pos) + ")";
        }
        m.body = s.substr(pos, n);
        pos += n;
        return "";
    }
    return "close";
}

}  // namespace

std::string header_value(const http_message& m, const std::string& name) {
    std::string ln = lower(name);
    for (auto& h : m.headers)
        if (lower(h.first) == ln) return h.second;
    return "";
}

std::string parse_responses(const std::string& stream, std::vector<http_message>& out,
                            const std::vector<bool>& head_requests, bool complete) {
    out.clear();
    std::size_t pos = 0;
    std::size_t answered = 0;
    while (pos < stream.size()) {
        http_message m;
        std::string e = read_head(stream, pos, m);
        if (!e.empty()) return e;
        int status = 0;
        if (m.start_line.size() >= 12 && m.start_line.compare(0, 5, "HTTP/") == 0)
            status = std::atoi(m.start_line.c_str() + 9);
        else
            return "bad status line: " + m.start_line;
        bool informational = status >= 100 && status < 200 && status != 101;
        bool head = answered < head_requests.size() && head_requests[answered];
        bool no_body = informational || status == 204 || status == 304 || head;
        e = read_body(stream, pos, m, no_body, complete);
        if (e == "close") {
            m.framing = http_message::close;
            m.body = stream.substr(pos);
            pos = stream.size();
            e.clear();
        }
        if (!e.empty()) return e;
        if (!informational) ++answered;
        out.push_back(std::move(m));
    }
    return "";
}

std::string parse_requests(const std::string& stream, std::vector<http_message>& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos < stream.size()) {
        http_message m;
        std::string e = read_head(stream, pos, m);
        if (!e.empty()) return e;
        e = read_body(stream, pos, m, false, true);
        if (e == "close") e.clear();  // requests without length have no body
        if (!e.empty()) return e;
        out.push_back(std::move(m));
    }
    return "";
}

std::string same_apart_from_framing(const std::vector<http_message>& a, const std::vector<http_message>& b) {
    if (a.size() != b.size())
        return "message count differs: " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].start_line != b[i].start_line)
            return "start line " + std::to_string(i) + ": " + a[i].start_line + " vs " + b[i].start_line;
        auto strip = [](const http_message& m) {
            std::vector<std::pair<std::string, std::string>> r;
            for (auto& h : m.headers) {
                std::string n = lower(h.first);
                if (n != "content-length" && n != "transfer-encoding") r.push_back(h);
            }
            return r;
        };
        if (strip(a[i]) != strip(b[i])) return "headers of message " + std::to_string(i) + " differ";
        if (a[i].body != b[i].body)
            return "body of message " + std::to_string(i) + " differs (" + std::to_string(a[i].body.size()) + " vs " +
                   std::to_string(b[i].body.size()) + " bytes)";
    }
    return "";
}

}  // namespace kit
