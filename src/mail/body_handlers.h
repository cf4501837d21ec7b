#pragma once
// Body handlers of messages and MIME sections, and the attachment checker
// that asks the host for a verdict.
#include <cstdint>
#include <memory>
#include <vector>

#include "host/mail_handler.h"
#include "mail/mail_filter.h"
#include "mail/mime_coders.h"

namespace mail {

// The keep-alive header field trickled while a section is held: shared by a
// multipart handler and the handlers nested in it; only the outermost one
// hands out its pieces.
class multipart_body_handler;
struct zombie_state {
    bool on = false;
    unsigned count = 0;
    unsigned field_number = 0;
    // The handler holding a section now (at most one at a time: the levels
    // around it stream).
    multipart_body_handler* holder = nullptr;
    byte_string next_piece();
};

// Asks the host about an attachment.
class mail_attach_checker : public i_mail_handler {
public:
    bool update(byte_string& data, unsigned* released, mail_info_summary* summary) override;
    std::int32_t stop(byte_string& data) override;
    std::int32_t stop_and_check(byte_string& data, bool* stopped, mail_info_summary* summary) override;

private:
    std::int32_t ask(byte_string& data, mail_info_summary* summary);
    byte_string m_held;
    mail_info_summary* m_summary = nullptr;
};

class mail_entry_handler_base {
protected:
    mail_entry_handler_base(std::int32_t code, mail_filter* parent);
    // Decodes, and encodes back in the body's layout.
    void decode(const byte_string& body, byte_string& out) const;
    // 'name' heads a uuencoded body.
    void encode_like(const byte_string& original, const byte_string& decoded, byte_string& body,
                     const byte_string* name = nullptr) const;

    std::shared_ptr<i_mime_coder> m_coder;
    mail_filter* m_parent;
    std::int32_t m_code;
};

enum class entry_type : std::int32_t { html_body = 0, attachment = 1 };

// Holds a body, decodes it, has it checked and encodes it again only when
// the check changed it.
class attachment_handler : public i_mail_handler, private mail_entry_handler_base {
public:
    attachment_handler(std::int32_t code, mail_filter* parent, const byte_string& name, mail_info_summary* summary,
                       entry_type type);
    bool update(byte_string& data, unsigned* released, mail_info_summary* summary) override;
    std::int32_t stop(byte_string& data) override;
    std::int32_t stop_and_check(byte_string& body, bool* stopped, mail_info_summary* summary) override;

private:
    byte_string m_file_name;
    byte_string m_name_charset;
    byte_string m_body;
    mail_info_summary* m_summary;
    entry_type m_entry_type;
    bool m_overflow = false;
};

// Text with a transfer encoding. Its checker lets everything pass, so at the
// message level it streams; in a section it is checked whole.
class text_handler : public i_mail_handler, private mail_entry_handler_base {
public:
    text_handler(std::int32_t code, mail_filter* parent);
    bool update(byte_string& data, unsigned* released, mail_info_summary* summary) override;
    std::int32_t stop(byte_string& data) override;
    std::int32_t stop_and_check(byte_string& body, bool* stopped, mail_info_summary* summary) override;

private:
    mail_info_summary* m_summary = nullptr;
};

// Text without a Content-Type. Streams, holding only uuencoded files found
// in it ("begin NNN name" ... "`" "end"), each checked as an attachment.
class plain_text_handler : public i_mail_handler, private mail_entry_handler_base {
public:
    plain_text_handler(mail_info_summary* summary, mail_filter* parent);
    bool update(byte_string& data, unsigned* released, mail_info_summary* summary) override;
    std::int32_t stop(byte_string& data) override;
    std::int32_t stop_and_check(byte_string& body, bool* stopped, mail_info_summary* summary) override;

private:
    void feed(const char* p, std::size_t n);
    void on_line(const char* p, std::size_t n, std::size_t eol_len);
    void finish_entry();
    void finish(byte_string& out);

    mail_info_summary* m_summary;
    byte_string m_line;
    byte_string m_entry;
    byte_string m_out;
    bool m_in_entry = false;
    bool m_entry_overflow = false;
    bool m_saw_backquote = false;
};

// Splits a multipart body at its delimiter lines; each section's header
// chooses its handler; held sections are released, dropped or rewritten by
// the decision on them; nested multiparts stream through their own handler.
class multipart_body_handler : public i_mail_handler {
public:
    multipart_body_handler(mail_filter* parent, const byte_string& boundary, mail_info_summary* summary,
                           unsigned depth = 0, zombie_state* zombie = nullptr);
    ~multipart_body_handler() override;
    bool update(byte_string& data, unsigned* released, mail_info_summary* summary) override;
    std::int32_t stop(byte_string& data) override;
    // The keep-alive field starts only when a call would otherwise release
    // nothing while a large section is held, so a message that arrives
    // quickly enough passes unchanged.
    std::size_t held_size() const { return m_body.size(); }
    byte_string start_zombie();

private:
    enum class state { preamble, section_header, section_body, epilogue };
    enum class body_mode { held, streamed, passing, discarding };

    void feed(const char* p, std::size_t n);
    std::size_t find_delimiter_line(const char* p, std::size_t from, std::size_t n) const;
    void on_line(const char* p, std::size_t n, std::size_t eol_len);
    void on_content(const char* p, std::size_t n, bool first);
    void on_delimiter(const char* p, std::size_t n, bool closing);
    void sink(const char* p, std::size_t n);
    void header_done();
    void finish_section(bool closing_follows, bool& drop_next_opener);
    void release_opener();
    void check_section_bound();

    mail_filter* m_parent;
    byte_string m_boundary;
    byte_string m_delimiter;
    byte_string m_lf_delimiter;
    mail_info_summary* m_summary;
    unsigned m_depth;
    std::unique_ptr<zombie_state> m_own_zombie;
    zombie_state* m_zombie;
    state m_state = state::preamble;
    body_mode m_mode = body_mode::held;
    handler_kind m_kind = handler_kind::passing;
    section_header m_section;
    byte_string m_opener;  // the delimiter line that opened the section
    bool m_opener_released = true;
    byte_string m_header;
    byte_string m_body;
    byte_string m_line;  // the unfinished current line
    bool m_line_decided = false;
    byte_string m_pending_eol;  // the line end that may belong to a delimiter
    bool m_zombie_mine = false;
    std::shared_ptr<i_mail_handler> m_handler;
    // Output of the current call: small pieces gather in m_out, a released
    // section body joins the list without a copy.
    byte_string m_out;
    std::vector<byte_string> m_out_list;
    void emit_big(byte_string& piece);
    void flush_out(byte_string& data, std::size_t keep);
};

}  // namespace mail
