#pragma once
// A message carried dot-terminated (POP3 RETR, SMTP DATA): the body is cut
// from the stream up to its ".\r\n" line, the dot-stuffing removed for the
// mail filter and restored on what the filter lets go.
#include <cstdint>
#include <memory>

#include "host/mail_commands.h"
#include "mail/mail_filter.h"
#include "mail/mime_coders.h"

namespace mail {

struct body_scan {
    std::size_t safe;  // bytes that are surely body
    bool found;        // the terminator begins at 'safe'
};

// Finds ".\r\n" at a line start; 'line_start' says whether p[0] begins a
// line and becomes the state at 'safe'. Linear: one memchr per line.
body_scan scan_body(const char* p, std::size_t n, bool& line_start);

class dot_message {
public:
    dot_message(std::shared_ptr<mail_filter> mail, mail_info_summary* summary)
        : m_mail(std::move(mail)), m_summary(summary) {}

    // A new message: takes its id and tells the host.
    void begin();
    bool active() const { return m_active; }
    std::uint64_t bytes() const { return m_bytes; }

    struct result {
        std::size_t consumed;  // bytes of 'p' used, the terminator included
        bool finished;         // the terminator was seen and ".\r\n" appended
    };
    // Feeds stream bytes; what may go on now is appended to 'out'. At most
    // the start of a possible terminator (two bytes) is left unconsumed.
    result feed(const char* p, std::size_t n, byte_string& out);
    // Ends the message: everything held goes to 'out', followed by the
    // terminator line when the stream carried one.
    void finish(byte_string& out, bool terminated);

private:
    void finish_with(byte_string& piece, byte_string& out, bool terminated);

    std::shared_ptr<mail_filter> m_mail;
    mail_info_summary* m_summary;
    mail_dots_coder m_dots;
    bool m_active = false;
    bool m_line_start = true;
    bool m_ends_line = true;
    std::uint64_t m_bytes = 0;
    std::uint32_t m_last_progress = 0;
};

}  // namespace mail
