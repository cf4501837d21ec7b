#include "ftp/ftp_stream_filter.h"

#include <boost/regex.hpp>
#include <cstring>

#include "core/ascii.h"
#include "host/zem_io_commands.h"
#include "log/log.h"

#define ZEM_FTP_SOURCE "PLUGIN/FTP/ftp_stream_filter"

namespace {

const boost::regex& reply_re() {
    // Never destroyed, like every compiled expression of the engine: a
    // connection thread may still be filtering while the process exits.
    static const boost::regex& re =
        *new boost::regex("(\\d\\d\\d)(((-)|( )).*)\\r\\n", boost::regex::perl | boost::regex::icase);
    return re;
}

const boost::regex& command_re() {
    static const boost::regex& re = *new boost::regex(
        "((PORT)|RETR|STOR|APPE|STOU|LIST|NLST|USER|AUTH|QUIT|ABOR|ACCT|ADAT|ALLO|CCC|CDUP|CONF|CWD|DELE|ENC|HELP|"
        "MIC|MKD|MODE|NOOP|PASS|PASV|PBSZ|PROT|PWD|REIN|REST|RMD|RNFR|RNTO|SITE|SMNT|STAT|STOR|STOU|STRU|SYST|TYPE|"
        "FEAT|OPTS|MDTM|SIZE|MLST|MLSD|XCWD|XPWD|XMKD|XRMD|XCUP|LPRT|LPSV|EPRT|EPSV|CLNT)( (.*))?\\r\\n",
        boost::regex::perl | boost::regex::icase);
    return re;
}

const boost::regex& address_re() {
    static const boost::regex& re = *new boost::regex(
        "(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),(\\d{1,3}),(\\d{1,3})", boost::regex::perl | boost::regex::icase);
    return re;
}

bool starts_with_220(const byte_string& buf, std::size_t pos) {
    return buf.size() - pos > 3 && std::memcmp(buf.data() + pos, "220", 3) == 0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Nearly every line starts with what the expressions look for; there the
// leftmost match is known without running them. Other lines go to the
// expressions, so the outcome is theirs either way.
bool starts_as_reply(const char* line, std::size_t len) {
    return len >= 6 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]) &&
           (line[3] == ' ' || line[3] == '-');
}

enum class command_kind { none, port, other };

// The command word at the start of the line, when it is one of the list and
// is followed by a space or ends the line. (No word of the list is a prefix
// of another, so at most one can match here.)
command_kind leading_command(const char* line, std::size_t len) {
    static const char* const k_words =
        " PORT RETR STOR APPE STOU LIST NLST USER AUTH QUIT ABOR ACCT ADAT ALLO CCC CDUP CONF CWD DELE ENC HELP MIC "
        "MKD MODE NOOP PASS PASV PBSZ PROT PWD REIN REST RMD RNFR RNTO SITE SMNT STAT STRU SYST TYPE FEAT OPTS MDTM "
        "SIZE MLST MLSD XCWD XPWD XMKD XRMD XCUP LPRT LPSV EPRT EPSV CLNT ";
    std::size_t n = 0;
    char word[6] = {' '};
    while (n < 4 && n < len && ((line[n] >= 'A' && line[n] <= 'Z') || (line[n] >= 'a' && line[n] <= 'z'))) {
        word[n + 1] = ascii_upper(line[n]);
        ++n;
    }
    if (n < 3) return command_kind::none;
    const bool ends = n + 2 == len;  // the line's CRLF follows the word
    if (!ends && (n >= len || line[n] != ' ')) return command_kind::none;
    word[n + 1] = ' ';
    if (!std::strstr(k_words, std::string(word, n + 2).c_str())) return command_kind::none;
    return n == 4 && std::memcmp(word + 1, "PORT", 4) == 0 ? command_kind::port : command_kind::other;
}

}  // namespace

ftp_stream_filter::ftp_stream_filter(i_connection_feedback* feedback) : m_feedback(feedback) {}

void ftp_stream_filter::stop_in(byte_string& data) {
    if (m_orientation == ftp_orientation::reversed)
        stop_client_side(data);
    else
        stop_server_side(data);
}

bool ftp_stream_filter::update_in(byte_string& data) {
    return m_orientation == ftp_orientation::reversed ? update_client_side(data) : update_server_side(data);
}

void ftp_stream_filter::stop_out(byte_string& data) {
    if (m_orientation == ftp_orientation::reversed)
        stop_server_side(data);
    else
        stop_client_side(data);
}

bool ftp_stream_filter::update_out(byte_string& data) {
    return m_orientation == ftp_orientation::reversed ? update_server_side(data) : update_client_side(data);
}

void ftp_stream_filter::die() {
    m_dead = true;
    byte_string().swap(m_server_lines);
    byte_string().swap(m_client_lines);
}

// The bound applies to each line, so whether a session is followed does not
// depend on how many lines one chunk happens to carry.
ftp_stream_filter::line_status ftp_stream_filter::take_line(const byte_string& buf, std::size_t& pos,
                                                            const char*& begin, std::size_t& len) {
    const std::size_t end = buf.find("\r\n", pos);
    if (end == byte_string::npos) return buf.size() - pos > max_line ? line_status::too_long : line_status::wait;
    if (end + 2 - pos > max_line) return line_status::too_long;
    begin = buf.data() + pos;
    len = end + 2 - pos;
    pos = end + 2;
    return line_status::ready;
}

