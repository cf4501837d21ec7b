#include "http/http_message_reader.h"

#include <boost/regex.hpp>
#include <climits>
#include <cstring>

#include "core/ascii.h"

namespace http_reader {

namespace {

// Longest request line still waited for, longest status line, longest header
// or trailer block, longest chunk-size line (extensions included): past
// them the stream is not followed.
constexpr std::size_t k_max_request_line = 9000;
constexpr std::size_t k_max_status_line = 1000;
constexpr std::size_t k_max_block = 100000;
constexpr std::size_t k_max_chunk_line = 4096;

const boost::regex& request_line_re() {
    // Never destroyed, like every compiled expression of the engine: a
    // connection thread may still be filtering while the process exits.
    static const boost::regex& re =
        *new boost::regex("^(((OPTIONS)|(GET)|(HEAD)|(POST)|(PUT)|(DELETE)|(TRACE)) (\\S+) HTTP/(\\d+).(\\d+))\\r?\\n",
                          boost::regex::perl | boost::regex::icase);
    return re;
}

const boost::regex& status_line_re() {
    static const boost::regex& re = *new boost::regex("^HTTP/(\\d+).(\\d+) ((\\d)\\d{2})( [^\\n]*)?\\r?\\n",
                                                      boost::regex::perl | boost::regex::icase);
    return re;
}

int to_int(const boost::csub_match& m) {
    // A version or status made of too many digits reads as a huge number;
    // clamp instead of failing, it only labels the message.
    long long v = 0;
    for (const char* p = m.first; p != m.second; ++p) {
        v = v * 10 + (*p - '0');
        if (v > 1000000) return 1000000;
    }
    return static_cast<int>(v);
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// One element of a Content-Length list: digits between optional blanks.
bool length_element(const char* b, const char* e, std::int64_t& out) {
    while (b < e && blank(*b)) ++b;
    while (e > b && (blank(e[-1]) || e[-1] == '\r')) --e;
    if (b == e) return false;
    std::int64_t v = 0;
    for (; b < e; ++b) {
        if (*b < '0' || *b > '9') return false;
        v = v * 10 + (*b - '0');
        if (v > INT32_MAX) return false;  // the engine frames 32-bit lengths; larger bodies pass unfiltered
    }
    out = v;
    return true;
}

}  // namespace

bool content_length_value(const http_msg::http_header_info& h, std::int64_t& out) {
    bool any = false;
    std::int64_t first = 0;
    for (const byte_string& value : h.content_length_values) {
        const char* p = value.data();
        const char* end = p + value.size();
        while (true) {
            const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<std::size_t>(end - p)));
            const char* e = comma ? comma : end;
            std::int64_t v = 0;
            if (!length_element(p, e, v)) return false;
            if (any && v != first) return false;
            first = v;
            any = true;
            if (!comma) break;
            p = comma + 1;
        }
    }
    if (!any) return false;
    out = first;
    return true;
}

namespace {

// Transfer-Encoding wins over Content-Length; 'otherwise' is what a message
// with neither gets: no body for a request, the rest of the connection for a
// response.
framing_decision framing_from_fields(const http_msg::http_header_info& h, const char* length_error, framing otherwise) {
    framing_decision d;
    if (!h.transfer_encoding.empty()) {
        if (!ascii_iequal(http_msg::trim(h.transfer_encoding), "chunked")) d.error = "Wrong Transfer-Encoding:";
        d.kind = framing::chunked;
        return d;
    }
    if (h.content_length_values.empty()) {
        d.kind = otherwise;
        return d;
    }
    if (!content_length_value(h, d.length)) {
        d.error = length_error;
        return d;
    }
    d.kind = d.length > 0 ? framing::length : framing::none;
    return d;
}

}  // namespace

framing_decision request_framing(const http_msg::http_header_info& h) {
    return framing_from_fields(h,
                               "http_stream_filter::analize_cached_request_header_and_invoke_state(): Failed to "
                               "get_len_from_content_lenght();, m_query_info.m_content_length=",
                               framing::none);
}

framing_decision response_framing(const http_msg::http_header_info& h, int status, bool head_request) {
    if ((status >= 100 && status <= 199) || status == 204 || status == 304 || head_request) return {};
    return framing_from_fields(h,
                               "http_stream_filter::analize_cached_reply_header_and_invoke_state(): Failed to "
                               "get_len_from_content_lenght();, m_query_info.m_content_length=",
                               framing::until_close);
}

void message_reader::reset() {
    m_state = read_state::start_line;
    m_framing = framing::none;
    m_left = 0;
    m_scan = 0;
    m_partial_checked = 0;
    m_consumed = 0;
    m_data = nullptr;
    m_data_size = 0;
    m_body_complete = false;
    m_reason = "";
    m_reason_level = -1;
    m_start = start_line_info();
}

