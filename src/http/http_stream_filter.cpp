#include "http/http_stream_filter.h"

#include <algorithm>
#include <boost/regex.hpp>
#include <cstring>
#include <exception>
#include <string>

#include "host/zem_io_commands.h"
#include "http/gif_filter.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/codepage.h"

using namespace http_msg;

namespace {

// Takes the rest of a body whose decoding failed after decoded text went on:
// the client has no Content-Encoding, so compressed bytes cannot follow.
class swallow_handler : public i_sub_handler {
public:
    bool update_in(byte_string& data) override {
        data.clear();
        return true;
    }
    void stop(byte_string&) override {}
};

const char* const k_source = "PLUGIN/HTTP/http";

// Longest request line still waited for, longest status line, longest header
// block, longest chunk-size line: past them the stream is not followed.
constexpr std::size_t k_max_request_line = 9000;
constexpr std::size_t k_max_status_line = 1000;
constexpr std::size_t k_max_header = 100000;
constexpr std::size_t k_max_chunk_line = 1024;
// Requests waiting for their responses: a client that pipelines more than
// this is not followed (each one holds its parsed header).
constexpr std::size_t k_max_queued_requests = 1000;
// Body pieces are handed to the chain in at least this many bytes (or the
// rest of the body or chunk).
constexpr std::int64_t k_min_piece = 1200;

const boost::regex& recognition_re() {
    static const boost::regex re(
        "\\A(\\r?\\n)*(((OPTIONS)|(GET)|(HEAD)|(POST)|(PUT)|(DELETE)|(TRACE)) \\S+ HTTP/(\\d+).(\\d+))\\r?\\n",
        boost::regex::perl | boost::regex::icase);
    return re;
}

const boost::regex& request_line_re() {
    static const boost::regex re(
        "^(((OPTIONS)|(GET)|(HEAD)|(POST)|(PUT)|(DELETE)|(TRACE)) (\\S+) HTTP/(\\d+).(\\d+))\\r?\\n",
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

wide_string wide(const byte_string& s) { return platform::ansi_to_wide(s); }

byte_string hex_size(std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    byte_string r;
    do {
        r.insert(r.begin(), digits[n & 15]);
        n >>= 4;
    } while (n);
    return r;
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// The first handler of an unencoded body: the encoding sniffer, which then
// feeds the content handler.
class path_through_hander : public i_sub_handler {
public:
    explicit path_through_hander(http_stream_filter* owner) : m_owner(owner) {}
    bool update_in(byte_string& data) override { return m_owner->sniff_update(data); }
    void stop(byte_string& data) override { m_owner->sniff_stop(data); }

private:
    http_stream_filter* m_owner;
};

// Content of other types: declined at once, so the body passes unchanged.
class file_handler : public i_sub_handler {
public:
    bool update_in(byte_string&) override { return false; }
    void stop(byte_string&) override {}
};

}  // namespace

// ---------------------------------------------------------------------------
// Construction and state

http_stream_filter::http_stream_filter(i_connection_feedback* feedback, const http_handler_hooks& hooks)
    : m_feedback(feedback), m_hooks(hooks) {
    if (m_hooks.qualifier) m_qualifier = m_hooks.qualifier(feedback);
    if (!m_qualifier) {
        class allow_all : public host_permission_qualifier {
        public:
            bool set_request(const byte_string& h, const byte_string& a, std::uint64_t id) override {
                m_host = h;
                m_address = a;
                m_id = id;
                return true;
            }
            wide_string get_host(const wide_string&) override { return platform::ansi_to_wide(m_host); }
            byte_string get_host(const byte_string&) override { return m_host; }
            wide_string get_address(const wide_string&) override { return platform::ansi_to_wide(m_address); }
            byte_string get_address(const byte_string&) override { return m_address; }
            void set_address(const wide_string& a) override { m_address = platform::wide_to_ansi(a); }
            void set_address(const byte_string& a) override { m_address = a; }
            void set_redirect(const byte_string&) override {}
            byte_string get_redirect() override { return byte_string(); }
            wide_string get_transparent_gif(const wide_string&) override { return wide_string(); }
            byte_string get_transparent_gif(const byte_string&) override { return byte_string(); }
            std::uint64_t get_request_id() override { return m_id; }
            std::int32_t* get_permissions() override { return m_permissions; }
            bool get_permission_by_index(int) override { return true; }
            bool check_ad_link(const wide_string&, byte_string&) override { return true; }
            bool check_ad_link(const byte_string&, byte_string&) override { return true; }
            bool check_ad_size(int, int) override { return true; }

        private:
            byte_string m_host, m_address;
            std::uint64_t m_id = 0;
            std::int32_t m_permissions[permission_array_words] = {};
        };
        m_qualifier = std::make_shared<allow_all>();
    }
    m_file_handler = std::make_shared<file_handler>();
    m_nothing_handler = std::make_shared<do_nothing_sub_handler>();
    make_handlers();
    reset_state();
}

http_stream_filter::~http_stream_filter() = default;

void http_stream_filter::make_handlers() {
    auto fill = [this](const decltype(m_hooks.html)& hook, http_content_slot& slot) {
        if (hook) slot = hook(m_qualifier.get(), m_feedback);
        if (!slot.handler) slot.handler = std::make_shared<do_nothing_sub_handler>();
    };
    fill(m_hooks.html, m_html_handler);
    fill(m_hooks.wide_html, m_wide_html_handler);
    fill(m_hooks.script, m_script_handler);
    m_html_target = m_html_handler.handler.get();
    m_wide_target = m_wide_html_handler.handler.get();
    m_other_target = m_file_handler.get();
}

bool http_stream_filter::reset_state() {
    m_state_in = m_state_out = http_state_initial;
    m_body_query_type = 5;
    m_body_reply_type = http_body_transfer_undefined;
    m_chunk_state = 3;
    m_body_left = m_reply_content_length = m_query_body_left = m_query_content_length = 0;
    m_held_header.clear();
    m_filtered_body.clear();
    m_query_info = query_info();
    m_query_queue.clear();
    m_answered_query = query_info();
    m_reply_info = reply_info();
    m_bytes_in = 0;
    m_last_progress = 0;
    m_current_id = 0;
    m_path_through = std::make_shared<path_through_hander>(this);
    m_encoding_handler = m_path_through;
    m_decoder_pending = nullptr;
    m_decoder_chosen = false;
    m_decoded_sent = false;
    m_content_handler = m_nothing_handler.get();
    m_sniff_done = true;
    m_sniff_buffer.clear();
    m_handler_declined = false;
    m_handler_finished = false;
    m_stream_mode = 0;
    m_buff_in.clear();
    m_buff_out.clear();
    m_ready_in.clear();
    m_ready_out.clear();
    m_in_pos = m_out_pos = m_in_scan = m_out_scan = m_partial_checked = 0;
    m_request_line_held = false;
    return true;
}

bool http_stream_filter::assign_html_filter(std::shared_ptr<i_sub_handler> handler) {
    ZEM_SCOPE_TRACE("http_stream_filter::assign_html_filter(*)");
    m_installed_html = std::move(handler);
    if (m_installed_html) m_html_target = m_wide_target = m_installed_html.get();
    return true;
}

bool http_stream_filter::assign_file_filter(std::shared_ptr<i_sub_handler> handler) {
    ZEM_SCOPE_TRACE("http_stream_filter::assign_file_filter(*)");
    m_installed_file = std::move(handler);
    if (m_installed_file) m_other_target = m_installed_file.get();
    return true;
}

std::shared_ptr<i_sub_handler> http_stream_filter::decoded_target() { return m_path_through; }

void http_stream_filter::set_handler_finished() {
    if ((m_state_in == http_state_body || m_state_in == http_state_path_through) &&
        m_body_reply_type == http_body_transfer_content_length)
        m_handler_finished = true;
}

byte_string http_stream_filter::current_host() const { return m_answered_query.header.host; }

// ---------------------------------------------------------------------------
// Buffers

void http_stream_filter::append_chunk(byte_string& buff, std::size_t& pos, byte_string& chunk) {
    if (pos >= buff.size()) {
        buff.clear();
        pos = 0;
    } else if (pos > 0) {
        buff.erase(0, pos);
        pos = 0;
    }
    take_chunk(buff, chunk);
}

void http_stream_filter::emit_out_bytes(std::size_t n) {
    if (n > avail_out()) n = avail_out();
    if (n == 0) return;
    m_ready_out.emplace_back(m_buff_out, m_out_pos, n);
    m_out_pos += n;
    m_out_scan = 0;
}

void http_stream_filter::emit_in_bytes(std::size_t n) {
    byte_string piece = take_in(n);
    if (!piece.empty()) emit_in(piece);
}

byte_string http_stream_filter::take_in(std::size_t n) {
    if (n > avail_in()) n = avail_in();
    byte_string piece;
    if (m_in_pos == 0 && n == m_buff_in.size()) {
        piece.swap(m_buff_in);
    } else {
        piece.assign(m_buff_in, m_in_pos, n);
        m_in_pos += n;
    }
    if (m_in_pos >= m_buff_in.size()) {
        m_buff_in.clear();
        m_in_pos = 0;
    }
    m_in_scan = 0;
    return piece;
}

// The end of a header block that starts at 'pos': the first "\r\n\r\n", else
// the first "\n\n". 'scan' remembers how far earlier calls searched.
bool http_stream_filter::find_header_end(const byte_string& buff, std::size_t pos, std::size_t& scan,
                                         std::size_t& end) {
    std::size_t from = pos + (scan > 3 ? scan - 3 : 0);
    std::size_t f = buff.find("\r\n\r\n", from);
    if (f != byte_string::npos) {
        end = f + 4 - pos;
        scan = 0;
        return true;
    }
    from = pos + (scan > 1 ? scan - 1 : 0);
    f = buff.find("\n\n", from);
    if (f != byte_string::npos) {
        end = f + 2 - pos;
        scan = 0;
        return true;
    }
    scan = buff.size() - pos;
    return false;
}

// ---------------------------------------------------------------------------
// Failure: both directions stop being followed; whatever either side holds
// goes out in order, on the next pass of its direction (or a fake in pass).

void http_stream_filter::fail() {
    m_state_in = m_state_out = http_state_error;
}

bool http_stream_filter::holds_out() const { return !m_ready_out.empty() || avail_out() > 0 || m_request_line_held; }

bool http_stream_filter::holds_in() const {
    return !m_ready_in.empty() || avail_in() > 0 || !m_held_header.empty() || !m_filtered_body.empty() ||
           !m_sniff_buffer.empty() ||
           (m_body_reply_type != http_body_transfer_undefined && !m_handler_declined);
}

void http_stream_filter::drain_out(byte_string& data) {
    byte_string tail;
    tail.swap(data);
    if (m_request_line_held) {
        m_request_line_held = false;
        byte_string line = m_query_info.request_line;
        emit_out(line);
    }
    if (avail_out() > 0) emit_out_bytes(avail_out());
    if (!tail.empty()) emit_out(tail);
    flush_ready(m_ready_out, data);
    m_buff_out.clear();
    m_out_pos = 0;
}

void http_stream_filter::drain_in(byte_string& data) {
    byte_string tail;
    tail.swap(data);
    if (m_body_reply_type != http_body_transfer_undefined) {
        // A body was in progress: let the chain give back what it holds.
        byte_string flushed;
        if (!m_handler_declined) {
            m_handler_declined = true;
            try {
                m_encoding_handler->stop(flushed);
            } catch (...) {
                ZEM_LOG_ERROR(k_source, "http_stream_filter: exception while flushing the body chain");
            }
        }
        if (m_body_reply_type == http_body_transfer_content_length && !m_held_header.empty()) {
            std::uint64_t total = m_filtered_body.size() + flushed.size() + static_cast<std::uint64_t>(m_body_left);
            if (static_cast<std::int64_t>(total) != m_reply_content_length) set_content_length(m_held_header, total);
            emit_in(m_held_header);
            emit_in(m_filtered_body);
            if (!flushed.empty()) emit_in(flushed);
        } else if (m_body_reply_type == http_body_transfer_chunked || m_stream_mode == 1) {
            if (!flushed.empty()) emit_chunk(flushed);
            // The server's own chunks follow; announce the rest of the chunk
            // we were in so that the stream stays well framed.
            if (m_body_reply_type == http_body_transfer_chunked && m_chunk_state == 1 && m_body_left > 0) {
                byte_string head = hex_size(static_cast<std::size_t>(m_body_left)) + "\r\n";
                emit_in(head);
            }
        } else if (!flushed.empty()) {
            emit_in(flushed);
        }
        m_body_reply_type = http_body_transfer_undefined;
    }
    m_held_header.clear();
    m_filtered_body.clear();
    m_sniff_buffer.clear();
    if (avail_in() > 0) emit_in_bytes(avail_in());
    if (!tail.empty()) emit_in(tail);
    flush_ready(m_ready_in, data);
    m_buff_in.clear();
    m_in_pos = 0;
}

// ---------------------------------------------------------------------------
// Client direction

bool http_stream_filter::recognise(const byte_string& chunk) {
    if (chunk.size() <= 13) return false;
    std::size_t crlf = chunk.find("\r\n");
    if (crlf == byte_string::npos) return false;
    return boost::regex_search(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(crlf + 2),
                               recognition_re());
}

bool http_stream_filter::update_out(byte_string& data) {
    ZEM_SCOPE_TRACE("http_stream_filter::update_out(*)");
    if (m_state_out == http_state_initial) {
        bool ok = false;
        try {
            ok = recognise(data);
        } catch (const std::exception& e) {
            ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter::update_out: " << e.what());
        }
        if (!ok) {
            m_state_in = m_state_out = http_state_not_http;
            return false;
        }
        m_state_in = m_state_out = http_state_start_line;
    }
    if (m_state_out == http_state_path_through && !failed()) return true;
    bool ok = false;
    if (!failed()) {
        try {
            ok = handle_buff_out(data);
        } catch (const std::exception& e) {
            ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter::update_out: " << e.what());
            fail();
        } catch (...) {
            ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter::update_out: (unkonown exception)");
            fail();
        }
    }
    if (failed() || !ok) {
        if (!failed()) fail();
        drain_out(data);
        // The server side may still hold bytes; the dispatcher hands them on
        // in the fake pass it makes before it lets this filter go.
        if (holds_in() && m_feedback) m_feedback->request_fake_in();
        return false;
    }
    flush_ready(m_ready_out, data);
    return true;
}

bool http_stream_filter::handle_buff_out(byte_string& data) {
    append_chunk(m_buff_out, m_out_pos, data);
    m_need_more = false;
    while (!m_need_more) {
        switch (m_state_out) {
        case http_state_start_line: {
            if (avail_out() == 0) {
                m_need_more = true;
                break;
            }
            char c = m_buff_out[m_out_pos];
            if (c == '\r' || c == '\n') {
                // Blank lines between messages pass, a whole run at once.
                std::size_t n = m_buff_out.find_first_not_of("\r\n", m_out_pos);
                emit_out_bytes(n == byte_string::npos ? avail_out() : n - m_out_pos);
                break;
            }
            std::size_t from = m_out_pos + m_out_scan;
            std::size_t nl = m_buff_out.find('\n', from);
            if (nl != byte_string::npos) {
                if (!handle_invoke_query_line(nl)) return false;
            } else {
                m_out_scan = avail_out();
                m_need_more = true;
                if (!handle_invoke_incomplete_query_line()) {
                    ZEM_LOG(1, "http_stream_filter::handle_buff_out: Wasn't identified as HTTP protocol valid "
                               "start line\n");
                    fail();
                    return false;
                }
                if (avail_out() > k_max_request_line) {
                    ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_buff_out: Too long URI line");
                    fail();
                    return false;
                }
            }
            break;
        }
        case http_state_header: {
            std::size_t end = 0;
            bool found = false;
            // A request line followed directly by the blank line has an
            // empty header block.
            if (avail_out() >= 1 && m_buff_out[m_out_pos] == '\n') {
                end = 1;
                found = true;
            } else if (avail_out() >= 2 && m_buff_out[m_out_pos] == '\r' && m_buff_out[m_out_pos + 1] == '\n') {
                end = 2;
                found = true;
            } else if (avail_out() >= 2 || (avail_out() == 1 && m_buff_out[m_out_pos] != '\r')) {
                found = find_header_end(m_buff_out, m_out_pos, m_out_scan, end);
            }
            if (found) {
                if (!analize_cached_request_header_and_invoke_state(end)) return false;
            } else {
                m_need_more = true;
                if (avail_out() > k_max_header) {
                    ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_buff_in: Too long header area");
                    fail();
                    return false;
                }
            }
            break;
        }
        case http_state_body:
            if (!handle_retriving_query_body()) return false;
            break;
        case http_state_path_through:
            emit_out_bytes(avail_out());
            m_need_more = true;
            break;
        case http_state_not_http:
            fail();
            return false;
        default:
            ZEM_LOG(0, "http_stream_filter::handle_char_out: Wrong state: " << m_state_out << "\n");
            fail();
            return false;
        }
        if (avail_out() == 0) m_need_more = true;
        if (m_query_queue.size() > k_max_queued_requests) {
            ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_buff_out: Too many requests waiting for responses");
            fail();
            return false;
        }
    }
    return true;
}

bool http_stream_filter::handle_invoke_query_line(std::size_t nl) {
    boost::cmatch m;
    const char* b = m_buff_out.data() + m_out_pos;
    const char* e = m_buff_out.data() + nl + 1;
    // The line must start the buffer: skipping to a later line would drop
    // the bytes before it.
    if (!boost::regex_search(b, e, m, request_line_re(), boost::match_continuous)) {
        ZEM_LOG(1, "http_stream_filter::handle_invoke_query_line(): Failed to match first line: "
                       << m_buff_out.substr(m_out_pos, 2000) << "\n");
        fail();
        return false;
    }
    m_query_info = query_info();
    if (m[4].matched)
        m_query_info.method = 0;
    else if (m[5].matched)
        m_query_info.method = 3;
    else if (m[6].matched)
        m_query_info.method = 1;
    else if (m[7].matched)
        m_query_info.method = 2;
    else
        m_query_info.method = 4;
    m_query_info.major = to_int(m[11]);
    m_query_info.version = to_int(m[12]);
    m_query_info.uri.assign(m[10].first, m[10].second);
    m_query_info.method_name.assign(m[2].first, m[2].second);
    m_query_info.request_line.assign(m[0].first, m[0].second);
    m_out_pos += static_cast<std::size_t>(m.length(0));
    m_out_scan = 0;
    m_partial_checked = 0;
    m_state_out = http_state_header;
    m_request_line_held = true;
    return true;
}

bool http_stream_filter::handle_invoke_incomplete_query_line() {
    // A partial match of a growing line is re-run only when the line has
    // grown enough to matter, so a long line costs linear time.
    std::size_t n = avail_out();
    if (n > 1024 && n < 2 * m_partial_checked && n <= k_max_request_line) return true;
    m_partial_checked = n;
    const char* b = m_buff_out.data() + m_out_pos;
    boost::cmatch m;
    return boost::regex_match(b, b + n, m, request_line_re(), boost::match_default | boost::match_partial);
}

bool http_stream_filter::analize_cached_request_header_and_invoke_state(std::size_t end) {
    query_info& q = m_query_info;
    m_request_line_held = false;
    q.header_length = static_cast<int>(end);
    q.request_id = zem_io_commands::next_request_id();
    parse_cached_header(m_buff_out.data() + m_out_pos, end, q.header);
    byte_string block(m_buff_out, m_out_pos, end);
    m_out_pos += end;
    m_out_scan = 0;

    byte_string address = q.header.host + q.uri;
    m_qualifier->set_request(q.header.host, address, q.request_id);
    zem_io_commands::http_notify_request(m_feedback, q.request_id, zem_io_commands::version_code(q.major, q.version),
                                         wide(q.header.host), wide(q.uri));
    m_pending_ids.push_back(q.request_id);

    edit_request_header(block);
    if (request_blocked()) {
        q.blocked = true;
        q.close_after = true;
    }

    bool upgrade = iequals(q.header.connection, "Upgrade") && iequals(q.header.upgrade, "WebSocket");
    bool complete = true;
    if (upgrade) {
        m_state_out = http_state_path_through;
        complete = false;
    } else if (!q.header.content_length.empty()) {
        std::int32_t len = 0;
        if (!get_len_from_content_lenght(q.header.content_length, len)) {
            ZEM_LOG_ERROR(k_source, "http_stream_filter::analize_cached_request_header_and_invoke_state(): Failed "
                                    "to get_len_from_content_lenght();, m_query_info.m_content_length="
                                        << q.header.content_length);
            // Every client byte still goes to the server as it came.
            byte_string line = q.request_line;
            emit_out(line);
            emit_out(block);
            fail();
            return false;
        }
        m_query_content_length = len;
        if (len > 0) {
            m_state_out = http_state_body;
            m_body_query_type = 1;
            m_query_body_left = len;
            complete = false;
        }
    }
    bool blocked = q.blocked;
    if (!blocked) {
        byte_string line = q.request_line;
        emit_out(line);
        emit_out(block);
    }
    if (complete) complete_request();
    return true;
}

void http_stream_filter::complete_request() {
    bool blocked = m_query_info.blocked;
    m_query_queue.push_back(std::move(m_query_info));
    if (blocked && m_feedback) m_feedback->request_fake_in();
    m_state_out = http_state_start_line;
    m_body_query_type = 5;
    m_query_body_left = m_query_content_length = 0;
    m_query_info = query_info();
}

bool http_stream_filter::handle_retriving_query_body() {
    if (m_body_query_type != 1) {
        ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_retriving_query_body(): Unexpected m_body_query_type "
                                "state:"
                                    << m_body_query_type);
        fail();
        return false;
    }
    std::size_t n = avail_out();
    if (static_cast<std::int64_t>(n) > m_query_body_left) n = static_cast<std::size_t>(m_query_body_left);
    m_query_body_left -= static_cast<std::int64_t>(n);
    if (m_query_info.blocked) {
        m_out_pos += n;  // a blocked request's body goes nowhere
    } else {
        emit_out_bytes(n);
    }
    if (m_query_body_left == 0) complete_request();
    return true;
}

void http_stream_filter::edit_request_header(byte_string& block) {
    query_info& q = m_query_info;
    if (!q.header.cookie_span.present() && !q.header.referer_span.present()) return;
    byte_string address = q.header.host + q.uri;
    std::vector<http_header_span> cut;
    if (q.header.cookie_span.present() && !m_qualifier->get_permission_by_index(idx_cookies)) {
        cut.push_back(q.header.cookie_span);
        zem_io_commands::general_notify_object_blocked(m_feedback, q.request_id, q.header.cookie.size(), idx_cookies,
                                                       wide(q.header.cookie), byte_string(), address);
    }
    if (q.header.referer_span.present() && !m_qualifier->get_permission_by_index(idx_referers)) {
        cut.push_back(q.header.referer_span);
        zem_io_commands::general_notify_object_blocked(m_feedback, q.request_id, q.header.referer.size(),
                                                       idx_referers, wide(q.header.referer), byte_string(), address);
    }
    cut_spans(block, cut);
}

bool http_stream_filter::request_blocked() {
    query_info& q = m_query_info;
    host_permission_qualifier* qual = m_qualifier.get();
    byte_string address = q.header.host + q.uri;
    if (!qual->get_permission_by_index(idx_host_enable)) {
        byte_string page;
        if (!zem_io_commands::http_query_block_message_html(page)) page.clear();
        byte_string redirect = qual->get_redirect();
        q.reply = redirect.empty() ? http_canned::block_page_reply(page) : http_canned::redirect_reply(redirect);
        zem_io_commands::general_notify_object_blocked(m_feedback, q.request_id, 0, idx_host_enable,
                                                       wide(q.header.host), byte_string(), address);
        return true;
    }
    const std::int32_t* perms = qual->get_permissions();
    auto set = [perms](int i) { return perms && perms[i] != content_action_allow; };
    if (!set(idx_flash) && !set(idx_ads_by_link)) return false;
    byte_string ext = uri_extension(q.uri);
    if (ext.empty()) return false;
    if (iequals(ext, "swf") && !qual->get_permission_by_index(idx_flash)) {
        q.reply = http_canned::flash_replacement();
        zem_io_commands::general_notify_object_blocked(m_feedback, q.request_id, 0, idx_flash, wide(q.request_line),
                                                       byte_string(), address);
        return true;
    }
    if (!set(idx_ads_by_link)) return false;
    bool script = iequals(ext, "js");
    bool image = iequals(ext, "gif") || iequals(ext, "jpg") || iequals(ext, "jpeg") || iequals(ext, "png");
    if (!script && !image && !iequals(ext, "swf")) return false;
    byte_string keyword;
    if (qual->check_ad_link(address, keyword)) return false;  // true: not an advertisement
    if (qual->get_permission_by_index(idx_ads_by_link)) return false;
    q.reply = script  ? http_canned::script_replacement()
              : image ? http_canned::gif_replacement()
                      : http_canned::flash_replacement();
    zem_io_commands::general_notify_object_blocked(m_feedback, q.request_id, 0, idx_ads_by_link, wide(q.request_line),
                                                   keyword, address);
    return true;
}

void http_stream_filter::stop_out(byte_string& data) {
    ZEM_SCOPE_TRACE("http_stream_filter::stop_out(*)");
    notify_stop_pending();
    // A request the client did not finish still goes to the server, as a
    // plain relay would pass it; only a blocked request's body stays back.
    if (m_state_out == http_state_body && m_query_info.blocked) {
        m_buff_out.clear();
        m_out_pos = 0;
    }
    if (holds_out()) {
        byte_string held;
        drain_out(held);
        data.append(held);
    }
}

// ---------------------------------------------------------------------------
// Server direction

bool http_stream_filter::update_in(byte_string& data) {
    ZEM_SCOPE_TRACE("http_stream_filter::update_in(*)");
    if (m_state_in == http_state_initial) {
        m_state_in = m_state_out = http_state_not_http;
        return false;
    }
    if (failed()) {
        drain_in(data);
        return holds_out();  // stay until the client side has had its bytes back
    }
    if (data.empty()) {
        ZEM_LOG(2, "HTTP: fake recieve came.\n");
        deliver_canned_replies();
        flush_ready(m_ready_in, data);
        return true;
    }
    if (m_state_in == http_state_body) {
        m_bytes_in += data.size();
        std::uint32_t now = platform::tick_count();
        if (now - m_last_progress > 1000) {
            zem_io_commands::general_notify_transfer_progress(m_feedback, m_current_id, m_bytes_in);
            m_last_progress = now;
        }
    }
    if (m_state_in == http_state_path_through) return true;
    bool ok = false;
    try {
        ok = handle_buff_in(data);
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter::update_in: " << e.what());
        fail();
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter::update_in: (unkonown exception)");
        fail();
    }
    if (failed() || !ok) {
        if (!failed()) fail();
        drain_in(data);
        return holds_out();
    }
    flush_ready(m_ready_in, data);
    return true;
}

bool http_stream_filter::handle_buff_in(byte_string& data) {
    append_chunk(m_buff_in, m_in_pos, data);
    m_need_more = false;
    while (!m_need_more) {
        switch (m_state_in) {
        case http_state_start_line: {
            if (avail_in() == 0) {
                m_need_more = true;
                break;
            }
            char c = m_buff_in[m_in_pos];
            if (c == '\r' || c == '\n') {
                std::size_t n = m_buff_in.find_first_not_of("\r\n", m_in_pos);
                emit_in_bytes(n == byte_string::npos ? avail_in() : n - m_in_pos);
                break;
            }
            std::size_t nl = m_buff_in.find('\n', m_in_pos + m_in_scan);
            if (nl != byte_string::npos) {
                if (!handle_invoke_reply_line(nl)) return false;
            } else {
                m_in_scan = avail_in();
                m_need_more = true;
                if (avail_in() > k_max_status_line) {
                    ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_buff_in: Too long response line");
                    fail();
                    return false;
                }
            }
            break;
        }
        case http_state_header: {
            // A status line followed directly by the blank line. An interim
            // response ends there; a final one has an empty header block and
            // is analysed like any other, so that it completes its request.
            std::size_t blank = 0;
            if (avail_in() >= 1 && m_buff_in[m_in_pos] == '\n')
                blank = 1;
            else if (avail_in() >= 2 && m_buff_in[m_in_pos] == '\r' && m_buff_in[m_in_pos + 1] == '\n')
                blank = 2;
            bool interim = m_reply_info.status >= 100 && m_reply_info.status <= 199;
            if (blank && interim) {
                emit_in_bytes(blank);
                m_state_in = http_state_start_line;
                break;
            }
            std::size_t end = blank;
            bool found = blank != 0;
            if (!found && avail_in() >= 2) found = find_header_end(m_buff_in, m_in_pos, m_in_scan, end);
            if (found) {
                if (!analize_cached_reply_header_and_invoke_state(end)) return false;
            } else {
                m_need_more = true;
                if (avail_in() > k_max_header) {
                    ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_buff_in: Too long header area");
                    fail();
                    return false;
                }
            }
            break;
        }
        case http_state_body:
            if (!handle_retriving_reply_body()) return false;
            break;
        case http_state_path_through:
            emit_in_bytes(avail_in());
            m_need_more = true;
            break;
        case http_state_not_http:
            fail();
            return false;
        default:
            ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_char_in(): Unexpected state: " << m_state_in);
            fail();
            return false;
        }
        if (avail_in() == 0) m_need_more = true;
    }
    return true;
}

bool http_stream_filter::handle_invoke_reply_line(std::size_t nl) {
    static const boost::regex re("^HTTP/(\\d+).(\\d+) ((\\d)\\d{2})( [^\\n]*)?\\r?\\n",
                                 boost::regex::perl | boost::regex::icase);
    boost::cmatch m;
    const char* b = m_buff_in.data() + m_in_pos;
    const char* e = m_buff_in.data() + nl + 1;
    if (!boost::regex_search(b, e, m, re, boost::match_continuous)) {
        ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_invoke_reply_line(): Failed to match first response line:"
                                    << m_buff_in.substr(m_in_pos, 2000));
        fail();
        return false;
    }
    m_reply_info = reply_info();
    m_reply_info.major = to_int(m[1]);
    m_reply_info.minor = to_int(m[2]);
    m_reply_info.status = to_int(m[3]);
    if (m[5].matched) m_reply_info.reason.assign(m[5].first, m[5].second);
    std::size_t len = static_cast<std::size_t>(m.length(0));
    m_state_in = http_state_header;
    m_in_scan = 0;
    if (m_reply_info.status < 100 || m_reply_info.status > 199) {
        if (m_query_queue.empty()) {
            ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_invoke_reply_line() No queryed request info for "
                                    "response");
            return true;  // the line stays in front of the header block
        }
        m_answered_query = std::move(m_query_queue.front());
        m_query_queue.pop_front();
    }
    emit_in_bytes(len);
    return true;
}

