#include "mail/body_handlers.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/ascii.h"
#include "host/zem_io_commands.h"
#include "log/log.h"
#include "platform/codepage.h"

#define ZEM_MIME_SOURCE "PLUGIN/MAIL/mime_hdlr"
#define ZEM_ENTRY_SOURCE "PLUGIN/MAIL/mail_entry_handler"

namespace mail {

namespace {

bool ascii_only(const wide_string& s) {
    return std::all_of(s.begin(), s.end(), [](wchar_t c) { return c >= 32 && c < 127; });
}

// The replacement name after the host renamed an object: in the charset the
// old name came in, or UTF-8 when it came in plain ASCII.
byte_string reencode_name(const wide_string& name, const byte_string& charset, unsigned code_page) {
    if (ascii_only(name)) return platform::wide_to_ansi(name);
    byte_string cs = charset.empty() ? byte_string("utf-8") : charset;
    const unsigned cp = charset.empty() ? platform::cp_utf8 : code_page;
    byte_string out;
    mime_q_and_b_encodeing::coder(out, narrow_with_code_page(name, cp), cs);
    return out;
}

// Sets the summary's names for an object about to be checked.
void describe_object(mail_info_summary* summary, const byte_string& name, byte_string& charset) {
    if (!summary) return;
    summary->replacement_name = name;
    unsigned cp = 0;
    summary->object_name = mime_q_and_b_encodeing::decode_to_wide(name, &charset, &cp);
    summary->code_page = cp;
}

// A section or entry too large to hold: the host hears of it as an object
// that was blocked, and it does not reach the reader.
void report_dropped_for_size(mail_info_summary* summary, std::uint64_t size) {
    ZEM_LOG_ERROR(ZEM_MIME_SOURCE, "mail: object longer than " << max_held_section << " bytes dropped");
    begin_object_check(summary);
    end_object_check(summary, size, mail_action_cut_whole_section);
}

std::size_t eol_length(const char* p, std::size_t n) {
    if (n == 0 || p[n - 1] != '\n') return 0;
    return (n >= 2 && p[n - 2] == '\r') ? 2 : 1;
}

}  // namespace

byte_string zombie_state::next_piece() {
    ++count;
    if (count % 20 == 0) return "\r\n\tX";
    if (count < 99) return "X";
    ++field_number;
    count = 0;
    return "\r\nX-Zombie-" + std::to_string(field_number) + ": ";
}

// ------------------------------------------------------ mail_attach_checker

std::int32_t mail_attach_checker::ask(byte_string& data, mail_info_summary* summary) {
    std::int32_t action = mail_action_leave;
    zem_io_commands::mail_check_mail_attach(summary->feedback, data, *summary, action);
    if (action != mail_action_leave && action != mail_action_cut_whole_section && action != mail_action_replace) {
        // A verdict we do not know is no ruling: the content stays.
        ZEM_LOG_ERROR(ZEM_ENTRY_SOURCE, "mail_attach_checker: Unknown decision" << action);
        action = mail_action_leave;
    }
    return action;
}

bool mail_attach_checker::update(byte_string& data, unsigned* released, mail_info_summary* summary) {
    m_summary = summary;
    m_held += data;
    data.clear();
    if (released) *released = 0;
    return true;
}

std::int32_t mail_attach_checker::stop(byte_string& data) {
    if (!m_summary) return mail_action_leave;
    const std::int32_t d = ask(m_held, m_summary);
    data += m_held;
    m_held.clear();
    return d;
}

std::int32_t mail_attach_checker::stop_and_check(byte_string& data, bool* stopped, mail_info_summary* summary) {
    if (!summary) return mail_action_leave;
    const std::int32_t d = ask(data, summary);
    if (stopped) *stopped = d == mail_action_replace;
    return d;
}

// ------------------------------------------------------------ entry base

mail_entry_handler_base::mail_entry_handler_base(std::int32_t code, mail_filter* parent)
    : m_coder(make_coder(code)), m_parent(parent), m_code(code) {}

void mail_entry_handler_base::decode(const byte_string& body, byte_string& out) const {
    if (m_coder)
        m_coder->decoder(body, out);
    else
        out = body;
}

void mail_entry_handler_base::encode_like(const byte_string& original, const byte_string& decoded, byte_string& body,
                                          const byte_string* name) const {
    byte_string out;
    if (m_coder)
        m_coder->coder(decoded, out, m_code == 2 ? name : nullptr);
    else
        out = decoded;
    // The line end before a delimiter belongs to the delimiter: an encoder's
    // closing line end is dropped when the original body had none.
    const bool had_eol = !original.empty() && original.back() == '\n';
    if (!had_eol && m_code <= 2 && out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0)
        out.resize(out.size() - 2);
    body.swap(out);
}

// ------------------------------------------------------ attachment_handler

attachment_handler::attachment_handler(std::int32_t code, mail_filter* parent, const byte_string& name,
                                       mail_info_summary* summary, entry_type type)
    : mail_entry_handler_base(code, parent), m_file_name(name), m_summary(summary), m_entry_type(type) {
    describe_object(summary, name, m_name_charset);
}

bool attachment_handler::update(byte_string& data, unsigned* released, mail_info_summary* summary) {
    if (summary) m_summary = summary;
    const std::size_t keep = released ? std::min<std::size_t>(*released, data.size()) : 0;
    if (!m_overflow) {
        m_body.append(data, keep, byte_string::npos);
        if (m_body.size() > max_held_section) {
            report_dropped_for_size(m_summary, m_body.size());
            m_overflow = true;
            byte_string().swap(m_body);
        }
    }
    data.resize(keep);
    if (released) *released = static_cast<unsigned>(keep);
    return true;
}

std::int32_t attachment_handler::stop(byte_string& data) {
    if (m_overflow) return mail_action_cut_whole_section;
    bool stopped = false;
    const std::int32_t d = stop_and_check(m_body, &stopped, m_summary);
    if (data.empty())
        data.swap(m_body);
    else
        data += m_body;
    byte_string().swap(m_body);
    return d;
}

std::int32_t attachment_handler::stop_and_check(byte_string& body, bool* stopped, mail_info_summary* summary) {
    if (!summary) summary = m_summary;
    if (stopped) *stopped = false;
    if (!summary || !m_parent) return mail_action_leave;
    // The section may have been described before other sections renamed
    // things in the shared summary.
    describe_object(summary, m_file_name, m_name_charset);
    begin_object_check(summary);
    byte_string scratch;
    decode(body, scratch);
    const wide_string old_name = summary->object_name;
    std::int32_t decision = mail_action_leave;
    bool changed = false;
    if (m_entry_type == entry_type::html_body) {
        const byte_string before = scratch;
        bool s = false;
        decision = m_parent->check_html(scratch, &s, summary);
        changed = scratch != before;
    } else if (m_entry_type == entry_type::attachment) {
        bool s = false;
        decision = m_parent->check_attach(scratch, &s, summary);
        changed = s || decision == mail_action_replace;
    } else {
        ZEM_LOG_ERROR(ZEM_ENTRY_SOURCE,
                      "attachment_handler::stop_and_check: Wrong m_entry_type=" << static_cast<int>(m_entry_type));
    }
    if (summary->object_name != old_name)
        summary->replacement_name = reencode_name(summary->object_name, m_name_charset, summary->code_page);
    if (changed) {
        const byte_string original = body;
        encode_like(original, scratch, body, &summary->replacement_name);
    }
    end_object_check(summary, body.size(), decision);
    if (stopped) *stopped = changed;
    return decision;
}

// ------------------------------------------------------------ text_handler

text_handler::text_handler(std::int32_t code, mail_filter* parent) : mail_entry_handler_base(code, parent) {}

bool text_handler::update(byte_string& data, unsigned* released, mail_info_summary* summary) {
    m_summary = summary;
    if (released) *released = static_cast<unsigned>(data.size());
    return true;
}

std::int32_t text_handler::stop(byte_string&) { return mail_action_leave; }

std::int32_t text_handler::stop_and_check(byte_string& body, bool* stopped, mail_info_summary* summary) {
    if (stopped) *stopped = false;
    if (!m_parent) return mail_action_leave;
    byte_string scratch;
    decode(body, scratch);
    const byte_string before = scratch;
    bool s = false;
    m_parent->check_text(scratch, &s, summary ? summary : m_summary);
    if (s && scratch != before) {
        const byte_string original = body;
        encode_like(original, scratch, body);
        if (stopped) *stopped = true;
    }
    return mail_action_leave;
}

// ------------------------------------------------------ plain_text_handler

plain_text_handler::plain_text_handler(mail_info_summary* summary, mail_filter* parent)
    : mail_entry_handler_base(3, parent), m_summary(summary) {}

namespace {

// "begin NNN name": the name, or false.
bool uue_begin_line(const char* p, std::size_t n, byte_string& name) {
    if (n < 11) return false;
    if (!ascii_starts_folded(p, n, "begin ")) return false;
    for (int i = 6; i < 9; ++i)
        if (p[i] < '0' || p[i] > '9') return false;
    if (p[9] != ' ') return false;
    name.assign(p + 10, n - 10);
    return !name.empty();
}

bool could_begin_entry(const byte_string& line) {
    // A line shorter than the word may still grow into it.
    static const char word[] = "begin ";
    for (std::size_t i = 0; i < line.size() && i < 6; ++i)
        if (ascii_lower(line[i]) != word[i]) return false;
    return true;
}

}  // namespace

void plain_text_handler::feed(const char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const void* lf = std::memchr(p + i, '\n', n - i);
        const std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - p) + 1 : n;
        if (lf && m_line.empty()) {
            on_line(p + i, end - i, eol_length(p + i, end - i));
        } else {
            m_line.append(p + i, end - i);
            if (lf) {
                byte_string line;
                line.swap(m_line);
                on_line(line.data(), line.size(), eol_length(line.data(), line.size()));
            } else if (!m_in_entry && (!could_begin_entry(m_line) || m_line.size() > 4096)) {
                // A text line that cannot start an entry goes on at once.
                m_out += m_line;
                m_line.clear();
            } else if (m_in_entry && m_line.size() > 4096) {
                on_line(m_line.data(), m_line.size(), 0);
                m_line.clear();
            }
        }
        i = end;
    }
}

