#pragma once
// One resumable HTTP/1.1 message reader, used for requests and for
// responses. It knows the syntax of a message (start line, header block,
// length-delimited, chunked and close-delimited bodies, chunk extensions,
// trailers) and nothing of policy: the stream filter routes what it reports.
//
// The reader never owns or copies the bytes. The caller keeps a buffer with a
// read offset and calls next() with the unread bytes; the reader says what
// the front of them is (an event), how many bytes that event covers
// (consumed(); the caller advances its offset by that much) and, for body
// events, where the body data lies inside them (data()). A call that needs
// more bytes consumes nothing and remembers how far it has searched, so a
// line or header block that arrives one byte at a time is scanned once.
#include <cstddef>
#include <cstdint>

#include "core/strings.h"
#include "http/http_message.h"

namespace http_reader {

enum class direction { request, response };

// How the body of the current message is delimited.
enum class framing {
    none,         // no body: the message ends with its header
    length,       // Content-Length bytes
    chunked,      // Transfer-Encoding: chunked, with extensions and trailers
    until_close,  // the body ends when the sender closes
};

enum class read_state {
    start_line,
    header,
    framing_pending,  // header read; the caller decides the body's framing
    body_length,
    chunk_size,
    chunk_data,
    chunk_data_end,
    trailer,
    until_close,
    failed,
};

enum class read_event {
    need_more,      // nothing consumed; call again with more bytes
    blank_line,     // line ends between messages: pass them on as they are
    start_line,     // a request or status line (start())
    header,         // the header block; framing_pending until set_framing()
    body,           // body data at data(); body_complete() when it was the last
    chunk_framing,  // a chunk-size line or the line end after chunk data
    message_done,   // the last chunk and its trailer block (data(): the trailer
                    // fields with the blank line that ends them)
    error,          // the bytes are not HTTP as this reader follows it (reason())
};

// The start line of the current message.
struct start_line_info {
    // Request: 0 GET, 1 POST, 2 PUT, 3 HEAD, 4 the other methods followed.
    int method = 0;
    byte_string method_name;
    byte_string target;
    int major = 1;
    int minor = 0;
    int status = 0;
    byte_string reason;  // with its leading blank, empty when absent
};

// What the header of a message says about its body.
struct framing_decision {
    framing kind = framing::none;
    std::int64_t length = 0;
    // Set when the header makes the framing undecidable; the text is the
    // log line that explains it.
    const char* error = nullptr;
};

// RFC 9112 section 6.3 for requests: Transfer-Encoding (chunked) wins over
// Content-Length; several equal Content-Length values count as one; no
// framing header means no body.
framing_decision request_framing(const http_msg::http_header_info& h);

// RFC 9112 section 6.3 for responses: 1xx, 204, 304 and any answer to HEAD
// have no body whatever their header says; then Transfer-Encoding, then
// Content-Length; otherwise the body ends at the close.
framing_decision response_framing(const http_msg::http_header_info& h, int status, bool head_request);

// All Content-Length values of a header (every line, every comma-separated
// element) as one length; false when they disagree or one is not a number.
bool content_length_value(const http_msg::http_header_info& h, std::int64_t& out);

class message_reader {
public:
    explicit message_reader(direction d) : m_direction(d) {}

    read_event next(const char* p, std::size_t n);

    std::size_t consumed() const { return m_consumed; }
    const char* data() const { return m_data; }
    std::size_t data_size() const { return m_data_size; }
    bool body_complete() const { return m_body_complete; }
    const char* reason() const { return m_reason; }
    // The log level of reason(): -1 for an error entry.
    int reason_level() const { return m_reason_level; }
    const start_line_info& start() const { return m_start; }
    read_state state() const { return m_state; }
    framing body_framing() const { return m_framing; }
    // Bytes of the length-delimited body, or of the current chunk, still to come.
    std::int64_t body_left() const { return m_left; }

    // After a header event: how the body is delimited. framing::none ends
    // the message at once (the reader waits for the next start line).
    void set_framing(framing f, std::int64_t length = 0);
    // Body data is reported in pieces of at least this many bytes, or the
    // rest of the body or chunk (0: as it comes).
    void set_min_piece(std::size_t n) { m_min_piece = n; }
    // Ends a body early (the content ended before its framing did); the
    // reader waits for the next start line.
    void end_message();
    void reset();

private:
    read_event read_start_line(const char* p, std::size_t n);
    read_event read_header(const char* p, std::size_t n);
    read_event read_body(const char* p, std::size_t n);
    read_event read_chunk_size(const char* p, std::size_t n);
    read_event read_chunk_data_end(const char* p, std::size_t n);
    read_event read_trailer(const char* p, std::size_t n);
    read_event fail(const char* reason, int level = -1);
    bool parse_request_line(const char* p, std::size_t n);
    bool parse_status_line(const char* p, std::size_t n);
    bool request_line_prefix(const char* p, std::size_t n);
    // Finds the blank line that ends a block starting at p; resumable.
    bool find_block_end(const char* p, std::size_t n, std::size_t& end);

    direction m_direction;
    read_state m_state = read_state::start_line;
    framing m_framing = framing::none;
    std::int64_t m_left = 0;
    std::size_t m_min_piece = 0;
    std::size_t m_scan = 0;             // bytes at the front already searched
    std::size_t m_partial_checked = 0;  // request-line prefix length last checked
    std::size_t m_consumed = 0;
    const char* m_data = nullptr;
    std::size_t m_data_size = 0;
    bool m_body_complete = false;
    const char* m_reason = "";
    int m_reason_level = -1;
    start_line_info m_start;
};

}  // namespace http_reader