bool http_stream_filter::analize_cached_reply_header_and_invoke_state(std::size_t end) {
    m_bytes_in = end;
    m_current_id = m_answered_query.request_id;
    m_last_progress = platform::tick_count();
    reply_info& r = m_reply_info;
    parse_cached_header(m_buff_in.data() + m_in_pos, end, r.header);
    byte_string block = take_in(end);
    m_state_in = http_state_body;
    m_reply_content_length = 0;
    std::int32_t len = 0;
    bool got_len = get_len_from_content_lenght(r.header.content_length, len);
    if (got_len) m_reply_content_length = len;
    zem_io_commands::http_notify_response(m_feedback, m_current_id, zem_io_commands::version_code(r.major, r.minor),
                                          r.header.content_type, static_cast<std::uint64_t>(m_reply_content_length),
                                          r.status, r.header.content_encoding, r.header.transfer_encoding);
    prepare_response(block);

    if (iequals(r.header.connection, "Upgrade") && iequals(r.header.upgrade, "WebSocket")) {
        emit_in(block);
        m_state_in = http_state_path_through;
        return true;
    }
    bool empty_length = r.header.content_length.empty() || (got_len && len == 0);
    bool no_body_status = (r.status >= 100 && r.status <= 199) || r.status == 204 || r.status == 304;
    if (m_answered_query.method == 3 || (empty_length && no_body_status)) {
        emit_in(block);
        finish_response(1);
        return true;
    }
    if (!r.header.transfer_encoding.empty()) {
        if (!iequals(r.header.transfer_encoding, "chunked")) {
            ZEM_LOG_ERROR(k_source, "Wrong Transfer-Encoding:" << r.header.transfer_encoding);
            emit_in(block);
            fail();
            return false;
        }
        m_body_reply_type = http_body_transfer_chunked;
        m_chunk_state = 0;
        emit_in(block);
        return true;
    }
    if (!r.header.content_length.empty()) {
        if (!got_len) {
            ZEM_LOG_ERROR(k_source, "http_stream_filter::analize_cached_reply_header_and_invoke_state(): Failed to "
                                    "get_len_from_content_lenght();, m_query_info.m_content_length="
                                        << r.header.content_length);
            emit_in(block);
            fail();
            return false;
        }
        if (len == 0) {
            emit_in(block);
            finish_response(1);
            return true;
        }
        m_body_left = len;
        m_body_reply_type = http_body_transfer_content_length;
        m_held_header.swap(block);
        return true;
    }
    static const boost::regex close_re("^\\s*close", boost::regex::perl | boost::regex::icase);
    if (!r.header.connection.empty() && boost::regex_search(r.header.connection, close_re)) {
        m_body_reply_type = http_body_transfer_connection_close;
        emit_in(block);
        return true;
    }
    if (is_multipart()) {
        ZEM_LOG_ERROR(k_source, "Unsupported MULTIPART BODY.");
        m_body_reply_type = http_body_transfer_undefined;
        emit_in(block);
        fail();
        return false;
    }
    ZEM_LOG(2, "Undefinded transfer type, consider http_body_transfer_connection_close method.\n");
    m_body_left = 1200;
    m_body_reply_type = http_body_transfer_connection_close;
    emit_in(block);
    return true;
}

