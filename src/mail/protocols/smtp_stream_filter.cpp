#include "mail/protocols/smtp_stream_filter.h"

#include <cstring>

#include "log/log.h"
#include "mail/protocols/session_notes.h"

#define ZEM_SMTP_SOURCE "PLUGIN/SMTP/smtp"

namespace mail {
namespace {

// Length of the complete line at 'pos'; 0 while incomplete; npos when it
// outgrew 'bound'.
std::size_t front_line(const byte_string& buf, std::size_t pos, std::size_t bound) {
    const std::size_t n = buf.size() - pos;
    const std::size_t look = n < bound ? n : bound;
    const void* lf = std::memchr(buf.data() + pos, '\n', look);
    if (lf) return static_cast<std::size_t>(static_cast<const char*>(lf) - (buf.data() + pos)) + 1;
    return n >= bound ? byte_string::npos : 0;
}

bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

byte_string upper(const char* p, std::size_t n) {
    byte_string r(p, n);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}

// The first word of a line and its length (letters only).
std::size_t word_length(const char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n && is_alpha(p[i])) ++i;
    return i;
}

// Capabilities whose use the filter could not follow: a client that sees
// them offered would carry the message outside DATA (BDAT) or send
// commands ahead of replies across the message.
bool capability_hidden(const char* line, std::size_t n) {
    if (n < 4) return false;
    const std::size_t k = word_length(line + 4, n - 4);
    const byte_string w = upper(line + 4, k);
    return w == "CHUNKING" || w == "BINARYMIME" || w == "PIPELINING";
}

bool line_asks_binarymime(const char* line, std::size_t n) {
    return upper(line, n).find("BODY=BINARYMIME") != byte_string::npos;
}

}  // namespace

smtp_stream_filter::smtp_stream_filter(i_connection_feedback* feedback, const mail_handler_hooks& hooks)
    : m_feedback(feedback), m_mail(std::make_shared<mail_filter>(feedback, hooks)), m_message(m_mail, &m_summary) {
    m_summary.outgoing = 1;
    m_summary.source_protocol = source_smtp;
    m_summary.feedback = feedback;
}

bool smtp_stream_filter::reset_state() {
    m_state = smtp_state::greeting;
    m_turned = false;
    m_auth_continuation = false;
    m_pending.clear();
    m_ehlo_reply.clear();
    m_ehlo_lines = 0;
    return true;
}

bool smtp_stream_filter::update_in(byte_string& data) { return process(dir_in, data); }
bool smtp_stream_filter::update_out(byte_string& data) { return process(dir_out, data); }

void smtp_stream_filter::consume(int dir, std::size_t n, byte_string* out) {
    byte_string& b = m_buf[dir];
    if (out) out->append(b, m_pos[dir], n);
    m_pos[dir] += n;
    if (m_pos[dir] == b.size()) {
        b.clear();
        m_pos[dir] = 0;
    } else if (m_pos[dir] > 65536 && m_pos[dir] * 2 > b.size()) {
        b.erase(0, m_pos[dir]);
        m_pos[dir] = 0;
    }
}

bool smtp_stream_filter::process(int dir, byte_string& data) {
    if (m_state != smtp_state::error) {
        m_buf[dir] += data;
        data.swap(m_later[dir]);
        m_later[dir].clear();
        for (;;) {
            const step s = dir == command_dir() ? step_command(dir, data) : step_reply(dir, data);
            if (m_state == smtp_state::error) {
                give_up(dir, data);
                break;
            }
            if (s == step::wait) break;
        }
    } else if (m_refused && dir == command_dir()) {
        data.clear();  // the connection is being closed: nothing more reaches the server
    } else if (!m_later[dir].empty()) {
        m_later[dir] += data;
        data.swap(m_later[dir]);
        m_later[dir].clear();
    }
    if (m_state != smtp_state::error || m_refused) return true;
    // Stepping aside; stay until what is owed to the other side is handed on.
    return !m_later[dir_in].empty() || !m_later[dir_out].empty();
}