void plain_text_handler::on_line(const char* p, std::size_t n, std::size_t eol_len) {
    const std::size_t content = n - eol_len;
    if (!m_in_entry) {
        byte_string name;
        if (uue_begin_line(p, content, name)) {
            m_in_entry = true;
            m_entry_overflow = false;
            m_saw_backquote = false;
            m_entry.assign(p, content);
            m_entry.append(p + content, eol_len);
            return;
        }
        m_out.append(p, n);
        return;
    }
    const bool is_end = m_saw_backquote && ascii_starts_folded(p, content, "end");
    m_saw_backquote = content == 1 && p[0] == '`';
    if (!m_entry_overflow) {
        m_entry.append(p, is_end ? content : n);
        if (m_entry.size() > max_held_section) {
            m_entry_overflow = true;
            report_dropped_for_size(m_summary, m_entry.size());
            byte_string().swap(m_entry);
        }
    }
    if (is_end) {
        finish_entry();
        m_out.append(p + content, eol_len);
    }
}

void plain_text_handler::finish_entry() {
    m_in_entry = false;
    if (m_entry_overflow) {
        m_entry.clear();
        return;
    }
    byte_string entry;
    entry.swap(m_entry);
    mime_uue_coder uue;
    byte_string decoded;
    byte_string name;
    const std::size_t first_eol = entry.find('\n');
    byte_string first = entry.substr(0, first_eol == byte_string::npos ? entry.size() : first_eol);
    if (!first.empty() && first.back() == '\r') first.pop_back();
    if (!m_parent || !m_summary || !uue_begin_line(first.data(), first.size(), name) ||
        uue.decoder(entry, decoded) <= 0) {
        if (m_parent && m_summary)
            ZEM_LOG_ERROR(ZEM_ENTRY_SOURCE, "plain_text_handler:Can't decode matched uuencode-entry");
        m_out += entry;
        return;
    }
    byte_string charset;
    describe_object(m_summary, name, charset);
    begin_object_check(m_summary);
    const wide_string old_name = m_summary->object_name;
    bool stopped = false;
    const std::int32_t d = m_parent->check_attach(decoded, &stopped, m_summary);
    if (d == mail_action_cut_whole_section) {
        end_object_check(m_summary, 0, d);
        return;
    }
    if (d == mail_action_replace || stopped) {
        if (m_summary->object_name != old_name)
            name = reencode_name(m_summary->object_name, charset, m_summary->code_page);
        byte_string out;
        uue.coder(decoded, out, &name);
        if (out.size() >= 2) out.resize(out.size() - 2);  // the end line's own line end follows
        entry.swap(out);
    }
    end_object_check(m_summary, entry.size(), d);
    m_out += entry;
}