bool http_stream_filter::is_multipart() const {
    static const boost::regex re(
        "^\\s*multipart/([\\w\\-]+); boundary=((\"(.*?)\")|(\\\\\"(.*?)\\\\\")|([^\\s;]*))",
        boost::regex::perl | boost::regex::icase);
    return boost::regex_search(m_reply_info.header.content_type, re);
}

void http_stream_filter::prepare_response(byte_string& block) {
    reply_info& r = m_reply_info;
    byte_string page = m_answered_query.header.host + m_answered_query.uri;
    for (http_content_slot* s : {&m_html_handler, &m_wide_html_handler, &m_script_handler}) {
        if (s->reset_document) s->reset_document();
    }
    for (http_content_slot* s : {&m_html_handler, &m_wide_html_handler}) {
        if (s->set_page_address) s->set_page_address(page);
    }
    m_swapper.reset();

    static const boost::regex enc_re("^.*?((gzip)|(deflate))", boost::regex::perl | boost::regex::icase);
    boost::smatch em;
    m_decoder_chosen = false;
    m_decoded_sent = false;
    m_decoder_pending = nullptr;
    m_encoding_handler = m_path_through;
    if (!r.header.content_encoding.empty() && boost::regex_search(r.header.content_encoding, em, enc_re) &&
        m_hooks.decoder) {
        http_decoder_slot d = m_hooks.decoder(this, em[3].matched);
        if (d.handler) {
            m_encoding_handler = d.handler;
            m_decoder_pending = d.has_pending_output;
            m_decoder_chosen = true;
        }
    }

    static const boost::regex type_re(
        "^\\s*((text/((html)|(javascript)))|(image/gif))(;\\s*(charset=([\\w\\-]+)))?",
        boost::regex::perl | boost::regex::icase);
    static const boost::regex charset_re("((utf-7)|(utf-8)|(utf-16)|([\\w-]+))",
                                         boost::regex::perl | boost::regex::icase);
    r.content_kind = 3;
    boost::smatch tm;
    bool typed = boost::regex_search(r.header.content_type, tm, type_re);
    if (typed && (tm[4].matched || tm[5].matched)) {
        if (tm[4].matched) {
            r.content_kind = 0;
            m_content_handler = m_html_target;
        } else {
            r.content_kind = 1;
            m_content_handler = m_script_handler.handler.get();
        }
        m_sniff_done = false;
        r.charset_kind = 0;
        if (tm[8].matched) {
            r.charset = tm[9].str();
            boost::smatch cm;
            if (boost::regex_search(r.charset, cm, charset_re))
                r.charset_kind = cm[2].matched ? 1 : cm[3].matched ? 2 : cm[4].matched ? 3 : 4;
        }
    } else if (typed && tm[6].matched) {
        r.content_kind = 2;
        if (!m_gif_filter && m_hooks.gif) {
            m_gif_filter = m_hooks.gif(m_qualifier.get(), page, m_feedback);
        } else if (auto* g = dynamic_cast<gif_filter*>(m_gif_filter.get())) {
            // One filter serves every GIF of the connection: it reports each
            // under its own address.
            g->set_page_address(page);
        }
        if (!m_gif_filter) m_gif_filter = std::make_shared<do_nothing_sub_handler>();
        m_content_handler = m_gif_filter.get();
        // Image bytes are never read as text.
        m_sniff_done = true;
    } else {
        r.content_kind = 3;
        m_sniff_done = true;
        m_content_handler = m_other_target;
    }

    if (m_decoder_chosen && r.header.content_encoding_span.present()) {
        cut_spans(block, {r.header.content_encoding_span});
        // The held-back Content-Length line may have moved.
        if (r.header.content_length_span.begin > r.header.content_encoding_span.begin) {
            std::size_t d = r.header.content_encoding_span.end - r.header.content_encoding_span.begin;
            r.header.content_length_span.begin -= d;
            r.header.content_length_span.end -= d;
        }
    }
}

