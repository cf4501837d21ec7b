#pragma once
// Checks on HTTP streams as a client would receive them: framing validity
// (each Content-Length equals the body sent, chunking well formed) and
// sameness of two streams apart from the framing rewrites a filter may make
// (re-chunking, corrected Content-Length).
#include <string>
#include <utility>
#include <vector>

namespace kit {

struct http_message {
    std::string start_line;
    std::vector<std::pair<std::string, std::string>> headers;  // as sent
    std::string body;                                          // de-chunked
    enum framing_t { none, length, chunked, close } framing = none;
};

// Parses a stream of responses. 'head_requests' lists, in order, whether
// each response answers a HEAD request (no body whatever the headers say).
// Returns an empty string when the stream is validly framed, else why not.
// A close-delimited body takes the rest of the stream; 'complete' says the
// connection has ended (so that a missing final chunk is an error).
std::string parse_responses(const std::string& stream, std::vector<http_message>& out,
                            const std::vector<bool>& head_requests = {}, bool complete = true);

// Parses a stream of requests (bodies by Content-Length or chunked).
std::string parse_requests(const std::string& stream, std::vector<http_message>& out);

// The header's value, compared without regard to case; empty when missing.
std::string header_value(const http_message& m, const std::string& name);

// Same messages apart from framing: same start lines, same headers except
// Content-Length and Transfer-Encoding, same decoded bodies. Empty when
// equal, else the first difference.
std::string same_apart_from_framing(const std::vector<http_message>& a, const std::vector<http_message>& b);

}  // namespace kit