void plain_text_handler::finish(byte_string& out) {
    if (!m_line.empty()) {
        byte_string line;
        line.swap(m_line);
        on_line(line.data(), line.size(), 0);
    }
    // A file without its end line is still a file: the host rules on it.
    if (m_in_entry) finish_entry();
    out += m_out;
    m_out.clear();
}

bool plain_text_handler::update(byte_string& data, unsigned* released, mail_info_summary* summary) {
    if (summary) m_summary = summary;
    const std::size_t keep = released ? std::min<std::size_t>(*released, data.size()) : 0;
    feed(data.data() + keep, data.size() - keep);
    data.resize(keep);
    data += m_out;
    m_out.clear();
    if (released) *released = static_cast<unsigned>(data.size());
    return true;
}

std::int32_t plain_text_handler::stop(byte_string& data) {
    finish(data);
    return mail_action_leave;
}

std::int32_t plain_text_handler::stop_and_check(byte_string& body, bool* stopped, mail_info_summary* summary) {
    if (summary) m_summary = summary;
    byte_string original;
    original.swap(body);
    feed(original.data(), original.size());
    finish(body);
    if (stopped) *stopped = body != original;
    return mail_action_leave;
}

// -------------------------------------------------- multipart_body_handler

multipart_body_handler::multipart_body_handler(mail_filter* parent, const byte_string& boundary,
                                               mail_info_summary* summary, unsigned depth, zombie_state* zombie)
    : m_parent(parent),
      m_boundary(boundary),
      m_delimiter("--" + boundary),
      m_lf_delimiter("\n--" + boundary),
      m_summary(summary),
      m_depth(depth) {
    if (!zombie) {
        m_own_zombie = std::make_unique<zombie_state>();
        zombie = m_own_zombie.get();
    }
    m_zombie = zombie;
}

