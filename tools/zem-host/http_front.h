#pragma once
// The HTTP a forward proxy must understand itself, before any filter point
// exists: the head of a client's request (absolute-form or CONNECT), turned
// into the origin-form request an origin server expects, and the framing of
// messages, so that the proxy knows where one request or answer ends and the
// next begins. The engine then sees exactly one client-origin conversation.
#include <cstddef>
#include <cstdint>
#include <string>

namespace zem_host {

// Longest request head the proxy reads before answering 431.
constexpr std::size_t k_max_request_head = 64 * 1024;

struct proxy_request {
    enum class kind { forward, tunnel };
    kind what = kind::forward;
    std::string method;
    std::string host;  // without brackets for IPv6 literals
    std::uint16_t port = 80;
    // The head rewritten for the origin: origin-form target, Host set from
    // the request's authority, the proxy's own fields removed. Empty for
    // tunnels.
    std::string origin_head;
    // How the request's own body is framed (forward requests).
    bool chunked_body = false;
    std::uint64_t body_length = 0;
    bool client_wants_close = false;
};

struct request_parse {
    enum class outcome { need_more, ok, refused };
    outcome result = outcome::need_more;
    std::size_t head_length = 0;  // bytes of the head, on ok
    int status = 0;               // the answer, on refused (400, 405, 431, 501, ...)
    std::string reason;           // for the error page and the event log
};

// Reads one request head from the start of [p, p + n).
request_parse parse_proxy_request(const char* p, std::size_t n, proxy_request& out);

// A small error page from the proxy itself; the connection closes after it.
std::string proxy_error_reply(int status, const std::string& detail);

// Where a message's body ends, fed the bytes that follow its head.
class body_framer {
public:
    enum class mode { none, length, chunked, until_close };
    void reset(mode m, std::uint64_t length = 0);
    // Consumes bytes of the body; returns how many belong to it (fewer than n
    // when the body ends inside). False in 'failed' when the chunked framing
    // is broken.
    std::size_t feed(const char* p, std::size_t n);
    bool done() const { return m_state == state::done; }
    bool failed() const { return m_state == state::failed; }

private:
    enum class state { data, size_line, data_end, trailer, done, failed };
    mode m_mode = mode::none;
    state m_state = state::done;
    std::uint64_t m_left = 0;
    std::size_t m_line = 0;  // bytes of the current framing line so far
    bool m_line_empty = true;
    bool m_cr = false;
    std::uint64_t m_size = 0;
    bool m_in_extension = false;
    bool m_size_digits = false;
};

// Follows the answers of one origin connection, as the filter point hands
// them to the client, so the proxy knows when every request sent so far has
// its complete answer.
class response_tracker {
public:
    // A request went to the origin; 'head' marks a HEAD request.
    void request_sent(bool head);
    // Bytes toward the client. False when the answers cannot be followed
    // (the proxy then ends the connection after them).
    bool feed(const char* p, std::size_t n);
    // Every request has its whole answer.
    bool idle() const { return m_pending == 0 && m_phase == phase::head && m_head.empty(); }
    // The current answer runs until the origin closes.
    bool until_close() const { return m_phase == phase::body && m_until_close; }

private:
    enum class phase { head, body, broken };
    bool finish_head();
    phase m_phase = phase::head;
    std::string m_head;
    std::size_t m_pending = 0;
    std::string m_heads_of;  // 'H' for HEAD, 'G' otherwise, in order
    std::size_t m_next = 0;
    body_framer m_body;
    bool m_until_close = false;
};

}  // namespace zem_host