// ---------------------------------------------------------------------------
// The encoding sniffer

void http_stream_filter::decide_encoding() {
    std::size_t n = std::min<std::size_t>(200, m_sniff_buffer.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(m_sniff_buffer.data());
    std::size_t non_zero = 0, changes = 0;
    bool prev_zero = true;
    for (std::size_t i = 0; i < n; ++i) {
        bool z = p[i] == 0;
        if (!z) ++non_zero;
        if (z != prev_zero) ++changes;
        prev_zero = z;
    }
    if (n > 0 && non_zero >= n / 3 && changes >= n - n / 7) {
        if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
            if (m_hooks.utf16be) m_swapper = m_hooks.utf16be(m_wide_target);
            // Without an adapter big-endian text is not read at all.
            m_content_handler = m_swapper ? m_swapper.get() : m_file_handler.get();
        } else {
            m_content_handler = m_wide_target;
        }
        return;
    }
    static const boost::regex utf7_re("(.*\\+([a-z0-9]{3})\\-){2,}", boost::regex::perl | boost::regex::icase);
    boost::cmatch m;
    const char* b = m_sniff_buffer.data();
    bool mark = boost::regex_search(b, b + n, m, utf7_re, boost::match_default | boost::match_partial) &&
                m[0].matched;
    if (mark || m_reply_info.charset_kind == 1) {
        bool to_utf8 = mark && m_reply_info.charset_kind != 1;
        std::shared_ptr<i_sub_handler> d;
        if (m_hooks.utf7) d = m_hooks.utf7(m_wide_target, to_utf8);
        if (d) {
            m_utf7_decoder = d;
            m_content_handler = m_utf7_decoder.get();
        }
    }
}

