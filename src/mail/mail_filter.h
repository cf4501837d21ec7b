#pragma once
// One mail message at a time, as a protocol filter feeds it without its
// framing: the header is cached until its blank line, its well-known fields
// go to the session summary and the host, and a body handler chosen from the
// Content-Type rewrites the body. Nothing of a message goes on before its
// header is complete and the body handler has released its first bytes.
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "core/interfaces.h"
#include "host/mail_handler.h"

namespace mail {

// Bounds of what a message may make us hold. Past them nothing is bypassed
// silently: see docs/mail.md.
constexpr std::size_t max_header_bytes = 256 * 1024;
constexpr std::size_t max_section_header_bytes = 64 * 1024;
constexpr std::size_t max_held_section = 32 * 1024 * 1024;
constexpr unsigned max_multipart_depth = 16;
// A section held longer than this starts the keep-alive header field.
constexpr std::size_t zombie_threshold = 40000;

// The fields that choose a body handler, for a message or a MIME section.
// Values are raw: everything after the colon, folded lines included.
struct section_header {
    byte_string content_type;
    byte_string content_disposition;
    byte_string content_transfer_encoding;
    std::vector<std::pair<byte_string, byte_string>> others;
    // At the message level the disposition does not choose the handler, but
    // its file name still names a message that is one attachment.
    byte_string disposition_for_name;
    void clear() {
        disposition_for_name.clear();
        content_type.clear();
        content_disposition.clear();
        content_transfer_encoding.clear();
        others.clear();
    }
};

// One header field found by scan_header_fields: offsets into the header.
struct header_field {
    std::size_t name_begin, name_end;    // the name, without blanks
    std::size_t value_begin, value_end;  // after the colon up to the last line end
    std::size_t field_end;               // past the last line end
};

// Calls f(field) for each field of a header (CRLF or bare LF line ends,
// folded lines belong to their field) up to the first empty line. Lines that
// are no field (no colon, blanks in the name) are skipped.
template <class F>
void scan_header_fields(const byte_string& h, F f);

// Gives a replaced attachment's header its new name: "filename=" of
// Content-Disposition and the whole Content-Type field. Used for the message
// header and for section headers.
void rewrite_header_for_name(byte_string& header, const byte_string& name);

// The HTML checker is built by whoever knows the HTML filter (the module).
struct mail_handler_hooks {
    std::function<std::shared_ptr<i_mail_handler>(i_connection_feedback*)> html;
};

class mail_attach_checker;

class mail_filter : public i_mail_handler {
public:
    explicit mail_filter(i_connection_feedback* feedback, const mail_handler_hooks& hooks = mail_handler_hooks());
    bool update(byte_string& data, unsigned* released, mail_info_summary* summary) override;
    std::int32_t stop(byte_string& data) override;

    std::int32_t check_html(byte_string& data, bool* stopped, mail_info_summary* summary);
    std::int32_t check_attach(byte_string& data, bool* stopped, mail_info_summary* summary);
    std::int32_t check_text(byte_string& data, bool* stopped, mail_info_summary* summary);

    // The raw fields of the current message (valid until stop).
    const byte_string& raw_from() const { return m_from; }
    const byte_string& raw_subject() const { return m_subject; }
    const section_header& message_header() const { return m_section; }

private:
    std::shared_ptr<i_mail_handler> analize_cached_header_and_select_body_handler();
    void decode_and_fill_well_known_fields();
    void reset_message();

    byte_string m_cache;
    std::shared_ptr<i_mail_handler> m_body_handler;
    std::shared_ptr<mail_attach_checker> m_pattach_checker;
    std::shared_ptr<i_mail_handler> m_ptext_checker;
    std::shared_ptr<i_mail_handler> m_phtml_checker;
    bool m_header_done = false;
    byte_string m_from, m_to, m_cc, m_subject;
    section_header m_section;
    mail_info_summary* m_pmi_summary = nullptr;
    byte_string m_pending_header;
};

// Which way a handler treats its content; decides what happens to a section
// that outgrows the held bound.
enum class handler_kind {
    passing,    // lets everything through (text, unknown types)
    checked,    // the host or the HTML filter rules on it
    multipart,  // streams its own sections
};

// The body handler for a message (depth 0) or a section.
std::shared_ptr<i_mail_handler> body_handlers_factory(const section_header& section, mail_filter* parent,
                                                      mail_info_summary* summary, unsigned depth = 0,
                                                      handler_kind* kind = nullptr, void* zombie = nullptr);

// Encoding code of a Content-Transfer-Encoding value (7 when unknown).
std::int32_t transfer_encoding_code(const byte_string& value);

// Host notifications around one checked object; a fresh object id.
void begin_object_check(mail_info_summary* summary);
void end_object_check(mail_info_summary* summary, std::uint64_t size, std::int32_t decision);

// A new message of a session: takes its id and tells the host.
void start_message(mail_info_summary& summary);

// ------------------------------------------------------------------------

template <class F>
void scan_header_fields(const byte_string& h, F f) {
    const std::size_t n = h.size();
    std::size_t pos = 0;
    auto line_end = [&](std::size_t from) {
        const std::size_t lf = h.find('\n', from);
        return lf == byte_string::npos ? n : lf + 1;
    };
    auto content_end = [&](std::size_t begin, std::size_t end) {
        if (end > begin && h[end - 1] == '\n') --end;
        if (end > begin && h[end - 1] == '\r') --end;
        return end;
    };
    while (pos < n) {
        std::size_t end = line_end(pos);
        const std::size_t cend = content_end(pos, end);
        if (cend == pos) return;  // the empty line that ends the header
        const char c0 = h[pos];
        if (c0 == ' ' || c0 == '\t') {
            pos = end;
            continue;
        }
        std::size_t colon = pos;
        while (colon < cend && h[colon] != ':' && h[colon] != ' ' && h[colon] != '\t') ++colon;
        std::size_t name_end = colon;
        if (colon < cend && h[colon] == ' ') ++colon;  // "Name :"
        if (colon >= cend || h[colon] != ':' || name_end == pos) {
            pos = end;
            continue;
        }
        header_field fld{pos, name_end, colon + 1, cend, end};
        // Folded continuation lines.
        while (end < n && (h[end] == ' ' || h[end] == '\t')) {
            const std::size_t next = line_end(end);
            fld.value_end = content_end(end, next);
            fld.field_end = next;
            end = next;
        }
        f(fld);
        pos = end;
    }
}

}  // namespace mail