multipart_body_handler::~multipart_body_handler() {
    if (m_zombie && m_zombie->holder == this) m_zombie->holder = nullptr;
}

byte_string multipart_body_handler::start_zombie() {
    byte_string out;
    out.swap(m_out);
    release_opener();
    m_out += "X-Zombie: ";
    m_zombie->on = true;
    m_zombie->count = 0;
    m_zombie->field_number = 0;
    m_zombie_mine = true;
    out += m_out;
    m_out.clear();
    return out;
}

bool multipart_body_handler::update(byte_string& data, unsigned* released, mail_info_summary* summary) {
    if (summary) m_summary = summary;
    const std::size_t keep = released ? std::min<std::size_t>(*released, data.size()) : 0;
    if (m_state == state::epilogue) {
        if (released) *released = static_cast<unsigned>(data.size());
        return true;
    }
    byte_string in;
    if (keep == 0) {
        in.swap(data);
    } else {
        in.assign(data, keep, byte_string::npos);
        data.resize(keep);
    }
    feed(in.data(), in.size());
    if (m_out.empty() && m_out_list.empty() && m_own_zombie) {
        if (m_zombie->on)
            m_out = m_zombie->next_piece();
        else if (m_zombie->holder && m_zombie->holder->held_size() > zombie_threshold)
            m_out = m_zombie->holder->start_zombie();
    }
    flush_out(data, keep);
    if (released) *released = static_cast<unsigned>(data.size());
    return true;
}

void multipart_body_handler::emit_big(byte_string& piece) {
    if (!m_out.empty()) {
        m_out_list.emplace_back();
        m_out_list.back().swap(m_out);
    }
    m_out_list.emplace_back();
    m_out_list.back().swap(piece);
}