bool http_stream_filter::sniff_update(byte_string& data) {
    if (m_sniff_done) return m_content_handler->update_in(data);
    m_sniff_buffer.append(data);
    data.clear();
    if (m_sniff_buffer.size() < 100) return true;
    decide_encoding();
    data.swap(m_sniff_buffer);
    m_sniff_buffer.clear();
    m_sniff_done = true;
    return m_content_handler->update_in(data);
}

void http_stream_filter::sniff_stop(byte_string& data) {
    if (!m_sniff_done) {
        m_sniff_done = true;
        if (m_sniff_buffer.size() > 20) {
            decide_encoding();
            m_content_handler->update_in(m_sniff_buffer);
        }
        data.append(m_sniff_buffer);
        m_sniff_buffer.clear();
    }
    m_content_handler->stop(data);
}

// ---------------------------------------------------------------------------
// Response bodies

bool http_stream_filter::handle_retriving_reply_body() {
    switch (m_body_reply_type) {
    case http_body_transfer_chunked:
        return handle_chunked();
    case http_body_transfer_content_length:
        return handle_reply_measure();
    case http_body_transfer_connection_close: {
        byte_string piece = take_in(avail_in());
        if (!m_handler_declined && !feed_chain(piece)) m_handler_declined = true;
        if (!piece.empty()) emit_in(piece);
        m_need_more = true;
        return true;
    }
    case http_body_transfer_multipart:
        m_need_more = true;
        return true;
    default:
        ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_retriving_reply_body(): Undefined m_body_reply_type state:"
                                    << m_body_reply_type);
        fail();
        return false;
    }
}

