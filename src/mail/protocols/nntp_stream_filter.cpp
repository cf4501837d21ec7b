#include "mail/protocols/nntp_stream_filter.h"

#include <cctype>
#include <cstring>

#include "core/ascii.h"
#include "host/mail_commands.h"
#include "host/zem_io_commands.h"
#include "log/log.h"
#include "platform/clock.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool ends_crlf(const byte_string& l) { return l.size() >= 2 && l[l.size() - 2] == '\r' && l.back() == '\n'; }

// Commands a news client may open its session with.
const char* const first_commands[] = {
    "ARTICLE", "AUTHINFO", "BODY", "CAPABILITIES", "CHECK",   "DATE",     "GROUP",     "HDR",     "HEAD",
    "HELP",    "IHAVE",    "LAST", "LISTGROUP",    "LIST",    "MODE",     "NEWGROUPS", "NEWNEWS", "NEXT",
    "OVER",    "POST",     "QUIT", "SLAVE",        "STAT",    "TAKETHIS", "WILDMAT",   "XGTITLE", "XHDR",
    "XINDEX",  "XOVER",    "XPAT", "XPATH",        "XREPLIC", "XROVER",   "XTHREAD",
};

// Replies followed by lines up to a lone dot (211 only after LISTGROUP).
bool multi_line_code(int code) {
    switch (code) {
        case 100:
        case 101:
        case 215:
        case 221:
        case 222:
        case 224:
        case 225:
        case 230:
        case 231:
        case 282:
            return true;
        default:
            return false;
    }
}

}  // namespace

nntp_stream_filter::nntp_stream_filter(i_connection_feedback* feedback, const mail::mail_handler_hooks& hooks)
    : m_feedback(feedback), m_mail(std::make_shared<mail::mail_filter>(feedback, hooks)) {
    m_line.reserve(300);
    reset_article();
}

void nntp_stream_filter::reset_article() {
    m_summary = mail::mail_info_summary();
    m_summary.outgoing = 0;
    m_summary.code_page = 0;
    m_summary.source_protocol = mail::source_nntp;
    m_summary.feedback = m_feedback;
    m_article_bytes = 0;
    m_last_tick = 0;
}

bool nntp_stream_filter::update_in(byte_string& data) {
    switch (m_state) {
        case nntp_state::not_nntp:
        case nntp_state::error:
            return false;
        case nntp_state::detecting:
            if (m_greeting_seen) {  // the server spoke again before the client
                m_state = nntp_state::not_nntp;
                return false;
            }
            // Watched on a copy: 'data' goes on as it is.
            for (std::size_t i = 0; i < data.size(); ++i) {
                if (m_greeting_seen) {
                    m_state = nntp_state::not_nntp;
                    return true;
                }
                m_line.push_back(data[i]);
                if (m_line.size() > 2 && ends_crlf(m_line)) {
                    if (m_line.compare(0, 3, "200") != 0 || (m_line[3] != ' ' && m_line[3] != '\r')) {
                        m_state = nntp_state::not_nntp;
                        return true;
                    }
                    m_greeting_seen = true;
                } else if (m_line.size() > max_reply_line) {
                    m_state = nntp_state::error;
                    return true;
                }
            }
            return true;
        default:
            break;
    }
    std::size_t pos = 0;
    while (pos < data.size() && m_state != nntp_state::not_nntp && m_state != nntp_state::error) {
        const std::size_t lf = data.find('\n', pos);
        const std::size_t end = lf == byte_string::npos ? data.size() : lf + 1;
        m_line.append(data, pos, end - pos);
        pos = end;
        const std::size_t bound = m_state == nntp_state::replies ? max_reply_line : max_text_line;
        if (lf != byte_string::npos && m_line.size() <= bound) {
            server_line();
        } else if (m_line.size() > bound) {
            ZEM_LOG(1, "NNTP: line too long, no longer followed\n");
            if (m_state == nntp_state::article) abandon_article();
            m_output.append(m_line);
            m_line.clear();
            m_state = nntp_state::error;
        }
    }
    if (pos < data.size()) m_output.append(data, pos, byte_string::npos);
    data.swap(m_output);
    m_output.clear();
    return true;
}

void nntp_stream_filter::server_line() {
    switch (m_state) {
        case nntp_state::replies:
            reply_line();
            return;
        case nntp_state::article:
            article_line();
            return;
        case nntp_state::multi_line:
            if (m_line == ".\r\n" || m_line == ".\n") m_state = nntp_state::replies;
            m_output.append(m_line);
            m_line.clear();
            return;
        default:
            m_output.append(m_line);
            m_line.clear();
            return;
    }
}

