#include "http/http_stream_filter.h"

#include <algorithm>
#include <boost/regex.hpp>
#include <cstring>
#include <exception>
#include <string>

#include "core/ascii.h"
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

// Requests waiting for their responses: a client that pipelines more than
// this is not followed (each one holds its parsed header).
constexpr std::size_t k_max_queued_requests = 1000;
// Body pieces are handed to the chain in at least this many bytes (or the
// rest of the body or chunk).
constexpr std::size_t k_min_piece = 1200;

const boost::regex& recognition_re() {
    // Never destroyed, like every compiled expression of the engine: a
    // connection thread may still be filtering while the process exits.
    static const boost::regex& re = *new boost::regex(
        "\\A(\\r?\\n)*(((OPTIONS)|(GET)|(HEAD)|(POST)|(PUT)|(DELETE)|(TRACE)) \\S+ HTTP/(\\d+).(\\d+))\\r?\\n",
        boost::regex::perl | boost::regex::icase);
    return re;
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

// The first handler of an unencoded body: the encoding sniffer, which then
// feeds the content handler.
class path_through_hander : public i_sub_handler {
public:
    explicit path_through_hander(http_stream_filter* owner) : m_owner(owner) {}
    bool update_in(byte_string& data) override { return m_owner->sniff_update(data); }
    void stop(byte_string& data) override { m_owner->sniff_stop(data); }
    bool hands_back_on_failure() const override { return m_owner->content_hands_back(); }

private:
    http_stream_filter* m_owner;
};

// A charset named in the first bytes of a page ("charset=" of a meta tag or
// an XML declaration's "encoding=").
bool declares_charset(const char* p, std::size_t n) {
    static const boost::regex& re =
        *new boost::regex("(charset|encoding)\\s*=", boost::regex::perl | boost::regex::icase);
    return boost::regex_search(p, p + n, re);
}

// Shifted UTF-7 runs ("+" three base64 letters or digits "-") that hold a
// letter: encoded text always does, a phone number never.
int utf7_runs_with_letters(const char* p, std::size_t n) {
    int runs = 0;
    for (std::size_t i = 0; i + 4 < n; ++i) {
        if (p[i] != '+' || p[i + 4] != '-') continue;
        bool alnum = true, letter = false;
        for (std::size_t k = 1; k <= 3; ++k) {
            char c = p[i + k];
            bool d = c >= '0' && c <= '9';
            bool l = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            alnum = alnum && (d || l);
            letter = letter || l;
        }
        if (alnum && letter) ++runs;
    }
    return runs;
}

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
        m_qualifier = std::make_shared<allow_all_qualifier>();
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
    m_req.reset();
    m_resp.reset();
    m_body_reply_type = http_body_transfer_undefined;
    m_reply_content_length = 0;
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
    m_in_pos = m_out_pos = 0;
    m_request_line_held = false;
    m_query_blocked = false;
    m_query_upgrade = false;
    m_upgrade_passed = false;
    m_raw_body = false;
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

// The decoded stream ended. The body still ends where its framing says: a
// further gzip member may follow, and bytes after the end are the decoder's
// to drop, not the start of the next response.
void http_stream_filter::set_handler_finished() {
    if (m_state_in == http_state_body) m_handler_finished = true;
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
    if (m_out_pos == 0 && n == m_buff_out.size()) {
        m_ready_out.emplace_back();
        m_ready_out.back().swap(m_buff_out);
        return;
    }
    m_ready_out.emplace_back(m_buff_out, m_out_pos, n);
    m_out_pos += n;
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
    return piece;
}

// ---------------------------------------------------------------------------
// Failure: both directions stop being followed; whatever either side holds
// goes out in order, on the next pass of its direction (or a fake in pass).

void http_stream_filter::fail() { m_state_in = m_state_out = http_state_error; }

void http_stream_filter::log_reader_error(const http_reader::message_reader& r, const byte_string& buff,
                                          std::size_t pos) {
    // The lines that name the offending bytes carry the first of them.
    const char* reason = r.reason();
    bool with_bytes =
        std::strstr(reason, "Failed to match") != nullptr || std::strstr(reason, "chunked head") != nullptr;
    byte_string shown = with_bytes ? buff.substr(pos, 2000) : byte_string();
    if (r.reason_level() < 0) {
        ZEM_LOG_ERROR(k_source, reason << shown);
    } else {
        ZEM_LOG(r.reason_level(), reason << shown << "\n");
    }
}

bool http_stream_filter::holds_out() const { return !m_ready_out.empty() || avail_out() > 0 || m_request_line_held; }

bool http_stream_filter::holds_in() const {
    return !m_ready_in.empty() || avail_in() > 0 || !m_held_header.empty() || !m_filtered_body.empty() ||
           !m_sniff_buffer.empty() || (m_body_reply_type != http_body_transfer_undefined && !m_handler_declined);
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
            std::uint64_t total =
                m_filtered_body.size() + flushed.size() + static_cast<std::uint64_t>(m_resp.body_left());
            if (static_cast<std::int64_t>(total) != m_reply_content_length) set_content_length(m_held_header, total);
            emit_in(m_held_header);
            emit_in(m_filtered_body);
            if (!flushed.empty()) emit_in(flushed);
        } else if (!m_raw_body && (m_body_reply_type == http_body_transfer_chunked || m_stream_mode == 1)) {
            if (!flushed.empty()) emit_chunk(flushed);
            // The server's own chunks follow; announce the rest of the chunk
            // we were in so that the stream stays well framed.
            if (m_body_reply_type == http_body_transfer_chunked &&
                m_resp.state() == http_reader::read_state::chunk_data && m_resp.body_left() > 0) {
                byte_string head = hex_size(static_cast<std::size_t>(m_resp.body_left())) + "\r\n";
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
    return boost::regex_search(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(crlf + 2), recognition_re());
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
    if (m_state_out == http_state_path_through && !failed() && avail_out() == 0) return true;
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
    using http_reader::read_event;
    append_chunk(m_buff_out, m_out_pos, data);
    while (true) {
        if (m_state_out == http_state_path_through) {
            emit_out_bytes(avail_out());
            break;
        }
        if (m_state_out == http_state_upgrade_wait) {
            // Bytes a client sends before the answer to its upgrade pass as
            // they are (they may be the new protocol already).
            if (avail_out() > 0) m_upgrade_passed = true;
            emit_out_bytes(avail_out());
            break;
        }
        std::size_t before = m_query_queue.size();
        const char* p = m_buff_out.data() + m_out_pos;
        read_event ev = m_req.next(p, avail_out());
        std::size_t used = m_req.consumed();
        switch (ev) {
            case read_event::need_more:
                break;
            case read_event::blank_line:
                // Blank lines between messages pass.
                emit_out_bytes(used);
                continue;
            case read_event::start_line:
                handle_invoke_query_line();
                m_out_pos += used;
                continue;
            case read_event::header:
                if (!analize_cached_request_header_and_invoke_state(used)) return false;
                if (m_query_queue.size() > k_max_queued_requests && m_query_queue.size() > before) {
                    ZEM_LOG_ERROR(k_source,
                                  "http_stream_filter::handle_buff_out: Too many requests waiting for responses");
                    fail();
                    return false;
                }
                continue;
            case read_event::body:
            case read_event::chunk_framing:
            case read_event::message_done: {
                // A request body is streamed as it came, framing and all.
                if (m_query_blocked)
                    m_out_pos += used;  // a blocked request's body goes nowhere
                else
                    emit_out_bytes(used);
                bool done = ev == read_event::message_done || (ev == read_event::body && m_req.body_complete());
                if (done) complete_request();
                continue;
            }
            case read_event::error:
                log_reader_error(m_req, m_buff_out, m_out_pos);
                fail();
                return false;
        }
        break;
    }
    return true;
}

void http_stream_filter::handle_invoke_query_line() {
    const http_reader::start_line_info& s = m_req.start();
    m_query_info = query_info();
    m_query_info.method = s.method;
    m_query_info.major = s.major;
    m_query_info.version = s.minor;
    m_query_info.uri = s.target;
    m_query_info.method_name = s.method_name;
    m_query_info.request_line.assign(m_buff_out, m_out_pos, m_req.consumed());
    m_state_out = http_state_header;
    m_request_line_held = true;
}

bool http_stream_filter::analize_cached_request_header_and_invoke_state(std::size_t end) {
    query_info& q = m_query_info;
    m_request_line_held = false;
    q.header_length = static_cast<int>(end);
    q.request_id = zem_io_commands::next_request_id();
    parse_cached_header(m_buff_out.data() + m_out_pos, end, q.header);
    byte_string block(m_buff_out, m_out_pos, end);
    m_out_pos += end;

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

    http_reader::framing_decision f = http_reader::request_framing(q.header);
    if (f.error) {
        ZEM_LOG_ERROR(k_source, f.error << (q.header.transfer_encoding.empty() ? q.header.content_length
                                                                               : q.header.transfer_encoding));
        // Every client byte still goes to the server as it came.
        byte_string line = q.request_line;
        emit_out(line);
        emit_out(block);
        fail();
        return false;
    }
    m_query_upgrade = has_token(q.header.connection, "upgrade") && !trim(q.header.upgrade).empty();
    m_query_blocked = q.blocked;
    if (!q.blocked) {
        byte_string line = q.request_line;
        emit_out(line);
        emit_out(block);
    }
    // The request waits for its answer from now on: a server may answer
    // before the body is complete (an early refusal, a reply to
    // "Expect: 100-continue"), and that answer is this request's.
    query_info queued = q;
    m_query_queue.push_back(std::move(queued));
    if (q.blocked && m_feedback) m_feedback->request_fake_in();
    m_req.set_framing(f.kind, f.length);
    if (f.kind == http_reader::framing::none)
        complete_request();
    else
        m_state_out = http_state_body;
    return true;
}

void http_stream_filter::complete_request() {
    // A client that asked to switch protocols speaks the new one only after
    // the server agreed; until the answer its bytes wait here. A blocked
    // request is answered by us and the connection closes.
    m_state_out = (m_query_upgrade && !m_query_blocked) ? http_state_upgrade_wait : http_state_start_line;
    m_query_blocked = false;
    m_query_upgrade = false;
    m_query_info = query_info();
}

// The server answered an upgrade request: a switch lets the client's bytes
// pass from now on; a refusal resumes reading requests.
void http_stream_filter::end_upgrade_wait(bool switched) {
    if (m_state_out != http_state_upgrade_wait) return;
    // After a refusal requests are read again, unless the client already sent
    // bytes we passed unread: then its stream cannot be followed any more.
    m_state_out = (switched || m_upgrade_passed) ? http_state_path_through : http_state_start_line;
    m_upgrade_passed = false;
}

void http_stream_filter::edit_request_header(byte_string& block) {
    query_info& q = m_query_info;
    if (q.header.cookie_spans.empty() && !q.header.referer_span.present()) return;
    byte_string address = q.header.host + q.uri;
    std::vector<http_header_span> cut;
    if (!q.header.cookie_spans.empty() && !m_qualifier->get_permission_by_index(idx_cookies)) {
        // Every Cookie line goes, each reported with its own value.
        http_header_info h;
        for (const http_header_span& span : q.header.cookie_spans) {
            cut.push_back(span);
            parse_cached_header(block.data() + span.begin, span.end - span.begin + (span.end < block.size() ? 1 : 0),
                                h);
            const byte_string& value = h.cookie.empty() ? q.header.cookie : h.cookie;
            zem_io_commands::general_notify_object_blocked(m_feedback, q.request_id, value.size(), idx_cookies,
                                                           wide(value), byte_string(), address);
        }
    }
    if (q.header.referer_span.present() && !m_qualifier->get_permission_by_index(idx_referers)) {
        cut.push_back(q.header.referer_span);
        zem_io_commands::general_notify_object_blocked(m_feedback, q.request_id, q.header.referer.size(), idx_referers,
                                                       wide(q.header.referer), byte_string(), address);
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
    if (ascii_iequal(ext, "swf") && !qual->get_permission_by_index(idx_flash)) {
        q.reply = http_canned::flash_replacement();
        zem_io_commands::general_notify_object_blocked(m_feedback, q.request_id, 0, idx_flash, wide(q.request_line),
                                                       byte_string(), address);
        return true;
    }
    if (!set(idx_ads_by_link)) return false;
    bool script = ascii_iequal(ext, "js");
    bool image =
        ascii_iequal(ext, "gif") || ascii_iequal(ext, "jpg") || ascii_iequal(ext, "jpeg") || ascii_iequal(ext, "png");
    if (!script && !image && !ascii_iequal(ext, "swf")) return false;
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
    if (m_state_out == http_state_body && m_query_blocked) {
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
    if (m_state_in == http_state_path_through && avail_in() == 0) return true;
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
    // Reported after the chunk is read, so the count includes it.
    if (m_state_in == http_state_body) {
        std::uint32_t now = platform::tick_count();
        if (now - m_last_progress > 1000) {
            zem_io_commands::general_notify_transfer_progress(m_feedback, m_current_id, m_bytes_in);
            m_last_progress = now;
        }
    }
    flush_ready(m_ready_in, data);
    return true;
}

bool http_stream_filter::handle_buff_in(byte_string& data) {
    using http_reader::read_event;
    append_chunk(m_buff_in, m_in_pos, data);
    while (true) {
        if (m_state_in == http_state_path_through) {
            emit_in_bytes(avail_in());
            break;
        }
        // A body handed to the chain comes in pieces of a useful size; one
        // that passes as it came goes on as it arrives.
        // Content of other types that no installed handler takes is declined
        // by its first piece, so that piece need not wait either.
        bool passes =
            m_handler_declined || m_raw_body || (m_content_handler == m_file_handler.get() && !m_decoder_chosen);
        m_resp.set_min_piece(passes ? 0 : k_min_piece);
        const char* p = m_buff_in.data() + m_in_pos;
        read_event ev = m_resp.next(p, avail_in());
        std::size_t used = m_resp.consumed();
        switch (ev) {
            case read_event::need_more:
                break;
            case read_event::blank_line:
                emit_in_bytes(used);
                continue;
            case read_event::start_line:
                handle_invoke_reply_line();
                emit_in_bytes(used);  // the status line passes at once
                continue;
            case read_event::header:
                if (!analize_cached_reply_header_and_invoke_state(used)) return false;
                continue;
            case read_event::body:
            case read_event::chunk_framing:
            case read_event::message_done:
                // The bytes of the response as the server sent them, whatever
                // the chunking: header (counted at its analysis) and body.
                m_bytes_in += used;
                if (!handle_retriving_reply_body(ev)) return false;
                continue;
            case read_event::error:
                log_reader_error(m_resp, m_buff_in, m_in_pos);
                fail();
                return false;
        }
        break;
    }
    return true;
}

void http_stream_filter::handle_invoke_reply_line() {
    const http_reader::start_line_info& s = m_resp.start();
    m_reply_info = reply_info();
    m_reply_info.major = s.major;
    m_reply_info.minor = s.minor;
    m_reply_info.status = s.status;
    m_reply_info.reason = s.reason;
    m_state_in = http_state_header;
    // Interim answers (1xx) leave the request waiting for its final one.
    if (s.status >= 100 && s.status <= 199) return;
    if (m_query_queue.empty()) {
        ZEM_LOG_ERROR(k_source, "http_stream_filter::handle_invoke_reply_line() No queryed request info for response");
        m_answered_query = query_info();
        return;
    }
    m_answered_query = std::move(m_query_queue.front());
    m_query_queue.pop_front();
}

// A body that is not ours to change: a content coding we cannot decode (its
// bytes are not text, and re-labelling them would break them) or a part of
// a representation (a range: its bytes must fit the other parts).
bool http_stream_filter::untouchable_body() const {
    const http_header_info& h = m_reply_info.header;
    if (m_reply_info.status == 206 || h.content_range) return true;
    const byte_string& list = h.content_encoding;
    std::size_t at = 0;
    while (at < list.size()) {
        std::size_t comma = list.find(',', at);
        if (comma == byte_string::npos) comma = list.size();
        byte_string coding = trim(list.substr(at, comma - at));
        if (!coding.empty() && !ascii_iequal(coding, "gzip") && !ascii_iequal(coding, "x-gzip") &&
            !ascii_iequal(coding, "deflate") && !ascii_iequal(coding, "x-deflate") && !ascii_iequal(coding, "identity"))
            return true;
        at = comma + 1;
    }
    return false;
}

bool http_stream_filter::analize_cached_reply_header_and_invoke_state(std::size_t end) {
    reply_info& r = m_reply_info;
    parse_cached_header(m_buff_in.data() + m_in_pos, end, r.header);
    byte_string block = take_in(end);
    const int status = r.status;

    if (status >= 100 && status <= 199) {
        // An interim answer: its header passes, the final answer follows.
        // A switch of protocols ends HTTP on this connection.
        emit_in(block);
        if (status == 101) {
            m_state_in = http_state_path_through;
            end_upgrade_wait(true);
            m_resp.end_message();
            return true;
        }
        m_state_in = http_state_start_line;
        m_resp.set_framing(http_reader::framing::none);
        return true;
    }
    end_upgrade_wait(false);

    m_bytes_in = end;
    m_current_id = m_answered_query.request_id;
    m_last_progress = platform::tick_count();
    m_state_in = http_state_body;
    m_reply_content_length = 0;
    std::int64_t len = 0;
    if (http_reader::content_length_value(r.header, len)) m_reply_content_length = len;
    zem_io_commands::http_notify_response(m_feedback, m_current_id, zem_io_commands::version_code(r.major, r.minor),
                                          r.header.content_type, static_cast<std::uint64_t>(m_reply_content_length),
                                          r.status, r.header.content_encoding, r.header.transfer_encoding);
    m_raw_body = untouchable_body();
    prepare_response(block, !m_raw_body);

    http_reader::framing_decision f = http_reader::response_framing(r.header, status, m_answered_query.method == 3);
    if (f.error) {
        ZEM_LOG_ERROR(k_source, f.error << (f.kind == http_reader::framing::chunked ? r.header.transfer_encoding
                                                                                    : r.header.content_length));
        emit_in(block);
        fail();
        return false;
    }
    if (f.kind == http_reader::framing::none) {
        emit_in(block);
        m_resp.set_framing(f.kind);
        finish_response(1);
        return true;
    }
    if (f.kind == http_reader::framing::until_close && is_multipart()) {
        ZEM_LOG_ERROR(k_source, "Unsupported MULTIPART BODY.");
        emit_in(block);
        fail();
        return false;
    }
    if (m_raw_body) {
        // Passed as it came, framing and all, as it arrives.
        m_handler_declined = true;
        m_body_reply_type = f.kind == http_reader::framing::chunked  ? http_body_transfer_chunked
                            : f.kind == http_reader::framing::length ? http_body_transfer_content_length
                                                                     : http_body_transfer_connection_close;
        emit_in(block);
        m_resp.set_framing(f.kind, f.length);
        return true;
    }
    switch (f.kind) {
        case http_reader::framing::chunked:
            m_body_reply_type = http_body_transfer_chunked;
            // Transfer-Encoding wins; a Content-Length beside it would mislead
            // the client about the re-chunked body.
            if (!r.header.content_length_spans.empty()) {
                http_header_info h;
                parse_cached_header(block.data(), block.size(), h);
                cut_spans(block, h.content_length_spans);
            }
            emit_in(block);
            break;
        case http_reader::framing::length:
            m_body_reply_type = http_body_transfer_content_length;
            m_held_header.swap(block);
            break;
        default: {
            static const boost::regex& close_re =
                *new boost::regex("^\\s*close", boost::regex::perl | boost::regex::icase);
            if (!r.header.connection.empty() && boost::regex_search(r.header.connection, close_re)) {
                m_body_reply_type = http_body_transfer_connection_close;
            } else {
                ZEM_LOG(2, "Undefinded transfer type, consider http_body_transfer_connection_close method.\n");
                m_body_reply_type = http_body_transfer_connection_close;
            }
            emit_in(block);
            break;
        }
    }
    m_resp.set_framing(f.kind, f.length);
    return true;
}

bool http_stream_filter::is_multipart() const {
    static const boost::regex& re =
        *new boost::regex("^\\s*multipart/([\\w\\-]+); boundary=((\"(.*?)\")|(\\\\\"(.*?)\\\\\")|([^\\s;]*))",
                          boost::regex::perl | boost::regex::icase);
    return boost::regex_search(m_reply_info.header.content_type, re);
}

void http_stream_filter::prepare_response(byte_string& block, bool decode) {
    reply_info& r = m_reply_info;
    byte_string page = m_answered_query.header.host + m_answered_query.uri;
    for (http_content_slot* s : {&m_html_handler, &m_wide_html_handler, &m_script_handler}) {
        if (s->reset_document) s->reset_document();
    }
    for (http_content_slot* s : {&m_html_handler, &m_wide_html_handler}) {
        if (s->set_page_address) s->set_page_address(page);
    }
    m_swapper.reset();

    static const boost::regex& enc_re =
        *new boost::regex("^.*?((gzip)|(deflate))", boost::regex::perl | boost::regex::icase);
    boost::smatch em;
    m_decoder_chosen = false;
    m_decoded_sent = false;
    m_decoder_pending = nullptr;
    m_encoding_handler = m_path_through;
    if (decode && !r.header.content_encoding.empty() && boost::regex_search(r.header.content_encoding, em, enc_re) &&
        m_hooks.decoder) {
        http_decoder_slot d = m_hooks.decoder(this, em[3].matched);
        if (d.handler) {
            m_encoding_handler = d.handler;
            m_decoder_pending = d.has_pending_output;
            m_decoder_chosen = true;
        }
    }

    static const boost::regex& type_re =
        *new boost::regex("^\\s*((text/((html)|(javascript)))|(image/gif))(;\\s*(charset=([\\w\\-]+)))?",
                          boost::regex::perl | boost::regex::icase);
    static const boost::regex& charset_re =
        *new boost::regex("((utf-7)|(utf-8)|(utf-16)|([\\w-]+))", boost::regex::perl | boost::regex::icase);
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
        // Each image starts clean: what one body left in the filter (a body
        // labelled GIF that was not one, a cut-off image) must not decide
        // the next.
        m_gif_filter.reset();
        if (m_hooks.gif) m_gif_filter = m_hooks.gif(m_qualifier.get(), page, m_feedback);
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
    // A charset the server declared wins over a guess: UTF-7 is looked for
    // only in text that names no charset, and a run of digits ("+420-", a
    // phone number) is not taken for a shifted UTF-7 sequence.
    static const boost::regex& utf7_re =
        *new boost::regex("(.*\\+([a-z0-9]{3})\\-){2,}", boost::regex::perl | boost::regex::icase);
    bool mark = false;
    if (m_reply_info.charset_kind == 0 && !declares_charset(m_sniff_buffer.data(), n)) {
        const char* b = m_sniff_buffer.data();
        boost::cmatch m;
        mark = boost::regex_search(b, b + n, m, utf7_re, boost::match_default | boost::match_partial) && m[0].matched &&
               utf7_runs_with_letters(b, n) >= 2;
    }
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

// One event of a response body. Raw bodies go on as they came; the others
// go through the chain and are framed for what it produced.
bool http_stream_filter::handle_retriving_reply_body(http_reader::read_event ev) {
    using http_reader::read_event;
    const std::size_t used = m_resp.consumed();
    if (m_raw_body) {
        bool done = ev == read_event::message_done || (ev == read_event::body && m_resp.body_complete());
        emit_in_bytes(used);
        if (done) finish_response(1);
        return true;
    }
    switch (m_body_reply_type) {
        case http_body_transfer_chunked:
            if (ev == read_event::chunk_framing) {
                m_in_pos += used;  // our own chunk lines replace the server's
                return true;
            }
            if (ev == read_event::message_done) {
                byte_string trailer = take_in(used);
                finish_chunked(trailer.data(), trailer.size());
                return true;
            }
            {
                byte_string piece = take_in(used);
                handle_chunked(piece);
            }
            return true;
        case http_body_transfer_content_length: {
            bool complete = m_resp.body_complete();
            byte_string piece = take_in(used);
            return handle_reply_measure(piece, complete);
        }
        case http_body_transfer_connection_close: {
            byte_string piece = take_in(used);
            if (!m_handler_declined && !feed_chain(piece)) m_handler_declined = true;
            if (!piece.empty()) emit_in(piece);
            return true;
        }
        default:
            ZEM_LOG_ERROR(k_source,
                          "http_stream_filter::handle_retriving_reply_body(): Undefined m_body_reply_type state:"
                              << m_body_reply_type);
            fail();
            return false;
    }
}

void http_stream_filter::handle_chunked(byte_string& piece) {
    if (!m_handler_declined && !feed_chain(piece)) m_handler_declined = true;
    emit_chunk(piece);
}

// The last chunk: what the chain still holds goes as a chunk of its own, then
// the last chunk with the server's trailer fields.
void http_stream_filter::finish_chunked(const char* trailer, std::size_t size) {
    byte_string last;
    if (!m_handler_declined) stop_chain(last);
    emit_chunk(last);
    byte_string end = "0\r\n";
    end.append(trailer, size);
    emit_in(end);
    finish_response(3);
}

// Hands a piece to the chain. A decoder hands out its output in bounded
// parts: each part goes on (held or sent, as the body's framing says) before
// the next is pulled, so one call never gathers a decompression bomb's whole
// output in one string, and nothing is left pending for stop to drain at once.
// The chain is other components' code: an exception from it counts as giving
// up on this response, and the piece goes on as it came, unless decoded parts
// have gone on already (compressed bytes cannot follow them).
bool http_stream_filter::feed_chain(byte_string& piece) {
    const bool keep = !m_encoding_handler->hands_back_on_failure();
    byte_string saved;
    if (keep) saved = piece;
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
    if (keep) piece.swap(saved);
    return false;
}

bool http_stream_filter::content_hands_back() const {
    // While the sniffer still collects, the handler may yet change.
    return m_sniff_done && m_content_handler && m_content_handler->hands_back_on_failure();
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

// A piece of a length-delimited body; 'complete' when it is the last.
bool http_stream_filter::handle_reply_measure(byte_string& piece, bool complete) {
    const std::int64_t left = m_resp.body_left();
    bool declined_now = false;
    if (!m_handler_declined) {
        m_handler_finished = false;
        if (!feed_chain(piece)) {
            m_handler_declined = true;
            declined_now = true;
        }
    }
    if (declined_now && m_stream_mode == 0) {
        // The announced length no longer holds in general: what the chain
        // produced so far plus the rest, which passes unfiltered.
        std::int64_t produced = static_cast<std::int64_t>(m_filtered_body.size() + piece.size());
        if (m_reply_content_length - left != produced &&
            !set_content_length(m_held_header, static_cast<std::uint64_t>(produced + left))) {
            ZEM_LOG_ERROR(k_source,
                          "http_stream_filter::handle_reply_measure(): Filed to fix header size :" << m_held_header);
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
        if (m_stream_mode == 0 && m_filtered_body.size() + piece.size() > http_max_held_body) overflow_held_body(piece);
        if (!m_handler_declined) {
            if (m_stream_mode != 0) {
                if (!complete) {
                    emit_body_piece(piece);
                    return true;
                }
                return finish_length_body(piece);
            }
            if (!complete) {
                // One allocation for the whole held body (pages are only
                // touched as bytes arrive), instead of a chain of copies.
                if (m_filtered_body.empty())
                    m_filtered_body.reserve(
                        std::min<std::size_t>(static_cast<std::size_t>(m_reply_content_length), http_max_held_body) +
                        m_held_header.size() + 64);
                m_filtered_body.append(piece);
                return true;
            }
            return finish_length_body(piece);
        }
    }
    emit_body_piece(piece);
    if (complete) {
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
        ZEM_LOG_ERROR(k_source,
                      "http_stream_filter::handle_reply_measure(): Filed to fix header size :" << m_held_header);
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
        std::int64_t left = m_resp.body_left();
        if (static_cast<std::int64_t>(produced) + left != m_reply_content_length)
            set_content_length(m_held_header, produced + static_cast<std::uint64_t>(left));
        emit_in(m_held_header);
        emit_in(m_filtered_body);
        return;
    }
    // Decoded content has no known length: re-frame the rest.
    bool http11 = m_answered_query.major == 1 && m_answered_query.version >= 1;
    // Drop every Content-Length line (and, for a body that ends at the
    // close, every Connection line: ours replaces them).
    http_header_info h;
    parse_cached_header(m_held_header.data(), m_held_header.size(), h);
    cut_spans(m_held_header, h.content_length_spans);
    for (int guard = 0; !http11 && guard < 64; ++guard) {
        parse_cached_header(m_held_header.data(), m_held_header.size(), h);
        if (!h.connection_span.present()) break;
        cut_spans(m_held_header, {h.connection_span});
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
    m_resp.end_message();
    m_body_reply_type = http_body_transfer_undefined;
    m_reply_content_length = 0;
    m_held_header.clear();
    m_filtered_body.clear();
    m_reply_info = reply_info();
    m_answered_query = query_info();
    m_last_progress = 0;
    m_sniff_done = true;
    m_sniff_buffer.clear();
    m_handler_declined = false;
    m_handler_finished = false;
    m_raw_body = false;
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
    if (m_raw_body) {
        if (avail_in() > 0) emit_in_bytes(avail_in());
    } else if (m_body_reply_type == http_body_transfer_chunked) {
        // What the chain still holds, and the data of an unfinished chunk,
        // are sent; the short last chunk tells the client the body was cut.
        bool in_chunk = m_resp.state() == http_reader::read_state::chunk_data;
        byte_string piece;
        if (in_chunk) piece = take_in(std::min<std::size_t>(avail_in(), static_cast<std::size_t>(m_resp.body_left())));
        if (!m_handler_declined) {
            if (piece.empty() || feed_chain(piece)) stop_chain(piece);
        }
        emit_chunk(piece);
        if (in_chunk) {
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
            if (!piece.empty()) ok = feed_chain(piece);
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