// Hands a piece to the chain. A decoder hands out its output in bounded
// parts: each part goes on (held or sent, as the body's framing says) before
// the next is pulled, so one call never gathers a decompression bomb's whole
// output in one string, and nothing is left pending for stop to drain at once.
// The chain is other components' code: an exception from it counts as giving
// up on this response, and the piece goes on as it came, unless decoded parts
// have gone on already (compressed bytes cannot follow them).
bool http_stream_filter::feed_chain(byte_string& piece) {
    byte_string saved = piece;
    try {
        bool ok = m_encoding_handler->update_in(piece);
        if (ok) pull_decoder(piece);
        if (ok && m_decoder_chosen && !piece.empty()) m_decoded_sent = true;
        return ok;
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter: body handler: " << e.what());
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter: body handler: (unkonown exception)");
    }
    if (m_decoded_sent) {
        drop_rest_of_decoded_body();
        piece.clear();
        return true;
    }
    piece.swap(saved);
    return false;
}

// Decoding failed after decoded text went on: the rest of the body is
// dropped (as when a compressed stream breaks) and the framing completes.
void http_stream_filter::drop_rest_of_decoded_body() {
    m_encoding_handler = std::make_shared<swallow_handler>();
    m_decoder_pending = nullptr;
}

// While the decoder has more output for the input it was given, sends 'piece'
// on and replaces it with the next part.
void http_stream_filter::pull_decoder(byte_string& piece) {
    while (m_decoder_pending && m_decoder_pending()) {
        deliver_decoded_part(piece);
        piece.clear();
        if (!m_encoding_handler->update_in(piece)) break;
    }
}

// One part of decoded output, in the order it came, placed as the body's
// transfer type says: held while the held body stays under its bound,
// re-framed and streamed past it.
void http_stream_filter::deliver_decoded_part(byte_string& part) {
    if (part.empty()) return;
    m_decoded_sent = true;
    switch (m_body_reply_type) {
    case http_body_transfer_chunked:
        emit_chunk(part);
        return;
    case http_body_transfer_content_length:
        if (m_stream_mode == 0) {
            if (m_filtered_body.size() + part.size() <= http_max_held_body) {
                m_filtered_body.append(part);
                return;
            }
            overflow_held_body(part);
        }
        emit_body_piece(part);
        return;
    default:
        emit_in(part);
        return;
    }
}

