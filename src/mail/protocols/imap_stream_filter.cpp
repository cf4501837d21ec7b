#include "mail/protocols/imap_stream_filter.h"

#include <cctype>
#include <cstring>
#include <string>

#include "core/ascii.h"
#include "host/mail_commands.h"
#include "host/zem_io_commands.h"
#include "log/log.h"
#include "mail/protocols/session_notes.h"
#include "platform/clock.h"

const char imap_stream_filter::keep_alive_line[] = "* Ok Kestrin ZEM Filter. Caching message.\r\n";

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Untagged responses a session may carry; anything else means we no longer
// understand what the server says.
const char* const untagged_names[] = {
    "FETCH",
    "ACL",
    "BAD",
    "BYE",
    "CAPABILITY",
    "COPY",
    "EXISTS",
    "EXPUNGE",
    "FLAGS",
    "LIST",
    "LISTRIGHTS",
    "LSUB",
    "MAILBOX",
    "MYRIGHTS",
    "NAMESPACE",
    "NO",
    "OK",
    "PREAUTH",
    "QUOTA",
    "QUOTAROOT",
    "RECENT",
    "REFERRAL",
    "SEARCH",
    "STATUS",
    "STORE",
    // Later extensions that common servers send to clients asking for them.
    "ENABLED",
    "ESEARCH",
    "ID",
    "SORT",
    "THREAD",
    "VANISHED",
};

}  // namespace

imap_stream_filter::imap_stream_filter(i_connection_feedback* feedback, const mail::mail_handler_hooks& hooks)
    : m_feedback(feedback), m_hooks(hooks), m_mail(std::make_shared<mail::mail_filter>(feedback, hooks)) {
    m_line.reserve(500);
    m_cache.reserve(500);
}

bool imap_stream_filter::reset_state() {
    m_state = imap_state::imap_state_greeting;
    m_after_literal = imap_state::imap_state_line_start;
    m_continued = false;
    m_literal_remaining = 0;
    m_message_id = 0;
    m_cached_bytes = 0;
    m_last_tick = 0;
    m_line.clear();
    m_cache.clear();
    m_output.clear();
    m_client_line.clear();
    m_client_line_long = false;
    m_upgrade_tag.clear();
    m_mail = std::make_shared<mail::mail_filter>(m_feedback, m_hooks);
    return true;
}

void imap_stream_filter::release_line() {
    m_output.append(m_line);
    m_line.clear();
}

void imap_stream_filter::fail(const char* why) {
    ZEM_LOG(1, "imap goes to state 'imap_state_error': (last state was " << static_cast<int>(m_state) << ") " << why
                                                                         << " cache = " << m_line << "\n");
    if (m_state == imap_state::imap_state_caching) {
        release_line();
        m_output.append(m_cache);
        m_cache.clear();
    }
    release_line();
    m_state = imap_state::imap_state_error;
}

bool imap_stream_filter::update_out(byte_string& data) {
    if (m_state == imap_state::imap_state_greeting) {
        m_state = imap_state::imap_state_error;  // the client spoke first
        return false;
    }
    if (m_state == imap_state::imap_state_error) return true;
    // Only the start of each command line matters: "tag STARTTLS".
    for (char c : data) {
        if (c == '\n') {
            watch_client_line();
            m_client_line.clear();
            m_client_line_long = false;
        } else if (m_client_line.size() < 64) {
            m_client_line.push_back(c);
        } else {
            m_client_line_long = true;
        }
    }
    return true;
}

void imap_stream_filter::watch_client_line() {
    if (m_client_line_long) return;
    byte_string l = m_client_line;
    if (!l.empty() && l.back() == '\r') l.pop_back();
    const std::size_t sp = l.find(' ');
    if (sp == byte_string::npos || sp == 0) return;
    const byte_string cmd = l.substr(sp + 1);
    const bool starttls = cmd.size() == 8 && ascii_iequal(cmd.data(), 8, "STARTTLS");
    const bool compress = cmd.size() >= 9 && ascii_iequal(cmd.data(), 9, "COMPRESS ");
    if (starttls || compress) {
        m_upgrade_tag = l.substr(0, sp);
        m_upgrade_tls = starttls;
    }
}

bool imap_stream_filter::update_in(byte_string& data) {
    if (m_state == imap_state::imap_state_error) return false;
    if (m_state == imap_state::imap_state_caching) {
        const std::uint32_t now = platform::tick_count();
        if (now - m_last_tick > 1000) {
            zem_io_commands::general_notify_transfer_progress(m_feedback, m_message_id, m_cached_bytes + data.size());
            m_last_tick = now;
        }
    }
    std::size_t pos = 0;
    while (pos < data.size() && m_state != imap_state::imap_state_error) step(data, pos);
    if (pos < data.size()) m_output.append(data, pos, byte_string::npos);
    data.swap(m_output);
    m_output.clear();
    if (m_state == imap_state::imap_state_caching && data.empty()) data = keep_alive_line;
    return true;
}

