#include "mail/protocols/pop3_stream_filter.h"

#include <boost/regex.hpp>
#include <cstring>

#include "core/ascii.h"
#include "host/zem_io_commands.h"
#include "log/log.h"
#include "mail/protocols/session_notes.h"
#include "platform/never_destroyed.h"

#define ZEM_POP3_SOURCE "PLUGIN/POP3/pop3"

namespace mail {
namespace {

constexpr auto re_flags = boost::regex::perl | boost::regex::icase;

// A connection thread may still be matching while the process exits, so the
// expressions are never destroyed.
using shared_re = platform::never_destroyed<const boost::regex>;

const boost::regex& hello_re() {
    static shared_re re("^\\+OK([[:blank:]]+[[:word:][:punct:][:blank:]]{0,1024})?\\r?\\n", re_flags);
    return re.get();
}

const boost::regex& auth_re() {
    static shared_re re(
        "^(?:(USER)|(PASS)|(QUIT)|(APOP)|(CAPA)|(STLS)|(AUTH(\\s+PLAIN)?(\\s+LOGIN)?(\\s+CRAM-MD5)?)|(\\w{3,4}))(?:["
        "[:blank:]]+[^\\r\\n]*)?\\r?\\n",
        re_flags);
    return re.get();
}

const boost::regex& ok_re() {
    static shared_re re("^((?:(\\+(OK)?)|(-ERR))(?:[[:blank:]]+[[:word:][:punct:][:blank:]]{0,1024})?)\\r?\\n",
                        re_flags);
    return re.get();
}

const boost::regex& command_re() {
    static shared_re re(
        "^((?:(STAT)|(LIST[[:blank:]]+\\d{1,1024})|(LIST)|(RETR)|(QUIT)|(DELE)|(NOOP)|(RSET)|(UIDL[[:blank:]]+\\d{1,"
        "1024})|(UIDL)|(TOP)|(CAPA)|([^\\r\\n]{0,1024}))(?:[[:blank:]]+[^\\r\\n]{0,1024})?)\\r?\\n",
        re_flags);
    return re.get();
}

using cmatch = boost::match_results<const char*>;

// The whole line must be the match: a line with bytes the expression does
// not allow is no line of this protocol.
bool match_line(const char* p, std::size_t n, cmatch& m, const boost::regex& re) {
    try {
        return boost::regex_match(p, p + n, m, re, boost::match_single_line);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

pop3_stream_filter::pop3_stream_filter(i_connection_feedback* feedback, const mail_handler_hooks& hooks)
    : m_feedback(feedback), m_mail(std::make_shared<mail_filter>(feedback, hooks)), m_message(m_mail, &m_summary) {
    m_summary.outgoing = 0;
    m_summary.source_protocol = source_pop3;
    m_summary.feedback = feedback;
}

bool pop3_stream_filter::detached() const { return m_state == pop3_state::done && m_command != pop3_cmd::quit; }

bool pop3_stream_filter::reset_state() {
    m_stopped_in = m_stopped_out = false;
    m_state = pop3_state::hello;
    m_command = pop3_cmd::auth_other;
    m_server.clear();
    m_server_pos = 0;
    m_client.clear();
    m_client_pos = 0;
    m_body_line_start = true;
    return true;
}

void pop3_stream_filter::release_pending(byte_string& data) {
    if (m_pending_in.empty()) return;
    m_pending_in += data;
    data.swap(m_pending_in);
    m_pending_in.clear();
}

bool pop3_stream_filter::update_in(byte_string& data) {
    if (m_state == pop3_state::done) {
        release_pending(data);
        return !detached();
    }
    m_server += data;
    data.swap(m_pending_in);
    m_pending_in.clear();
    machine(data);
    if (m_state != pop3_state::done && m_server.size() - m_server_pos > max_pending_client) give_up(data);
    return !detached();
}

bool pop3_stream_filter::update_out(byte_string& data) {
    if (m_state == pop3_state::done) return !detached();
    m_client += data;
    byte_string to_client;
    machine(to_client);
    if (m_state != pop3_state::done && m_client.size() - m_client_pos > max_pending_client) give_up(to_client);
    if (!to_client.empty()) {
        // Bytes for the client found while the client spoke: the filter
        // point fetches them at once through a fake server read.
        m_pending_in += to_client;
        if (m_feedback) m_feedback->request_fake_in();
    }
    return !detached();
}

void pop3_stream_filter::stop_in(byte_string& data) {
    m_stopped_in = true;
    // The server is gone: whatever is held, a message in the middle
    // included, goes to the client now.
    byte_string out;
    out.swap(m_pending_in);
    if (m_state != pop3_state::done) give_up(out);
    data += out;
}

void pop3_stream_filter::stop_out(byte_string& data) {
    (void)data;
    m_stopped_out = true;
}

std::size_t pop3_stream_filter::front_line(const byte_string& buf, std::size_t pos, std::size_t bound) {
    const std::size_t n = buf.size() - pos;
    const std::size_t look = n < bound ? n : bound;
    const void* lf = std::memchr(buf.data() + pos, '\n', look);
    if (lf) return static_cast<std::size_t>(static_cast<const char*>(lf) - (buf.data() + pos)) + 1;
    return n >= bound ? byte_string::npos : 0;
}

void pop3_stream_filter::consume_server(std::size_t n, byte_string* to_client) {
    if (to_client) to_client->append(m_server, m_server_pos, n);
    m_server_pos += n;
    if (m_server_pos == m_server.size()) {
        m_server.clear();
        m_server_pos = 0;
    } else if (m_server_pos > 65536 && m_server_pos * 2 > m_server.size()) {
        m_server.erase(0, m_server_pos);
        m_server_pos = 0;
    }
}

void pop3_stream_filter::consume_client(std::size_t n) {
    m_client_pos += n;
    if (m_client_pos == m_client.size()) {
        m_client.clear();
        m_client_pos = 0;
    } else if (m_client_pos > 4096 && m_client_pos * 2 > m_client.size()) {
        m_client.erase(0, m_client_pos);
        m_client_pos = 0;
    }
}

void pop3_stream_filter::give_up(byte_string& to_client) {
    if (m_message.active()) m_message.finish(to_client, false);
    consume_server(m_server.size() - m_server_pos, &to_client);
    m_client.clear();
    m_client_pos = 0;
    m_state = pop3_state::done;
}

void pop3_stream_filter::machine(byte_string& to_client) {
    for (;;) {
        step s = step::wait;
        switch (m_state) {
            case pop3_state::hello:
                s = handle_hello(to_client);
                break;
            case pop3_state::auth:
                s = handle_auth();
                break;
            case pop3_state::auth_resp:
                s = handle_auth_resp(to_client);
                break;
            case pop3_state::auth_client_line:
                s = handle_auth_client_line();
                break;
            case pop3_state::command:
                s = handle_command();
                break;
            case pop3_state::command_resp:
                s = handle_command_resp(to_client);
                break;
            case pop3_state::capa_resp:
            case pop3_state::list:
                s = handle_listing(to_client);
                break;
            case pop3_state::retr:
                s = handle_retr(to_client);
                break;
            case pop3_state::client_hello:
            case pop3_state::error:
                give_up(to_client);
                return;
            case pop3_state::done:
                consume_server(m_server.size() - m_server_pos, &to_client);
                return;
            default:
                ZEM_LOG_ERROR(ZEM_POP3_SOURCE, "error pop3 machine state");
                m_state = pop3_state::error;
                s = step::again;
        }
        if (s == step::wait) return;
    }
}

pop3_stream_filter::step pop3_stream_filter::handle_hello(byte_string& to_client) {
    // A client that speaks before the whole greeting is not talking to a
    // POP3 server.
    if (m_client.size() > m_client_pos) {
        m_state = pop3_state::client_hello;
        return step::again;
    }
    if (m_server.size() == m_server_pos) return step::wait;
    const std::size_t n = front_line(m_server, m_server_pos, max_line);
    if (n == 0) {
        // Give up early on a first line that cannot become a greeting.
        const std::size_t have = m_server.size() - m_server_pos;
        const std::size_t k = have < 3 ? have : 3;
        for (std::size_t i = 0; i < k; ++i)
            if (ascii_lower(m_server[m_server_pos + i]) != "+ok"[i]) m_state = pop3_state::error;
        return m_state == pop3_state::error ? step::again : step::wait;
    }
    cmatch m;
    if (n == byte_string::npos || !match_line(m_server.data() + m_server_pos, n, m, hello_re())) {
        m_state = pop3_state::error;
        return step::again;
    }
    consume_server(n, &to_client);
    m_state = pop3_state::auth;
    ZEM_LOG(2, "POP3 Protocol matched.\n");
    return step::again;
}

pop3_stream_filter::step pop3_stream_filter::handle_auth() {
    const std::size_t n = front_line(m_client, m_client_pos, max_line);
    if (n == 0) {
        // A server answers whole commands only: server bytes before the
        // next command line is complete are no POP3 reply.
        if (m_server.size() > m_server_pos) m_state = pop3_state::error;
        return m_state == pop3_state::error ? step::again : step::wait;
    }
    cmatch m;
    if (n == byte_string::npos || !match_line(m_client.data() + m_client_pos, n, m, auth_re())) {
        m_state = pop3_state::error;
        return step::again;
    }
    static const pop3_cmd simple[] = {pop3_cmd::user, pop3_cmd::pass,      pop3_cmd::auth_quit,
                                      pop3_cmd::apop, pop3_cmd::auth_capa, pop3_cmd::stls};
    m_command = pop3_cmd::auth_other;
    for (int g = 1; g <= 6; ++g)
        if (m[g].matched) m_command = simple[g - 1];
    if (m[7].matched) {
        if (m[8].matched)
            m_command = pop3_cmd::auth_plain;
        else if (m[9].matched)
            m_command = pop3_cmd::auth_login;
        else if (m[10].matched)
            m_command = pop3_cmd::auth_cram_md5;
        else {
            // "AUTH" alone lists the mechanisms; with any other mechanism
            // it starts an exchange like PLAIN does.
            const char* p = m_client.data() + m_client_pos + 4;
            const char* e = m_client.data() + m_client_pos + n;
            while (p < e && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
            m_command = p == e ? pop3_cmd::auth : pop3_cmd::auth_plain;
        }
    }
    consume_client(n);
    if (m_command == pop3_cmd::auth_quit) {
        m_state = pop3_state::done;  // the reply is not awaited
        return step::again;
    }
    m_state = pop3_state::auth_resp;
    return step::again;
}

pop3_stream_filter::step pop3_stream_filter::handle_auth_resp(byte_string& to_client) {
    const std::size_t n = front_line(m_server, m_server_pos, max_line);
    if (n == 0) return step::wait;
    cmatch m;
    if (n == byte_string::npos || !match_line(m_server.data() + m_server_pos, n, m, ok_re())) {
        m_state = pop3_state::error;
        return step::again;
    }
    consume_server(n, &to_client);
    const bool sasl =
        m_command == pop3_cmd::auth_plain || m_command == pop3_cmd::auth_login || m_command == pop3_cmd::auth_cram_md5;
    if (!m[2].matched) {
        m_state = pop3_state::auth;
        return step::again;
    }
    if (sasl && !m[3].matched) {
        m_state = pop3_state::auth_client_line;  // "+ challenge"
        return step::again;
    }
    switch (m_command) {
        case pop3_cmd::user:
            m_state = pop3_state::auth;
            break;
        case pop3_cmd::stls:
            // Nothing after the upgrade can be read.
            m_encrypted = true;
            note_session_encrypted(m_feedback, "POP3", "STLS");
            m_state = pop3_state::done;
            break;
        case pop3_cmd::auth_capa:
        case pop3_cmd::auth:
            m_state = pop3_state::capa_resp;
            break;
        default:
            m_state = pop3_state::command;
    }
    return step::again;
}

pop3_stream_filter::step pop3_stream_filter::handle_auth_client_line() {
    const std::size_t n = front_line(m_client, m_client_pos, max_auth_line);
    if (n == 0) return step::wait;
    if (n == byte_string::npos) {
        switch (m_command) {
            case pop3_cmd::auth_login:
                ZEM_LOG_ERROR(ZEM_POP3_SOURCE,
                              "pop3_stream_filter::handle_auth_client_send_hash_login() unknown auth command");
                break;
            case pop3_cmd::auth_cram_md5:
                ZEM_LOG_ERROR(ZEM_POP3_SOURCE,
                              "pop3_stream_filter::handle_auth_client_send_hash_cram_md5() to big hash response");
                break;
            default:
                ZEM_LOG_ERROR(ZEM_POP3_SOURCE,
                              "pop3_stream_filter::handle_auth_client_send_hash_plain(): unknown auth command");
        }
        m_state = pop3_state::error;
        return step::again;
    }
    consume_client(n);
    m_state = pop3_state::auth_resp;
    return step::again;
}

pop3_stream_filter::step pop3_stream_filter::handle_command() {
    const std::size_t n = front_line(m_client, m_client_pos, max_line);
    if (n == 0) {
        if (m_server.size() > m_server_pos) m_state = pop3_state::error;  // a reply nobody asked for
        return m_state == pop3_state::error ? step::again : step::wait;
    }
    cmatch m;
    if (n == byte_string::npos || !match_line(m_client.data() + m_client_pos, n, m, command_re())) {
        m_state = pop3_state::error;
        return step::again;
    }
    static const pop3_cmd codes[] = {pop3_cmd::stat,     pop3_cmd::list_one, pop3_cmd::list, pop3_cmd::retr,
                                     pop3_cmd::quit,     pop3_cmd::dele,     pop3_cmd::noop, pop3_cmd::rset,
                                     pop3_cmd::uidl_one, pop3_cmd::uidl,     pop3_cmd::top,  pop3_cmd::capa,
                                     pop3_cmd::other};
    m_command = pop3_cmd::other;
    for (int g = 2; g <= 14; ++g)
        if (m[g].matched) {
            m_command = codes[g - 2];
            break;
        }
    consume_client(n);
    // After QUIT the session only winds down: stay attached, idle.
    m_state = m_command == pop3_cmd::quit ? pop3_state::done : pop3_state::command_resp;
    return step::again;
}

pop3_stream_filter::step pop3_stream_filter::handle_command_resp(byte_string& to_client) {
    const std::size_t n = front_line(m_server, m_server_pos, max_line);
    if (n == 0) return step::wait;
    cmatch m;
    if (n == byte_string::npos || !match_line(m_server.data() + m_server_pos, n, m, ok_re())) {
        m_state = pop3_state::error;
        return step::again;
    }
    consume_server(n, &to_client);
    const bool positive = m[2].matched;
    m_state = pop3_state::command;
    if (!positive) return step::again;
    switch (m_command) {
        case pop3_cmd::list:
        case pop3_cmd::uidl:
        case pop3_cmd::capa:
            m_body_line_start = true;
            m_state = pop3_state::list;
            break;
        case pop3_cmd::retr:
        case pop3_cmd::top:
            m_message.begin();
            m_state = pop3_state::retr;
            break;
        default:
            break;
    }
    return step::again;
}

pop3_stream_filter::step pop3_stream_filter::handle_listing(byte_string& to_client) {
    if (m_server.size() == m_server_pos) return step::wait;
    const body_scan r = scan_body(m_server.data() + m_server_pos, m_server.size() - m_server_pos, m_body_line_start);
    if (!r.found) {
        consume_server(r.safe, &to_client);
        return step::wait;
    }
    consume_server(r.safe + 3, &to_client);
    m_state = m_state == pop3_state::capa_resp ? pop3_state::auth : pop3_state::command;
    return step::again;
}

pop3_stream_filter::step pop3_stream_filter::handle_retr(byte_string& to_client) {
    if (m_server.size() == m_server_pos) return step::wait;
    const dot_message::result r =
        m_message.feed(m_server.data() + m_server_pos, m_server.size() - m_server_pos, to_client);
    consume_server(r.consumed, nullptr);
    if (!r.finished) return step::wait;
    m_state = pop3_state::command;
    return step::again;
}

}  // namespace mail