void nntp_stream_filter::reply_line() {
    const bool reply = m_line.size() >= 4 && is_digit(m_line[0]) && is_digit(m_line[1]) && is_digit(m_line[2]) &&
                       (m_line[3] == ' ' || m_line[3] == '\r');
    m_output.append(m_line);
    if (!reply) {
        ZEM_LOG(1, "NNTP: not a reply line, no longer followed: " << m_line << "\n");
        m_line.clear();
        m_state = nntp_state::not_nntp;
        return;
    }
    const int code = (m_line[0] - '0') * 100 + (m_line[1] - '0') * 10 + (m_line[2] - '0');
    m_line.clear();
    if (code == 220) {
        m_state = nntp_state::article;
        mail::start_message(m_summary);
        m_last_tick = platform::tick_count();
    } else if (code == 211 && m_listgroup_pending > 0) {
        --m_listgroup_pending;
        m_state = nntp_state::multi_line;
    } else if (multi_line_code(code)) {
        m_state = nntp_state::multi_line;
    }
}

void nntp_stream_filter::article_line() {
    if (m_line == ".\r\n") {
        end_article();
        return;
    }
    m_article_bytes += m_line.size();
    const std::uint32_t now = platform::tick_count();
    if (now - m_last_tick > 1000) {
        zem_io_commands::general_notify_transfer_progress(m_feedback, m_summary.message_id, m_article_bytes);
        m_last_tick = now;
    }
    byte_string piece;
    piece.swap(m_line);
    m_dots.decode_piece(piece);
    unsigned released = 0;
    m_mail->update(piece, &released, &m_summary);
    if (!piece.empty()) {
        m_dots.encode_piece(piece);
        m_output.append(piece);
    }
}

void nntp_stream_filter::end_article() {
    flush_article();
    m_output.append(m_line);  // ".\r\n"
    m_line.clear();
    m_state = nntp_state::replies;
    zem_io_commands::general_notify_transfer_complete(m_feedback, m_summary.message_id, m_article_bytes, 3);
    reset_article();
}

void nntp_stream_filter::abandon_article() {
    flush_article();
    reset_article();
}

// What the decoder and the mail filter still hold goes on, stuffed again.
// The decoder may still hold the last line end: it belongs to the message,
// before the filter's own end.
void nntp_stream_filter::flush_article() {
    byte_string piece;
    m_dots.flush_decoder(piece);
    unsigned released = 0;
    if (!piece.empty()) m_mail->update(piece, &released, &m_summary);
    byte_string rest;
    m_mail->stop(rest);
    piece.append(rest);
    m_dots.encode_piece(piece);
    m_dots.flush_encoder(piece);
    m_output.append(piece);
}

void nntp_stream_filter::stop_in(byte_string& data) {
    if (m_state == nntp_state::not_nntp || m_state == nntp_state::error || m_state == nntp_state::detecting) {
        m_line.clear();  // while detecting the line was a copy
        return;
    }
    byte_string held;
    if (m_state == nntp_state::article) {
        abandon_article();
        held.swap(m_output);
    }
    held.append(m_line);
    m_line.clear();
    data.insert(0, held);
}

bool nntp_stream_filter::update_out(byte_string& data) {
    switch (m_state) {
        case nntp_state::not_nntp:
        case nntp_state::error:
            return false;
        case nntp_state::detecting:
            if (!m_greeting_seen || data.size() >= max_reply_line) {
                m_state = nntp_state::not_nntp;
                return false;
            }
            for (std::size_t i = 0; i < data.size(); ++i) {
                m_client_line.push_back(data[i]);
                if (m_client_line.size() > 2 && ends_crlf(m_client_line)) {
                    watch_first_command();
                    if (m_state == nntp_state::not_nntp) return false;
                    count_listgroup(data.substr(i + 1));  // pipelined after the first
                    return true;
                }
                if (m_client_line.size() >= max_reply_line) {
                    m_state = nntp_state::not_nntp;
                    return false;
                }
            }
            return true;
        default:
            count_listgroup(data);
            return true;
    }
}

void nntp_stream_filter::watch_first_command() {
    std::size_t w = 0;
    while (w < m_client_line.size() &&
           (std::isalnum(static_cast<unsigned char>(m_client_line[w])) || m_client_line[w] == '_'))
        ++w;
    const char next = w < m_client_line.size() ? m_client_line[w] : '\0';
    bool known = false;
    if (w > 0 && (next == ' ' || next == '\t' || next == '\r')) {
        for (const char* name : first_commands)
            if (std::strlen(name) == w && ascii_iequal(m_client_line.data(), w, name)) known = true;
    }
    m_line.clear();
    if (!known) {
        m_client_line.clear();
        m_state = nntp_state::not_nntp;
        return;
    }
    m_state = nntp_state::replies;
    ZEM_LOG(2, "NNTP Protocol matched.\n");
    count_listgroup(m_client_line);
    m_client_line.clear();
}

void nntp_stream_filter::count_listgroup(const byte_string& data) {
    for (char c : data) {
        if (c == '\n') {
            m_client_at_line_start = true;
            m_command_start.clear();
            continue;
        }
        if (!m_client_at_line_start) continue;
        m_command_start.push_back(c);
        if (m_command_start.size() == 10) {
            if (ascii_iequal(m_command_start.data(), 9, "LISTGROUP") &&
                (m_command_start[9] == ' ' || m_command_start[9] == '\r'))
                ++m_listgroup_pending;
            m_client_at_line_start = false;
        }
    }
}