void multipart_body_handler::flush_out(byte_string& data, std::size_t keep) {
    if (!m_out.empty()) {
        m_out_list.emplace_back();
        m_out_list.back().swap(m_out);
    }
    std::size_t big = 0;
    for (std::size_t k = 1; k < m_out_list.size(); ++k)
        if (m_out_list[k].size() > m_out_list[big].size()) big = k;
    if (keep == 0 && data.empty() && !m_out_list.empty() && m_out_list[big].size() > 65536) {
        // A released section: the small pieces around it join it in place,
        // sparing a second buffer of its size.
        std::size_t total = 0;
        for (const auto& p : m_out_list) total += p.size();
        byte_string& body = m_out_list[big];
        if (body.capacity() >= total) {
            byte_string before;
            for (std::size_t k = 0; k < big; ++k) before += m_out_list[k];
            body.insert(0, before);
            for (std::size_t k = big + 1; k < m_out_list.size(); ++k) body += m_out_list[k];
            data.swap(body);
        } else {
            // Growing the section in place would double its room (and a
            // buffer of twice a large section is never reused by the
            // allocator): one fresh buffer of the exact size instead.
            byte_string out;
            out.reserve(total);
            for (const auto& p : m_out_list) out += p;
            data.swap(out);
        }
    } else if (keep == 0 && data.empty() && m_out_list.size() == 1) {
        data.swap(m_out_list.front());
    } else {
        std::size_t total = data.size();
        for (const auto& p : m_out_list) total += p.size();
        data.reserve(total);
        for (const auto& p : m_out_list) data += p;
    }
    m_out_list.clear();
}

// Where the first line that starts with the delimiter begins, after a line
// feed inside [from, n); npos when none does.
std::size_t multipart_body_handler::find_delimiter_line(const char* p, std::size_t from, std::size_t n) const {
    const std::string_view text(p + from, n - from);
    const std::size_t hit = text.find(m_lf_delimiter);
    return hit == std::string_view::npos ? byte_string::npos : from + hit + 1;
}

void multipart_body_handler::feed(const char* p, std::size_t n) {
    std::size_t i = 0;
    const std::size_t d = m_delimiter.size();
    while (i < n) {
        if (m_state == state::epilogue) {
            // After the closing delimiter everything passes untouched.
            m_out.append(p + i, n - i);
            return;
        }
        if (m_state == state::section_body && m_mode == body_mode::held && m_line.empty() && !m_line_decided &&
            n - i > d && std::memcmp(p + i, m_delimiter.data(), d) != 0) {
            // Whole lines up to the next delimiter line go into the held
            // body at once; the last line end waits as the pending one.
            std::size_t j = find_delimiter_line(p, i, n);
            if (j == byte_string::npos) {
                const std::size_t last = std::string_view(p + i, n - i).rfind('\n');
                j = last == std::string_view::npos ? i : i + last + 1;
            }
            if (j > i) {
                const std::size_t eol = eol_length(p + i, j - i);
                on_content(p + i, j - i - eol, true);
                m_pending_eol.assign(p + j - eol, eol);
                i = j;
                continue;
            }
        }
        const void* lf = std::memchr(p + i, '\n', n - i);
        const std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - p) + 1 : n;
        if (m_line_decided) {
            // The rest of a long line already known not to be a delimiter.
            m_line.append(p + i, end - i);
            if (lf) {
                const std::size_t eol = eol_length(m_line.data(), m_line.size());
                on_content(m_line.data(), m_line.size() - eol, false);
                m_pending_eol.assign(m_line, m_line.size() - eol, eol);
                m_line.clear();
                m_line_decided = false;
            } else {
                const bool cr = m_line.back() == '\r';
                on_content(m_line.data(), m_line.size() - (cr ? 1 : 0), false);
                m_line.assign(cr ? "\r" : "");
            }
        } else if (lf && m_line.empty()) {
            on_line(p + i, end - i, eol_length(p + i, end - i));
        } else {
            m_line.append(p + i, end - i);
            if (lf) {
                byte_string line;
                line.swap(m_line);
                on_line(line.data(), line.size(), eol_length(line.data(), line.size()));
            } else if (m_state != state::section_header &&
                       (m_line.size() >= d ? m_line.compare(0, d, m_delimiter) != 0 : false)) {
                // Not a delimiter line: its start may go on (or into the
                // held body) before its end arrives.
                const bool cr = m_line.back() == '\r';
                on_content(m_line.data(), m_line.size() - (cr ? 1 : 0), true);
                m_line.assign(cr ? "\r" : "");
                m_line_decided = true;
            } else if (m_line.size() > max_section_header_bytes) {
                // A header line or a delimiter line without end: read as
                // ended here.
                byte_string line;
                line.swap(m_line);
                on_line(line.data(), line.size(), 0);
            }
        }
        i = end;
    }
}