bool ftp_stream_filter::update_server_side(byte_string& data) {
    if (m_dead) return false;
    m_server_lines.append(data);
    if (!run_server_lines()) {
        die();
        return false;
    }
    return true;
}

bool ftp_stream_filter::run_server_lines() {
    std::size_t pos = 0;
    for (;;) {
        if (m_state == ftp_state::waiting_greeting) {
            if (!m_greeting_checked && m_server_lines.size() - pos > 3) {
                if (!starts_with_220(m_server_lines, pos)) return false;
                m_greeting_checked = true;
            }
        } else if (m_state != ftp_state::in_session) {
            ZEM_LOG_ERROR(ZEM_FTP_SOURCE, "ftp_stream_filter: Wrong in state=" << static_cast<int>(m_state));
            m_state = ftp_state::broken;
            return false;
        }
        const char* line = nullptr;
        std::size_t len = 0;
        const line_status st = take_line(m_server_lines, pos, line, len);
        if (st == line_status::too_long) return false;
        if (st == line_status::wait) break;
        if (!handle_reply(line, len)) return false;
        if (m_state == ftp_state::waiting_greeting) {
            m_orientation = ftp_orientation::normal;
            m_state = ftp_state::in_session;
        }
    }
    m_server_lines.erase(0, pos);
    return true;
}

bool ftp_stream_filter::handle_reply(const char* line, std::size_t len) {
    if (!m_open_reply.empty()) {
        // Inside a multi-line reply only the closing "code " line counts.
        if (len < 4 || std::memcmp(line, m_open_reply.data(), 3) != 0 || line[3] != ' ') return true;
        m_open_reply.clear();
    }
    const char* code = line;
    if (!starts_as_reply(line, len)) {
        boost::cmatch m;
        if (!boost::regex_search(line, line + len, m, reply_re())) return false;
        code = m[1].first;
    }
    if (len >= 4 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]) && line[3] == '-')
        m_open_reply.assign(line, 3);
    if (m_state == ftp_state::in_session && m_orientation == ftp_orientation::normal &&
        std::memcmp(code, "227", 3) == 0)
        announce_from(line, len, true);
    return true;
}

void ftp_stream_filter::announce_from(const char* line, std::size_t len, bool reply) {
    boost::cmatch m;
    unsigned v[6] = {};
    bool ok = boost::regex_search(line, line + len, m, address_re());
    for (int k = 0; ok && k < 6; ++k) {
        unsigned n = 0;
        for (const char* p = m[k + 1].first; p != m[k + 1].second; ++p) n = n * 10 + static_cast<unsigned>(*p - '0');
        // Three digits go up to 999: such a part names no address or port.
        ok = n <= 255;
        v[k] = n;
    }
    if (!ok) {
        if (reply)
            ZEM_LOG_ERROR(ZEM_FTP_SOURCE,
                          "ftp_stream_filter::handle_response: Pasive mode argument not recognized in response"
                              << byte_string(line, len));
        return;
    }
    const std::uint32_t address = (v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3];
    const std::uint32_t port = (v[4] << 8) | v[5];
    zem_io_commands::firewall_allow_connection(m_feedback, address, port);
}

bool ftp_stream_filter::update_client_side(byte_string& data) {
    if (m_dead) return false;
    m_client_lines.append(data);
    std::size_t pos = 0;
    for (;;) {
        const char* line = nullptr;
        std::size_t len = 0;
        if (m_state == ftp_state::waiting_greeting) {
            if (!m_greeting_checked && m_client_lines.size() - pos > 3) {
                // An FTP client waits for the greeting: whoever speaks first
                // with something else is no FTP client.
                if (!starts_with_220(m_client_lines, pos)) break;
                m_greeting_checked = true;
            }
            const line_status st = take_line(m_client_lines, pos, line, len);
            if (st == line_status::too_long) break;
            if (st == line_status::wait) {
                m_client_lines.erase(0, pos);
                return true;
            }
            if (!handle_reply(line, len)) break;
            m_orientation = ftp_orientation::reversed;
            m_state = ftp_state::in_session;
            // Whatever followed the greeting in this chunk came from the same
            // (server) side.
            m_server_lines.append(m_client_lines, pos, byte_string::npos);
            byte_string().swap(m_client_lines);
            if (!run_server_lines()) break;
            return true;
        }
        if (m_state != ftp_state::in_session) {
            ZEM_LOG_ERROR(ZEM_FTP_SOURCE, "ftp_stream_filter: Wrong out state=" << static_cast<int>(m_state));
            m_state = ftp_state::broken;
            die();
            return false;
        }
        const line_status st = take_line(m_client_lines, pos, line, len);
        if (st == line_status::too_long) break;
        if (st == line_status::wait) {
            m_client_lines.erase(0, pos);
            return true;
        }
        command_kind kind = leading_command(line, len);
        if (kind == command_kind::none) {
            boost::cmatch m;
            if (!boost::regex_search(line, line + len, m, command_re())) break;
            kind = m[2].matched ? command_kind::port : command_kind::other;
        }
        if (m_orientation == ftp_orientation::reversed && kind == command_kind::port) announce_from(line, len, false);
    }
    // Not (or no longer) FTP: this chunk still passes; the next call of
    // either direction declines.
    die();
    return true;
}