void http_stream_filter::stop_chain(byte_string& piece) {
    byte_string saved = piece;
    try {
        pull_decoder(piece);
        m_encoding_handler->stop(piece);
        return;
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter: body handler stop: " << e.what());
    } catch (...) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter: body handler stop: (unkonown exception)");
    }
    if (m_decoded_sent) {
        drop_rest_of_decoded_body();
        piece.clear();
        return;
    }
    piece.swap(saved);
    m_handler_declined = true;
}

void http_stream_filter::emit_chunk(byte_string& piece) {
    if (piece.empty()) return;
    byte_string head = hex_size(piece.size()) + "\r\n";
    emit_in(head);
    emit_in(piece);
    byte_string crlf = "\r\n";
    emit_in(crlf);
}

void http_stream_filter::emit_body_piece(byte_string& piece) {
    if (m_stream_mode == 1)
        emit_chunk(piece);
    else if (!piece.empty())
        emit_in(piece);
}

bool http_stream_filter::handle_reply_measure() {
    std::int64_t n = static_cast<std::int64_t>(avail_in());
    std::size_t take;
    if (m_body_left < n) {
        take = static_cast<std::size_t>(m_body_left);
        m_body_left = 0;
    } else if (m_body_left > n && n < k_min_piece) {
        m_need_more = true;
        return true;
    } else {
        take = static_cast<std::size_t>(n);
        m_body_left -= n;
    }
    byte_string piece = take_in(take);
    bool declined_now = false;
    if (!m_handler_declined) {
        m_handler_finished = false;
        if (!feed_chain(piece)) {
            m_handler_declined = true;
            declined_now = true;
        }
        if (m_handler_finished) m_body_left = 0;
    }
    if (declined_now && m_stream_mode == 0) {
        std::int64_t produced = static_cast<std::int64_t>(m_filtered_body.size() + piece.size());
        if (m_reply_content_length - m_body_left != produced &&
            !set_content_length(m_held_header, static_cast<std::uint64_t>(produced + m_body_left))) {
            ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_reply_measure(): Filed to fix header size :"
                                        << m_held_header);
            emit_in(m_held_header);
            emit_in(m_filtered_body);
            if (!piece.empty()) emit_in(piece);
            m_body_reply_type = http_body_transfer_undefined;
            fail();
            return false;
        }
        emit_in(m_held_header);
        emit_in(m_filtered_body);
    } else if (!m_handler_declined) {
        if (m_stream_mode == 0 && m_filtered_body.size() + piece.size() > http_max_held_body)
            overflow_held_body(piece);
        if (!m_handler_declined) {
            if (m_stream_mode != 0) {
                if (m_body_left > 0) {
                    emit_body_piece(piece);
                    return true;
                }
                return finish_length_body(piece);
            }
            if (m_body_left > 0) {
                // One allocation for the whole held body (pages are only
                // touched as bytes arrive), instead of a chain of copies.
                if (m_filtered_body.empty())
                    m_filtered_body.reserve(std::min<std::size_t>(static_cast<std::size_t>(m_reply_content_length),
                                                                  http_max_held_body) +
                                            m_held_header.size() + 64);
                m_filtered_body.append(piece);
                return true;
            }
            return finish_length_body(piece);
        }
    }
    emit_body_piece(piece);
    if (m_body_left == 0) {
        if (m_stream_mode == 1) {
            byte_string last = "0\r\n\r\n";
            emit_in(last);
        }
        finish_response(m_stream_mode ? 3 : 1);
    }
    return true;
}

// The whole body has been through the chain: flush it and send the held
// header with the length actually sent.
bool http_stream_filter::finish_length_body(byte_string& piece) {
    stop_chain(piece);
    if (m_stream_mode != 0) {
        emit_body_piece(piece);
        if (m_stream_mode == 1) {
            byte_string last = "0\r\n\r\n";
            emit_in(last);
        } else if (m_feedback) {
            m_feedback->request_stop();  // the client reads this body up to the close
        }
        finish_response(3);
        return true;
    }
    std::uint64_t total = m_filtered_body.size() + piece.size();
    if (static_cast<std::int64_t>(total) != m_reply_content_length && !set_content_length(m_held_header, total)) {
        ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_reply_measure(): Filed to fix header size :"
                                    << m_held_header);
        emit_in(m_held_header);
        emit_in(m_filtered_body);
        if (!piece.empty()) emit_in(piece);
        m_body_reply_type = http_body_transfer_undefined;
        fail();
        return false;
    }
    // One string for the client, built in the held body's own buffer (it
    // was reserved with room for the header): no second copy of the body.
    m_filtered_body.append(piece);
    m_filtered_body.insert(0, m_held_header);
    emit_in(m_filtered_body);
    finish_response(3);
    return true;
}

// The held filtered body reached its bound: send what is held and go on
// without holding. 'piece' (the latest output) is left for the caller.
void http_stream_filter::overflow_held_body(byte_string& piece) {
    if (!m_decoder_chosen) {
        // The rest keeps its length: flush the chain, fix the length to what
        // will be sent, and let the rest pass unfiltered.
        stop_chain(piece);
        m_handler_declined = true;
        std::uint64_t produced = m_filtered_body.size() + piece.size();
        if (static_cast<std::int64_t>(produced) + m_body_left != m_reply_content_length)
            set_content_length(m_held_header, produced + static_cast<std::uint64_t>(m_body_left));
        emit_in(m_held_header);
        emit_in(m_filtered_body);
        return;
    }
    // Decoded content has no known length: re-frame the rest.
    bool http11 = m_answered_query.major == 1 && m_answered_query.version >= 1;
    // Drop every Content-Length line (and, for a body that ends at the
    // close, every Connection line: ours replaces them).
    http_header_info h;
    for (int guard = 0; guard < 64; ++guard) {
        parse_cached_header(m_held_header.data(), m_held_header.size(), h);
        http_header_span span = h.content_length_span;
        if (!span.present() && !http11) span = h.connection_span;
        if (!span.present()) break;
        cut_spans(m_held_header, {span});
    }
    std::size_t at = m_held_header.size();
    bool crlf = at >= 2 && m_held_header.compare(at - 2, 2, "\r\n") == 0;
    at -= crlf ? 2 : 1;
    if (http11) {
        m_held_header.insert(at, crlf ? "Transfer-Encoding: chunked\r\n" : "Transfer-Encoding: chunked\n");
        m_stream_mode = 1;
    } else {
        m_held_header.insert(at, crlf ? "Connection: close\r\n" : "Connection: close\n");
        m_stream_mode = 2;
    }
    emit_in(m_held_header);
    emit_body_piece(m_filtered_body);
    m_filtered_body.clear();
}