void message_reader::set_framing(framing f, std::int64_t length) {
    m_framing = f;
    m_scan = 0;
    switch (f) {
        case framing::none:
            m_state = read_state::start_line;
            break;
        case framing::length:
            m_left = length;
            m_state = length > 0 ? read_state::body_length : read_state::start_line;
            break;
        case framing::chunked:
            m_left = 0;
            m_state = read_state::chunk_size;
            break;
        case framing::until_close:
            m_state = read_state::until_close;
            break;
    }
}

void message_reader::end_message() {
    m_state = read_state::start_line;
    m_framing = framing::none;
    m_left = 0;
    m_scan = 0;
}

read_event message_reader::fail(const char* reason, int level) {
    m_state = read_state::failed;
    m_reason = reason;
    m_reason_level = level;
    return read_event::error;
}

read_event message_reader::next(const char* p, std::size_t n) {
    m_consumed = 0;
    m_data = nullptr;
    m_data_size = 0;
    m_body_complete = false;
    switch (m_state) {
        case read_state::start_line:
            return read_start_line(p, n);
        case read_state::header:
            return read_header(p, n);
        case read_state::body_length:
        case read_state::chunk_data:
        case read_state::until_close:
            return read_body(p, n);
        case read_state::chunk_size:
            return read_chunk_size(p, n);
        case read_state::chunk_data_end:
            return read_chunk_data_end(p, n);
        case read_state::trailer:
            return read_trailer(p, n);
        case read_state::framing_pending:
        case read_state::failed:
            break;
    }
    return read_event::need_more;
}

read_event message_reader::read_start_line(const char* p, std::size_t n) {
    if (n == 0) return read_event::need_more;
    if (p[0] == '\r' || p[0] == '\n') {
        std::size_t k = 1;
        while (k < n && (p[k] == '\r' || p[k] == '\n')) ++k;
        m_consumed = k;
        m_scan = 0;
        return read_event::blank_line;
    }
    const void* f = m_scan < n ? std::memchr(p + m_scan, '\n', n - m_scan) : nullptr;
    if (!f) {
        m_scan = n;
        if (m_direction == direction::request) {
            if (!request_line_prefix(p, n))
                return fail("http_stream_filter::handle_buff_out: Wasn't identified as HTTP protocol valid start line",
                            1);
            if (n > k_max_request_line) return fail("http_stream_filter::handle_buff_out: Too long URI line");
        } else if (n > k_max_status_line) {
            return fail("http_stream_filter::handle_buff_in: Too long response line");
        }
        return read_event::need_more;
    }
    std::size_t len = static_cast<std::size_t>(static_cast<const char*>(f) - p) + 1;
    bool ok = m_direction == direction::request ? parse_request_line(p, len) : parse_status_line(p, len);
    if (!ok) {
        return m_direction == direction::request
                   ? fail("http_stream_filter::handle_invoke_query_line(): Failed to match first line: ", 1)
                   : fail("http_stream_filter::handle_invoke_reply_line(): Failed to match first response line:");
    }
    m_consumed = len;
    m_scan = 0;
    m_partial_checked = 0;
    m_state = read_state::header;
    return read_event::start_line;
}

bool message_reader::parse_request_line(const char* p, std::size_t n) {
    boost::cmatch m;
    // The line must start the buffer: skipping to a later line would drop
    // the bytes before it.
    if (!boost::regex_search(p, p + n, m, request_line_re(), boost::match_continuous)) return false;
    if (static_cast<std::size_t>(m.length(0)) != n) return false;
    m_start = start_line_info();
    if (m[4].matched)
        m_start.method = 0;
    else if (m[5].matched)
        m_start.method = 3;
    else if (m[6].matched)
        m_start.method = 1;
    else if (m[7].matched)
        m_start.method = 2;
    else
        m_start.method = 4;
    m_start.major = to_int(m[11]);
    m_start.minor = to_int(m[12]);
    m_start.target.assign(m[10].first, m[10].second);
    m_start.method_name.assign(m[2].first, m[2].second);
    return true;
}

bool message_reader::parse_status_line(const char* p, std::size_t n) {
    boost::cmatch m;
    if (!boost::regex_search(p, p + n, m, status_line_re(), boost::match_continuous)) return false;
    m_start = start_line_info();
    m_start.major = to_int(m[1]);
    m_start.minor = to_int(m[2]);
    m_start.status = to_int(m[3]);
    if (m[5].matched) m_start.reason.assign(m[5].first, m[5].second);
    return true;
}

bool message_reader::request_line_prefix(const char* p, std::size_t n) {
    // A partial match of a growing line is re-run only when the line has
    // grown enough to matter, so a long line costs linear time.
    if (n > 1024 && n < 2 * m_partial_checked && n <= k_max_request_line) return true;
    m_partial_checked = n;
    boost::cmatch m;
    return boost::regex_match(p, p + n, m, request_line_re(), boost::match_default | boost::match_partial);
}