void imap_stream_filter::stop_in(byte_string& data) {
    byte_string held;
    if (m_state == imap_state::imap_state_caching) {
        held.swap(m_line);
        held.append(m_cache);
    } else if (m_state != imap_state::imap_state_error && m_state != imap_state::imap_state_greeting) {
        held.swap(m_line);  // the greeting's line is a copy: its bytes went on already
    }
    m_line.clear();
    m_cache.clear();
    if (!held.empty()) data.insert(0, held);
}

void imap_stream_filter::step(const byte_string& data, std::size_t& pos) {
    switch (m_state) {
        case imap_state::imap_state_greeting: {
            const char c = data[pos++];
            m_line.push_back(c);
            m_output.push_back(c);  // the greeting passes as it arrives
            if (m_line[0] != '*') {
                m_line.clear();
                m_state = imap_state::imap_state_error;
            } else if (m_line.size() == 4 && !ascii_iequal(m_line.data(), 4, "* OK")) {
                m_line.clear();
                m_state = imap_state::imap_state_error;
            } else if (m_line.size() >= 2 && m_line.compare(m_line.size() - 2, 2, "\r\n") == 0) {
                m_line.clear();
                ZEM_LOG(2, "IMAP Protocol matched.\n");
                m_state = imap_state::imap_state_line_start;
            } else if (m_line.size() > max_greeting) {
                m_line.clear();
                m_state = imap_state::imap_state_error;
            }
            return;
        }
        case imap_state::imap_state_line_start:
            line_start_byte(data[pos++]);
            return;
        case imap_state::imap_state_tagged:
        case imap_state::imap_state_untagged:
        case imap_state::imap_state_continuation: {
            const std::size_t lf = data.find('\n', pos);
            const std::size_t end = lf == byte_string::npos ? data.size() : lf + 1;
            if (m_line.size() + (end - pos) > max_line) {
                m_line.append(data, pos, end - pos);
                pos = end;
                fail("line too long");
                return;
            }
            m_line.append(data, pos, end - pos);
            pos = end;
            if (lf != byte_string::npos) end_of_line();
            return;
        }
        case imap_state::imap_state_caching:
        case imap_state::imap_state_skipping: {
            const std::uint64_t avail = data.size() - pos;
            const std::size_t n = static_cast<std::size_t>(avail < m_literal_remaining ? avail : m_literal_remaining);
            if (m_state == imap_state::imap_state_caching) {
                m_cache.append(data, pos, n);
                m_cached_bytes += n;
            } else {
                m_output.append(data, pos, n);
            }
            pos += n;
            m_literal_remaining -= n;
            if (m_literal_remaining == 0) {
                if (m_state == imap_state::imap_state_caching) finish_message(data.size() - pos);
                m_state = m_after_literal;
                m_continued = true;
            }
            return;
        }
        case imap_state::imap_state_error:
            return;
    }
}

void imap_stream_filter::line_start_byte(char c) {
    m_line.push_back(c);
    const std::size_t n = m_line.size();
    if (c == '\n') {
        release_line();
    } else if (c == ' ') {
        if (n >= 2 && n <= 9)
            m_state = imap_state::imap_state_tagged;
        else
            fail("not a tag");
    } else if (c == '*' || c == '+') {
        if (n == 1)
            m_state = c == '*' ? imap_state::imap_state_untagged : imap_state::imap_state_continuation;
        else
            fail("misplaced response mark");
    } else if (n > 100) {
        fail("no tag in 100 bytes");
    }
}

bool imap_stream_filter::valid_untagged() const {
    // "* " [number " "] name ...
    std::size_t p = 2;
    if (m_line.size() < 3 || m_line[1] != ' ') return false;
    if (is_digit(m_line[p])) {
        while (p < m_line.size() && is_digit(m_line[p])) ++p;
        if (p >= m_line.size() || m_line[p] != ' ') return false;
        ++p;
    }
    for (const char* name : untagged_names) {
        const std::size_t len = std::strlen(name);
        if (m_line.size() - p >= len && ascii_iequal(m_line.data() + p, len, name)) return true;
    }
    return false;
}

bool imap_stream_filter::is_fetch_line() const {
    std::size_t p = 2;
    if (p >= m_line.size() || !is_digit(m_line[p])) return false;
    while (p < m_line.size() && is_digit(m_line[p])) ++p;
    return m_line.size() - p >= 7 && ascii_iequal(m_line.data() + p, 7, " FETCH ");
}

bool imap_stream_filter::literal_at_end(std::uint64_t& size, std::size_t& digits_at, std::size_t& digits_len) const {
    std::size_t e = m_line.size() - 1;  // the line feed
    if (e > 0 && m_line[e - 1] == '\r') --e;
    if (e == 0 || m_line[e - 1] != '}') return false;
    std::size_t b = e - 1;
    while (b > 0 && is_digit(m_line[b - 1])) --b;
    if (b == 0 || m_line[b - 1] != '{' || b == e - 1 || e - 1 - b > 18) return false;
    size = 0;
    for (std::size_t i = b; i < e - 1; ++i) size = size * 10 + static_cast<unsigned>(m_line[i] - '0');
    digits_at = b;
    digits_len = e - 1 - b;
    return true;
}