bool http_stream_filter::handle_chunked() {
    while (avail_in() > 0) {
        if (m_chunk_state == 0) {
            char c = m_buff_in[m_in_pos];
            if (c == '\r' || c == '\n') {
                ++m_in_pos;
                continue;
            }
            // The chunk-size line.
            std::size_t i = m_in_pos;
            std::size_t digits = 0;
            while (i < m_buff_in.size()) {
                char d = m_buff_in[i];
                if (is_hex(d)) {
                    ++digits;
                    ++i;
                } else if (d == '\r' || d == ' ' || d == '\t') {
                    ++i;
                } else {
                    break;
                }
                if (i - m_in_pos > k_max_chunk_line) break;
            }
            bool bad = false;
            std::int64_t size = 0;
            if (i == m_buff_in.size()) {
                m_need_more = true;
                return true;
            }
            if (m_buff_in[i] != '\n') {
                bad = true;
            } else {
                std::size_t k = 0;
                while (k < digits && is_hex(m_buff_in[m_in_pos + k])) {
                    size = size * 16 + hex_value(m_buff_in[m_in_pos + k]);
                    if (size > INT32_MAX) break;
                    ++k;
                }
                if (k == 0 || size > INT32_MAX) bad = true;
            }
            std::size_t line_end = i + 1;
            if (!bad && size == 0) {
                std::size_t j = line_end;
                while (j < m_buff_in.size() && m_buff_in[j] == '\r' && j - m_in_pos <= k_max_chunk_line) ++j;
                if (j == m_buff_in.size()) {
                    m_need_more = true;
                    return true;
                }
                if (m_buff_in[j] != '\n') {
                    ZEM_LOG_ERROR(k_source, "http_stream_filter: Wrong last chunk terminator");
                    bad = true;
                } else {
                    line_end = j + 1;
                }
            }
            if (bad) {
                ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_chunked(*) Failed to get length from chunked head:"
                                            << m_buff_in.substr(m_in_pos, 200));
                fail();
                return false;
            }
            m_in_pos = line_end;
            if (size > 0) {
                m_body_left = size;
                m_chunk_state = 1;
                continue;
            }
            byte_string last;
            if (!m_handler_declined) stop_chain(last);
            emit_chunk(last);
            byte_string end = "0\r\n\r\n";
            emit_in(end);
            finish_response(3);
            return true;
        }
        if (m_chunk_state == 1) {
            std::int64_t n = static_cast<std::int64_t>(avail_in());
            std::size_t take;
            if (m_body_left < n) {
                take = static_cast<std::size_t>(m_body_left);
                m_body_left = 0;
            } else if (m_body_left > n && n < k_min_piece) {
                m_need_more = true;
                return true;
            } else {
                take = static_cast<std::size_t>(n);
                m_body_left -= n;
            }
            byte_string piece = take_in(take);
            if (!m_handler_declined && !feed_chain(piece)) m_handler_declined = true;
            emit_chunk(piece);
            if (m_body_left == 0) m_chunk_state = 0;
            continue;
        }
        ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_chunked(): Wrong state" << m_chunk_state);
        fail();
        return false;
    }
    m_need_more = true;
    return true;
}

void http_stream_filter::finish_response(std::uint32_t status) {
    zem_io_commands::general_notify_transfer_complete(m_feedback, m_current_id, m_bytes_in, status);
    remove_pending(m_current_id);
    reset_response_side();
    deliver_canned_replies();
}

void http_stream_filter::remove_pending(std::uint64_t id) {
    for (auto it = m_pending_ids.begin(); it != m_pending_ids.end(); ++it) {
        if (*it == id) {
            m_pending_ids.erase(it);
            return;
        }
    }
}

void http_stream_filter::reset_response_side() {
    m_state_in = http_state_start_line;
    m_body_reply_type = http_body_transfer_undefined;
    m_chunk_state = 3;
    m_body_left = m_reply_content_length = 0;
    m_held_header.clear();
    m_filtered_body.clear();
    m_reply_info = reply_info();
    m_answered_query = query_info();
    m_last_progress = 0;
    m_sniff_done = true;
    m_sniff_buffer.clear();
    m_handler_declined = false;
    m_handler_finished = false;
    m_stream_mode = 0;
    m_encoding_handler = m_path_through;
    m_decoder_pending = nullptr;
    m_decoder_chosen = false;
    m_decoded_sent = false;
    m_content_handler = m_nothing_handler.get();
}

// Canned replies go out in request order, only between responses: never in
// the middle of one, and as soon as the responses before them are complete.
void http_stream_filter::deliver_canned_replies() {
    if (m_state_in != http_state_start_line) return;
    while (!m_query_queue.empty() && m_query_queue.front().blocked) {
        query_info& q = m_query_queue.front();
        std::size_t len = q.reply.size();
        emit_in(q.reply);
        if (q.close_after && m_feedback) m_feedback->request_stop();
        zem_io_commands::general_notify_transfer_complete(m_feedback, q.request_id, len, 2);
        remove_pending(q.request_id);
        m_query_queue.pop_front();
    }
}

void http_stream_filter::body_flush(byte_string& data) {
    if (m_body_reply_type == http_body_transfer_chunked) {
        // What the chain still holds, and the data of an unfinished chunk,
        // are sent; the short last chunk tells the client the body was cut.
        byte_string piece;
        if (m_chunk_state == 1) piece = take_in(avail_in());
        if (!m_handler_declined) {
            if (piece.empty() || feed_chain(piece)) stop_chain(piece);
        }
        emit_chunk(piece);
        if (m_chunk_state == 1) {
            byte_string end = "0\r\n";
            emit_in(end);
        }
        m_buff_in.clear();
        m_in_pos = 0;
    } else if (m_body_reply_type == http_body_transfer_content_length ||
               m_body_reply_type == http_body_transfer_connection_close) {
        byte_string piece = take_in(avail_in());
        if (!m_handler_declined) {
            bool ok = true;
            if (m_body_left != 0 && !piece.empty()) ok = feed_chain(piece);
            if (ok) stop_chain(piece);
        }
        if (m_body_reply_type == http_body_transfer_content_length && m_stream_mode == 0 && !m_held_header.empty()) {
            m_filtered_body.append(piece);
            if (static_cast<std::int64_t>(m_filtered_body.size()) != m_reply_content_length)
                set_content_length(m_held_header, m_filtered_body.size());
            emit_in(m_held_header);
            emit_in(m_filtered_body);
        } else if (m_stream_mode == 1) {
            emit_chunk(piece);
            byte_string end = "0\r\n";
            emit_in(end);
        } else if (!piece.empty()) {
            emit_in(piece);
        }
    }
    byte_string out;
    flush_ready(m_ready_in, out);
    data.append(out);
}

void http_stream_filter::notify_stop_pending() {
    std::size_t count = m_pending_ids.size();
    for (std::uint64_t id : m_pending_ids)
        zem_io_commands::general_notify_transfer_complete(m_feedback, id, m_bytes_in, 0);
    if (count > 1) zem_io_commands::general_notify_transfer_complete(m_feedback, 0, m_bytes_in, 0);
    m_pending_ids.clear();
}

void http_stream_filter::stop_in(byte_string& data) {
    ZEM_SCOPE_TRACE("http_stream_filter::stop_in(*)");
    ZEM_LOG(4, "STOP_IN(*)(" << static_cast<const void*>(m_feedback) << ")\n");
    try {
        if (failed()) {
            byte_string held;
            drain_in(held);
            data.append(held);
        } else if (m_state_in == http_state_body) {
            body_flush(data);
        } else {
            // An unfinished status line or header block goes out as it came.
            byte_string held;
            flush_ready(m_ready_in, held);
            data.append(held);
            if (avail_in() > 0) data.append(m_buff_in, m_in_pos, byte_string::npos);
        }
    } catch (const std::exception& e) {
        ZEM_LOG_ERROR(k_source, "!!!EXCEPRION RAISED!!! http_stream_filter::stop_in: " << e.what());
        fail();
        byte_string held;
        drain_in(held);
        data.append(held);
    }
    m_buff_in.clear();
    m_in_pos = 0;
    notify_stop_pending();
    if (!failed() && m_state_in != http_state_path_through) reset_response_side();
    ZEM_LOG(4, "STOP RETURNED:" << data << "\n");
}