void multipart_body_handler::on_line(const char* p, std::size_t n, std::size_t eol_len) {
    const std::size_t content = n - eol_len;
    const std::size_t d = m_delimiter.size();
    if (content >= d && std::memcmp(p, m_delimiter.data(), d) == 0) {
        const bool closing = content >= d + 2 && p[d] == '-' && p[d + 1] == '-';
        on_delimiter(p, n, closing);
        return;
    }
    if (m_state == state::section_header) {
        m_header.append(p, n);
        if (content == 0 || m_header.size() > max_section_header_bytes) header_done();
        return;
    }
    on_content(p, content, true);
    m_pending_eol.assign(p + content, eol_len);
}

void multipart_body_handler::on_content(const char* p, std::size_t n, bool first) {
    if (first && !m_pending_eol.empty()) {
        byte_string eol;
        eol.swap(m_pending_eol);
        sink(eol.data(), eol.size());
    }
    if (n) sink(p, n);
}

void multipart_body_handler::sink(const char* p, std::size_t n) {
    switch (m_state) {
        case state::preamble:
            m_out.append(p, n);
            return;
        case state::section_header:
            m_header.append(p, n);
            return;
        case state::epilogue:
            m_out.append(p, n);
            return;
        case state::section_body:
            break;
    }
    switch (m_mode) {
        case body_mode::held:
            m_body.append(p, n);
            m_zombie->holder = this;
            check_section_bound();
            return;
        case body_mode::streamed: {
            byte_string piece(p, n);
            unsigned r = 0;
            m_handler->update(piece, &r, m_summary);
            if (piece.size() > 4096)
                emit_big(piece);
            else
                m_out += piece;
            return;
        }
        case body_mode::passing:
            m_out.append(p, n);
            return;
        case body_mode::discarding:
            return;
    }
}

void multipart_body_handler::release_opener() {
    if (!m_opener_released) {
        m_out += m_opener;
        m_opener.clear();
        m_opener_released = true;
    }
}

void multipart_body_handler::check_section_bound() {
    if (m_header.size() + m_body.size() <= max_held_section) return;
    if (m_kind == handler_kind::checked) {
        report_dropped_for_size(m_summary, m_body.size());
        byte_string().swap(m_body);
        m_mode = body_mode::discarding;
        return;
    }
    // Nothing to rule on: what is held goes on and the rest streams.
    if (m_zombie_mine) {
        m_out += "\r\n";
        m_zombie->on = false;
        m_zombie_mine = false;
    }
    release_opener();
    m_out += m_header;
    emit_big(m_body);
    m_header.clear();
    m_mode = body_mode::passing;
}

void multipart_body_handler::header_done() {
    m_section.clear();
    scan_header_fields(m_header, [&](const header_field& f) {
        const std::size_t nl = f.name_end - f.name_begin;
        byte_string value = m_header.substr(f.value_begin, f.value_end - f.value_begin);
        auto is = [&](const char* w) { return ascii_iequal(m_header.data() + f.name_begin, nl, w); };
        if (is("content-disposition"))
            m_section.content_disposition.swap(value);
        else if (is("content-transfer-encoding"))
            m_section.content_transfer_encoding.swap(value);
        else if (is("content-type"))
            m_section.content_type.swap(value);
        else
            m_section.others.emplace_back(m_header.substr(f.name_begin, nl), std::move(value));
    });
    m_handler = body_handlers_factory(m_section, m_parent, m_summary, m_depth + 1, &m_kind, m_zombie);
    if (!m_handler) {
        ZEM_LOG_ERROR(ZEM_MIME_SOURCE, "multipart_body_handler: failed to create body handler.");
        m_handler = std::make_shared<do_nothing_handler>();
        m_kind = handler_kind::passing;
    }
    m_state = state::section_body;
    m_pending_eol.clear();
    if (m_kind == handler_kind::multipart) {
        release_opener();
        m_out += m_header;
        m_header.clear();
        m_mode = body_mode::streamed;
    } else {
        m_mode = body_mode::held;
    }
}

