#pragma once
// Follows one SMTP session and runs every message sent with DATA through
// the mail message filter on its way to the server. Lines are handed on as
// they complete; the message is handed on as the mail filter releases it.
// What the filter cannot follow is kept from being used: the EHLO reply
// loses CHUNKING, BINARYMIME and PIPELINING, and a client that still sends
// BDAT, asks for BODY=BINARYMIME or sends message bytes before the server
// said "354" has its connection closed instead of passing unchecked (the
// filter stays on it and keeps everything more from the server).
// TURN swaps the roles of the two directions.
#include <cstdint>
#include <deque>
#include <memory>

#include "core/interfaces.h"
#include "host/mail_commands.h"
#include "mail/mail_filter.h"
#include "mail/protocols/dot_message.h"

namespace mail {

enum class smtp_state : std::int32_t {
    greeting = 0,
    session = 2,  // commands and their replies
    message = 3,
    error = 4,  // final: everything passes, the filter steps aside
};

enum class smtp_cmd : std::int32_t {
    mail = 0,
    rcpt = 1,
    data = 2,
    message = 3,  // the end of a message, awaiting its reply
    turn = 4,
    auth = 5,
    other = 6,
    ehlo = 7,
    starttls = 9,
};

class smtp_stream_filter final : public i_stream_filter {
public:
    // Longest command or reply line (line end included).
    static constexpr std::size_t max_line = 4096;
    // Commands sent ahead of their replies.
    static constexpr std::size_t max_pending_commands = 100;

    explicit smtp_stream_filter(i_connection_feedback* feedback,
                                const mail_handler_hooks& hooks = mail_handler_hooks());

    void stop_in(byte_string& data) override;
    bool update_in(byte_string& data) override;
    void stop_out(byte_string& data) override;
    bool update_out(byte_string& data) override;
    bool reset_state() override;

    smtp_state state() const { return m_state; }
    bool turned() const { return m_turned; }
    bool encrypted() const { return m_encrypted; }
    // True once the filter asked for the connection to be closed.
    bool refused() const { return m_refused; }

private:
    enum class step { wait, again };
    static constexpr int dir_in = 0, dir_out = 1;

    bool process(int dir, byte_string& data);
    int command_dir() const { return m_turned ? dir_in : dir_out; }
    step step_reply(int dir, byte_string& out);
    step step_command(int dir, byte_string& out);
    step handle_reply_line(const char* line, std::size_t n, byte_string& out);
    step handle_command_line(const char* line, std::size_t n, byte_string& out);
    void give_up(int dir, byte_string& out);
    void refuse(const char* why);
    void consume(int dir, std::size_t n, byte_string* out);
    std::size_t held(int dir) const { return m_buf[dir].size() - m_pos[dir]; }

    i_connection_feedback* m_feedback;
    smtp_state m_state = smtp_state::greeting;
    bool m_turned = false;
    bool m_encrypted = false;
    bool m_refused = false;
    bool m_auth_continuation = false;
    std::deque<smtp_cmd> m_pending;  // commands whose replies are awaited
    byte_string m_buf[2];            // bytes of each direction not yet handed on
    std::size_t m_pos[2] = {0, 0};
    byte_string m_later[2];  // handed back for a direction while the other spoke
    byte_string m_ehlo_reply;
    std::size_t m_ehlo_last_kept = 0;  // offset of the last line kept
    unsigned m_ehlo_lines = 0;
    mail_info_summary m_summary;
    std::shared_ptr<mail_filter> m_mail;
    dot_message m_message;
};

}  // namespace mail