// The item before the literal must be the whole message: "BODY[]" (the first
// part "<0>" allowed, no other range) or "RFC822".
bool imap_stream_filter::cacheable_item(std::size_t brace_at) const {
    if (brace_at < 2 || m_line[brace_at - 1] != ' ') return false;
    std::size_t end = brace_at - 1;  // past the item
    const char* l = m_line.data();
    if (end >= 3 && m_line.compare(end - 3, 3, "<0>") == 0) end -= 3;
    auto preceded_by = [&](const char* item) {
        const std::size_t n = std::strlen(item);
        return end >= n + 1 && ascii_iequal(l + end - n, n, item) && (l[end - n - 1] == ' ' || l[end - n - 1] == '(');
    };
    return preceded_by("BODY[]") || (end == brace_at - 1 && preceded_by("RFC822"));
}

void imap_stream_filter::end_of_line() {
    if (m_state == imap_state::imap_state_untagged && !m_continued && !valid_untagged()) {
        ZEM_LOG(1, "IMAP: Check validity fail on response: " << m_line << "\n");
        fail("unknown response");
        return;
    }
    if (!m_continued) m_fetch_response = m_state == imap_state::imap_state_untagged && is_fetch_line();
    if (m_state == imap_state::imap_state_tagged && !m_upgrade_tag.empty()) {
        const std::size_t tl = m_upgrade_tag.size();
        if (m_line.size() > tl + 3 && m_line.compare(0, tl, m_upgrade_tag) == 0 && m_line[tl] == ' ') {
            const bool ok = ascii_iequal(m_line.data() + tl + 1, 2, "OK");
            m_upgrade_tag.clear();
            if (ok) {
                if (m_upgrade_tls)
                    mail::note_session_encrypted(m_feedback, "IMAP", "STARTTLS");
                else
                    ZEM_LOG(1, "IMAP: the session goes compressed; no longer filtered.\n");
                release_line();
                m_state = imap_state::imap_state_error;
                return;
            }
        }
    }
    std::uint64_t size = 0;
    std::size_t at = 0, len = 0;
    if (!literal_at_end(size, at, len)) {
        release_line();
        m_continued = false;
        m_state = imap_state::imap_state_line_start;
        return;
    }
    m_after_literal = m_state;
    if (size == 0) {  // nothing to read; the response goes on
        release_line();
        m_continued = true;
        return;
    }
    m_literal_remaining = size;
    const bool whole_message = m_fetch_response && cacheable_item(at - 1) && size <= max_cached_literal;
    if (!whole_message) {
        release_line();
        m_state = imap_state::imap_state_skipping;
        return;
    }
    m_length_at = at;
    m_length_len = len;
    m_cache.clear();
    // The size is announced: grow once rather than by doubling.
    m_cache.reserve(static_cast<std::size_t>(size < max_literal_reserve ? size : max_literal_reserve));
    m_cached_bytes = 0;
    m_last_tick = platform::tick_count();
    m_message_id = zem_io_commands::next_mail_message_id();
    zem_io_commands::http_notify_mail_message_start(m_feedback, m_message_id);
    m_state = imap_state::imap_state_caching;
}

void imap_stream_filter::finish_message(std::size_t tail) {
    mail::mail_info_summary summary;
    summary.outgoing = 0;
    summary.source_protocol = mail::source_imap;
    summary.code_page = 0;
    summary.message_id = m_message_id;
    summary.object_id = 0;
    summary.feedback = m_feedback;
    const std::size_t before = m_cache.size();
    byte_string filtered;
    filtered.swap(m_cache);
    unsigned released = 0;
    m_mail->update(filtered, &released, &summary);
    byte_string rest;
    m_mail->stop(rest);
    filtered.append(rest);
    const std::uint64_t after = filtered.size();
    if (after != before) m_line.replace(m_length_at, m_length_len, std::to_string(after));
    release_line();
    // What goes on is the FETCH line (and what came before it), the message
    // and the rest of this chunk, at most 'tail' bytes: one buffer of that
    // size, taken once. Appending the closing ")" to a buffer that holds the
    // message exactly would double it, and a buffer of twice a large message
    // (32 MB and more) is handed back to the system when freed, so every
    // such message would pay for fresh pages again.
    const std::size_t need = m_output.size() + filtered.size() + tail;
    if (m_output.empty() && filtered.capacity() >= need) {
        m_output.swap(filtered);
    } else {
        byte_string out;
        out.reserve(need);
        out.append(m_output);
        out.append(filtered);
        m_output.swap(out);
    }
    zem_io_commands::general_notify_transfer_complete(m_feedback, m_message_id, after, after == before ? 1 : 3);
    m_cache.clear();
    m_cached_bytes = 0;
}