void multipart_body_handler::finish_section(bool closing_follows, bool& drop_next_opener) {
    drop_next_opener = false;
    if (m_zombie->holder == this) m_zombie->holder = nullptr;
    if (m_zombie_mine) {
        m_out += "\r\n";
        m_zombie->on = false;
        m_zombie_mine = false;
    }
    if (m_state == state::section_header) {
        // A section that ended inside its header: nothing to check.
        release_opener();
        m_out += m_header;
        m_header.clear();
        return;
    }
    std::int32_t decision = mail_action_leave;
    switch (m_mode) {
        case body_mode::held: {
            bool stopped = false;
            decision = m_handler->stop_and_check(m_body, &stopped, m_summary);
            break;
        }
        case body_mode::streamed: {
            byte_string rest;
            m_handler->stop(rest);
            emit_big(rest);
            break;
        }
        case body_mode::passing:
            break;
        case body_mode::discarding:
            decision = mail_action_cut_whole_section;
            break;
    }
    switch (decision) {
        case mail_action_replace:
            if (m_summary) rewrite_header_for_name(m_header, m_summary->replacement_name);
            // fall through
        case mail_action_leave:
            release_opener();
            m_out += m_header;
            emit_big(m_body);
            break;
        case mail_action_cut_whole_section:
            if (m_opener_released) {
                // The opening line (and keep-alive fields) went on already:
                // they now open the next section, or an empty one before the
                // closing delimiter.
                if (closing_follows)
                    m_out += "\r\n";
                else
                    drop_next_opener = true;
            }
            m_opener.clear();
            m_opener_released = true;
            break;
        default:
            ZEM_LOG_ERROR(ZEM_MIME_SOURCE, "multipart_body_handler::handle_section_body: Unknown decision" << decision);
            release_opener();
            m_out += m_header;
            m_out += m_body;
            break;
    }
    m_header.clear();
    byte_string().swap(m_body);
    m_handler.reset();
}

void multipart_body_handler::on_delimiter(const char* p, std::size_t n, bool closing) {
    byte_string opener;
    opener.swap(m_pending_eol);
    opener.append(p, n);
    bool drop = false;
    if (m_state == state::section_header || m_state == state::section_body) {
        finish_section(closing, drop);
    } else if (m_state == state::preamble) {
        // The preamble went on as it came.
    }
    if (closing) {
        m_out += opener;
        m_state = state::epilogue;
        return;
    }
    m_header.clear();
    if (drop) {
        m_opener.clear();
        m_opener_released = true;
    } else {
        m_opener.swap(opener);
        m_opener_released = false;
    }
    m_state = state::section_header;
}

std::int32_t multipart_body_handler::stop(byte_string& data) {
    if (m_state != state::epilogue) {
        if (!m_line.empty()) {
            byte_string line;
            line.swap(m_line);
            if (m_line_decided)
                on_content(line.data(), line.size(), false);
            else
                on_line(line.data(), line.size(), 0);
            m_line_decided = false;
        }
        if (m_state == state::preamble || m_state == state::epilogue) {
            m_out += m_pending_eol;
        } else {
            // A message cut short inside a section: what it holds is still
            // ruled on before it goes on.
            bool drop = false;
            finish_section(true, drop);
            release_opener();
            m_out += m_pending_eol;
        }
        m_pending_eol.clear();
        m_state = state::epilogue;
    }
    flush_out(data, data.size());
    return mail_action_leave;
}

}  // namespace mail