void smtp_stream_filter::give_up(int dir, byte_string& out) {
    const int cmd = command_dir();
    const int other = 1 - dir;
    byte_string owed[2];
    if (m_message.active()) {
        // Whatever the mail filter holds was checked or is being checked:
        // it ends the message as the filter decides.
        byte_string& to = cmd == dir ? out : owed[cmd];
        const dot_message::result r = m_message.feed(m_buf[cmd].data() + m_pos[cmd], held(cmd), to);
        consume(cmd, r.consumed, nullptr);
        if (m_message.active()) m_message.finish(to, false);
    }
    if (!m_ehlo_reply.empty()) {
        (1 - cmd == dir ? out : owed[1 - cmd]) += m_ehlo_reply;
        m_ehlo_reply.clear();
    }
    for (int d : {dir, other}) {
        byte_string& to = d == dir ? out : owed[d];
        // A refused command never reaches the server.
        if (m_refused && d == cmd)
            consume(d, held(d), nullptr);
        else
            consume(d, held(d), &to);
    }
    m_later[other] += owed[other];
    if (other == dir_in && !m_later[dir_in].empty() && m_feedback) m_feedback->request_fake_in();
    m_pending.clear();
}

void smtp_stream_filter::refuse(const char* why) {
    ZEM_LOG_ERROR(ZEM_SMTP_SOURCE, "smtp_stream_filter: " << why << ", closing the connection.");
    m_refused = true;
    if (m_feedback) m_feedback->request_stop();
    m_state = smtp_state::error;
}

smtp_stream_filter::step smtp_stream_filter::step_reply(int dir, byte_string& out) {
    const std::size_t h = held(dir);
    if (h == 0) return step::wait;
    const char* p = m_buf[dir].data() + m_pos[dir];
    if (m_state == smtp_state::message) {
        // The server should keep quiet during a message; what it says
        // anyway goes on as it came.
        consume(dir, h, &out);
        return step::wait;
    }
    if (m_state == smtp_state::greeting) {
        const std::size_t k = h < 4 ? h : 4;
        if (std::memcmp(p, "220 ", k) != 0) {
            m_state = smtp_state::error;
            return step::again;
        }
        const std::size_t n = front_line(m_buf[dir], m_pos[dir], 1024);
        if (n == byte_string::npos) m_state = smtp_state::error;
        if (n == 0 || n == byte_string::npos) return n == 0 ? step::wait : step::again;
        consume(dir, n, &out);
        m_state = smtp_state::session;
        ZEM_LOG(2, "SMTP Protocol matched.\n");
        return step::again;
    }
    const std::size_t n = front_line(m_buf[dir], m_pos[dir], max_line);
    if (n == 0) return step::wait;
    if (n == byte_string::npos) {
        m_state = smtp_state::error;
        return step::again;
    }
    const byte_string line(p, n);
    const step s = handle_reply_line(line.data(), n, out);
    if (m_state == smtp_state::error) return s;
    consume(dir, n, nullptr);
    if (m_encrypted) m_state = smtp_state::error;  // steps aside behind the reply
    return s;
}

smtp_stream_filter::step smtp_stream_filter::handle_reply_line(const char* line, std::size_t n, byte_string& out) {
    const char sep = n > 3 ? line[3] : '\n';
    if (n < 4 || !is_digit(line[0]) || !is_digit(line[1]) || !is_digit(line[2]) ||
        (sep != ' ' && sep != '-' && sep != '\r' && sep != '\n') || m_pending.empty()) {
        m_state = smtp_state::error;  // no reply, or one nobody asked for
        return step::again;
    }
    const smtp_cmd cmd = m_pending.front();
    const bool last = sep != '-';
    if (cmd == smtp_cmd::ehlo) {
        const bool first = m_ehlo_lines++ == 0;
        if (first || !capability_hidden(line, n)) {
            m_ehlo_last_kept = m_ehlo_reply.size();
            m_ehlo_reply.append(line, n);
        } else if (last && m_ehlo_reply.size() > m_ehlo_last_kept + 3) {
            m_ehlo_reply[m_ehlo_last_kept + 3] = ' ';  // the line kept last ends the reply
        }
        if (m_ehlo_reply.size() > 64 * 1024) {
            m_state = smtp_state::error;
            return step::again;
        }
        if (last) {
            out += m_ehlo_reply;
            m_ehlo_reply.clear();
            m_ehlo_lines = 0;
        }
    } else {
        out.append(line, n);
    }
    if (!last) return step::again;
    m_pending.pop_front();
    const byte_string code(line, 3);
    switch (cmd) {
        case smtp_cmd::data:
            if (code == "354") {
                m_state = smtp_state::message;
                ZEM_LOG(2, "SMTP: Message matched, retriving...\n");
                m_summary.outgoing = m_turned ? 0 : 1;
                m_message.begin();
            }
            break;
        case smtp_cmd::turn:
            if (code == "250") {
                ZEM_LOG(2, "smtp_stream_filter: TURN command, swap directions.\n");
                m_turned = !m_turned;
                m_pending.clear();
            }
            break;
        case smtp_cmd::auth:
            m_auth_continuation = code == "334";
            break;
        case smtp_cmd::starttls:
            if (code == "220") {
                // Nothing after the upgrade can be read.
                m_encrypted = true;
                note_session_encrypted(m_feedback, "SMTP", "STARTTLS");
            }
            break;
        default:
            break;
    }
    return step::again;
}

