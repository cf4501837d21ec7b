#pragma once
// The pieces of an HTTP message that the stream filter reads and writes: the
// header record, the length helpers, and the replies the engine sends itself.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/strings.h"

// A header line's place in the header block: [begin, end) covers the whole
// line with its line end (and folded continuation lines), so that cutting it
// leaves a well-formed block.
namespace http_msg {

struct http_header_span {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool present() const { return end > begin; }
};

struct http_header_info {
    byte_string connection;
    byte_string referer;
    byte_string content_length;
    byte_string content_type;
    byte_string transfer_encoding;
    byte_string content_encoding;
    byte_string host;
    byte_string cookie;
    byte_string upgrade;
    http_header_span connection_span;
    http_header_span referer_span;
    http_header_span content_length_span;
    http_header_span cookie_span;
    http_header_span content_encoding_span;
    std::vector<std::pair<byte_string, byte_string>> others;
    // Every Content-Length line (a message may repeat it) and every Cookie
    // line (a client may send several), in order.
    std::vector<byte_string> content_length_values;
    std::vector<http_header_span> content_length_spans;
    std::vector<http_header_span> cookie_spans;
    // Content-Range is present: a part of a representation, never rewritten.
    bool content_range = false;

    void clear() { *this = http_header_info(); }
};

// Reads the header lines of the first 'length' bytes of 'block'. A line is
// "name ?: ?value" where the name is the run of word characters and '-'
// before the line's first usable colon; the value runs to the line end and
// takes folded continuation lines (starting with a blank or tab) with it. A
// later occurrence of a header overwrites the earlier one. Linear in length.
void parse_cached_header(const char* block, std::size_t length, http_header_info& out);

// The first run of digits of a Content-Length value as a 32-bit length.
// False when there are no digits, when a '-' comes before them, or when the
// number does not fit.
bool get_len_from_content_lenght(const byte_string& value, std::int32_t& out);

// Sets the Content-Length of a header block: the first Content-Length line
// gets the value, any further ones are removed, so exactly one remains;
// false when the block has no such line.
bool set_content_length(byte_string& header, std::uint64_t value);

// The value without surrounding blanks and line ends.
byte_string trim(const byte_string& s);

// True when the comma-separated list 'value' holds 'token' (any case).
bool has_token(const byte_string& value, const char* token);

// Removes the spans (given in any order, not overlapping) from 'block'.
void cut_spans(byte_string& block, std::vector<http_header_span> spans);

// The extension of a request target as the block rules see it: cut at the
// first '?' (else the first '#'), keep from the last '/', then what follows
// the last '.', when there is one.
byte_string uri_extension(const byte_string& uri);

}  // namespace http_msg

namespace http_canned {
const byte_string& gif_replacement();     // 139 bytes
const byte_string& flash_replacement();   // 142 bytes
const byte_string& script_replacement();  // 113 bytes
byte_string redirect_reply(const byte_string& address);
byte_string block_page_reply(const byte_string& page);
}  // namespace http_canned