// The block ends with its first empty line: a line end directly at the start
// (an empty block) or a line end followed by another ("\n\n" or "\n\r\n").
// The same rule whatever the chunking, so the end never depends on where a
// piece was cut.
bool message_reader::find_block_end(const char* p, std::size_t n, std::size_t& end) {
    if (n >= 1 && p[0] == '\n') {
        end = 1;
        return true;
    }
    if (n >= 1 && p[0] == '\r') {
        if (n < 2) return false;
        if (p[1] == '\n') {
            end = 2;
            return true;
        }
    }
    std::size_t from = m_scan > 2 ? m_scan - 2 : 0;
    while (from < n) {
        const void* f = std::memchr(p + from, '\n', n - from);
        if (!f) break;
        std::size_t j = static_cast<std::size_t>(static_cast<const char*>(f) - p);
        if (j + 1 >= n) {
            m_scan = j;
            return false;
        }
        if (p[j + 1] == '\n') {
            end = j + 2;
            return true;
        }
        if (p[j + 1] == '\r') {
            if (j + 2 >= n) {
                m_scan = j;
                return false;
            }
            if (p[j + 2] == '\n') {
                end = j + 3;
                return true;
            }
        }
        from = j + 1;
    }
    m_scan = n;
    return false;
}

read_event message_reader::read_header(const char* p, std::size_t n) {
    std::size_t end = 0;
    if (!find_block_end(p, n, end)) {
        if (n > k_max_block) return fail("http_stream_filter::handle_buff_in: Too long header area");
        return read_event::need_more;
    }
    m_consumed = end;
    m_scan = 0;
    m_state = read_state::framing_pending;
    return read_event::header;
}

read_event message_reader::read_body(const char* p, std::size_t n) {
    if (n == 0) return read_event::need_more;
    std::size_t take = n;
    if (m_state != read_state::until_close) {
        std::uint64_t left = static_cast<std::uint64_t>(m_left);
        if (take > left) take = static_cast<std::size_t>(left);
        if (take < left && take < m_min_piece) return read_event::need_more;
        m_left -= static_cast<std::int64_t>(take);
    }
    m_consumed = take;
    m_data = p;
    m_data_size = take;
    if (m_left == 0) {
        if (m_state == read_state::body_length) {
            m_state = read_state::start_line;
            m_framing = framing::none;
            m_body_complete = true;
        } else if (m_state == read_state::chunk_data) {
            m_state = read_state::chunk_data_end;
        }
    }
    return read_event::body;
}

read_event message_reader::read_chunk_size(const char* p, std::size_t n) {
    static const char* const k_bad = "http_stream_filter::handle_chunked(*) Failed to get length from chunked head:";
    const void* f = m_scan < n ? std::memchr(p + m_scan, '\n', n - m_scan) : nullptr;
    if (!f) {
        m_scan = n;
        if (n > k_max_chunk_line) return fail(k_bad);
        return read_event::need_more;
    }
    std::size_t nl = static_cast<std::size_t>(static_cast<const char*>(f) - p);
    if (nl > k_max_chunk_line) return fail(k_bad);
    // chunk-size [ BWS ; extension ... ] CRLF; extensions are ignored.
    std::size_t i = 0;
    while (i < nl && blank(p[i])) ++i;
    std::size_t digits_b = i;
    std::uint64_t size = 0;
    while (i < nl && hex_value(p[i]) >= 0) {
        size = size * 16 + static_cast<std::uint64_t>(hex_value(p[i]));
        if (size > INT32_MAX) return fail(k_bad);
        ++i;
    }
    if (i == digits_b) return fail(k_bad);
    while (i < nl && blank(p[i])) ++i;
    if (i < nl && p[i] != ';' && !(p[i] == '\r' && i + 1 == nl)) return fail(k_bad);
    m_consumed = nl + 1;
    m_scan = 0;
    if (size > 0) {
        m_left = static_cast<std::int64_t>(size);
        m_state = read_state::chunk_data;
    } else {
        m_state = read_state::trailer;
    }
    return read_event::chunk_framing;
}

read_event message_reader::read_chunk_data_end(const char* p, std::size_t n) {
    if (n == 0) return read_event::need_more;
    std::size_t k = 0;
    if (p[0] == '\r') {
        if (n < 2) return read_event::need_more;
        k = 1;
    }
    if (p[k] != '\n') return fail("http_stream_filter::handle_chunked(*) Failed to get length from chunked head:");
    m_consumed = k + 1;
    m_state = read_state::chunk_size;
    return read_event::chunk_framing;
}

read_event message_reader::read_trailer(const char* p, std::size_t n) {
    std::size_t end = 0;
    if (!find_block_end(p, n, end)) {
        if (n > k_max_block) return fail("http_stream_filter: Wrong last chunk terminator");
        return read_event::need_more;
    }
    m_consumed = end;
    m_data = p;
    m_data_size = end;
    m_scan = 0;
    m_state = read_state::start_line;
    m_framing = framing::none;
    return read_event::message_done;
}

}  // namespace http_reader