smtp_stream_filter::step smtp_stream_filter::step_command(int dir, byte_string& out) {
    const std::size_t h = held(dir);
    if (h == 0) return step::wait;
    const char* p = m_buf[dir].data() + m_pos[dir];
    if (m_state == smtp_state::greeting) {
        m_state = smtp_state::error;  // the client spoke first
        return step::again;
    }
    if (m_state == smtp_state::message) {
        const dot_message::result r = m_message.feed(p, h, out);
        consume(dir, r.consumed, nullptr);
        if (!r.finished) return step::wait;
        ZEM_LOG(2, "SMTP: Message Done!\n");
        m_state = smtp_state::session;
        m_pending.push_back(smtp_cmd::message);
        return step::again;
    }
    if (!m_pending.empty() && m_pending.back() == smtp_cmd::data) {
        refuse("message bytes before the server's 354");
        return step::again;
    }
    const std::size_t n = front_line(m_buf[dir], m_pos[dir], max_line);
    if (n == byte_string::npos) {
        m_state = smtp_state::error;
        return step::again;
    }
    if (n == 0) {
        // An unfinished line must already look like a command.
        if (!m_auth_continuation && word_length(p, h < 4 ? h : 4) != (h < 4 ? h : 4)) m_state = smtp_state::error;
        return m_state == smtp_state::error ? step::again : step::wait;
    }
    const byte_string line(p, n);
    const step s = handle_command_line(line.data(), n, out);
    if (m_state != smtp_state::error) consume(dir, n, &out);
    return s;
}

smtp_stream_filter::step smtp_stream_filter::handle_command_line(const char* line, std::size_t n, byte_string& out) {
    (void)out;
    smtp_cmd cmd = smtp_cmd::auth;
    if (m_auth_continuation) {
        m_auth_continuation = false;  // authentication data; its reply says what follows
    } else {
        const std::size_t k = word_length(line, n);
        const char after = k < n ? line[k] : '\n';
        if (k < 3 || k > 12 || (after != ' ' && after != '\r' && after != '\n')) {
            ZEM_LOG(2, "Cant match client command: \"" << byte_string(line, n) << "\", setting up error state.\n");
            m_state = smtp_state::error;
            return step::again;
        }
        const byte_string w = upper(line, k);
        if (w == "BDAT") {
            refuse("BDAT cannot be followed");
            return step::again;
        }
        if (w == "MAIL" && line_asks_binarymime(line, n)) {
            refuse("BODY=BINARYMIME cannot be followed");
            return step::again;
        }
        cmd = w == "EHLO"       ? smtp_cmd::ehlo
              : w == "MAIL"     ? smtp_cmd::mail
              : w == "RCPT"     ? smtp_cmd::rcpt
              : w == "DATA"     ? smtp_cmd::data
              : w == "TURN"     ? smtp_cmd::turn
              : w == "AUTH"     ? smtp_cmd::auth
              : w == "STARTTLS" ? smtp_cmd::starttls
                                : smtp_cmd::other;
    }
    if (m_pending.size() >= max_pending_commands) {
        refuse("too many commands ahead of their replies");
        return step::again;
    }
    m_pending.push_back(cmd);
    return step::again;
}

void smtp_stream_filter::stop_in(byte_string& data) {
    byte_string out;
    if (m_state != smtp_state::error) give_up(dir_in, out);
    m_state = smtp_state::error;
    data += m_later[dir_in];
    m_later[dir_in].clear();
    data += out;
}

void smtp_stream_filter::stop_out(byte_string& data) {
    byte_string out;
    if (m_state != smtp_state::error) give_up(dir_out, out);
    m_state = smtp_state::error;
    data += m_later[dir_out];
    m_later[dir_out].clear();
    data += out;
}

}  // namespace mail
