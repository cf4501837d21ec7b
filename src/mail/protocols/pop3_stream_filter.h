#pragma once
// Follows one POP3 session and runs every message the client retrieves
// (RETR, TOP) through the mail message filter on its way to the client.
// Server bytes are parsed from a copy and handed on only once the machine
// has consumed them, so that nothing is sent twice or out of order; client
// bytes always go on unchanged. Anything that does not fit a POP3 session
// makes the filter hand back everything it holds and step aside.
#include <cstdint>
#include <memory>

#include "core/interfaces.h"
#include "host/mail_commands.h"
#include "mail/mail_filter.h"
#include "mail/protocols/dot_message.h"

namespace mail {

enum class pop3_state : std::int32_t {
    hello = 0,
    auth = 1,
    client_hello = 2,
    auth_resp = 3,
    capa_resp = 4,
    auth_client_line = 5,  // a SASL response line of the client
    command = 9,
    command_resp = 10,
    list = 11,
    retr = 12,
    error = 13,
    done = 14,
};

enum class pop3_cmd : std::int32_t {
    quit = 0,
    stat = 1,
    list = 2,
    list_one = 3,
    retr = 4,
    dele = 5,
    noop = 6,
    rset = 7,
    uidl = 8,
    uidl_one = 9,
    top = 10,
    capa = 11,
    other = 12,
    user = 13,
    auth_quit = 14,
    apop = 15,
    pass = 16,
    auth_capa = 17,
    auth_plain = 18,
    auth_login = 19,
    auth_cram_md5 = 20,
    auth = 21,
    stls = 22,
    auth_other = 23,
};

class pop3_stream_filter final : public i_stream_filter {
public:
    // Longest status or command line (line end included) we wait for.
    static constexpr std::size_t max_line = 4096;
    // Longest SASL response line of the client.
    static constexpr std::size_t max_auth_line = 512;
    // Bytes of either side that may wait unparsed (client commands behind a
    // reply being followed, server bytes behind an unfinished command).
    static constexpr std::size_t max_pending_client = 64 * 1024;

    explicit pop3_stream_filter(i_connection_feedback* feedback,
                                const mail_handler_hooks& hooks = mail_handler_hooks());

    void stop_in(byte_string& data) override;
    bool update_in(byte_string& data) override;
    void stop_out(byte_string& data) override;
    bool update_out(byte_string& data) override;
    bool reset_state() override;

    pop3_state state() const { return m_state; }
    pop3_cmd command() const { return m_command; }
    // True once the session went over to TLS.
    bool encrypted() const { return m_encrypted; }

private:
    enum class step { wait, again };

    // Runs the machine; bytes for the client are appended to 'to_client'.
    void machine(byte_string& to_client);
    step handle_hello(byte_string& to_client);
    step handle_auth();
    step handle_auth_resp(byte_string& to_client);
    step handle_auth_client_line();
    step handle_command();
    step handle_command_resp(byte_string& to_client);
    step handle_listing(byte_string& to_client);
    step handle_retr(byte_string& to_client);
    // Hands back everything held (a message in the mail filter first) and
    // leaves the session alone.
    void give_up(byte_string& to_client);
    void release_pending(byte_string& data);

    // Length of the complete line at the front of a buffer; 0 while the
    // line is incomplete; npos when it outgrew 'bound'.
    static std::size_t front_line(const byte_string& buf, std::size_t pos, std::size_t bound);
    void consume_server(std::size_t n, byte_string* to_client);
    void consume_client(std::size_t n);
    bool detached() const;

    i_connection_feedback* m_feedback;
    bool m_stopped_in = false;
    bool m_stopped_out = false;
    bool m_encrypted = false;
    pop3_state m_state = pop3_state::hello;
    pop3_cmd m_command = pop3_cmd::auth_other;
    byte_string m_server;  // copy of server bytes not yet handed on
    std::size_t m_server_pos = 0;
    byte_string m_client;  // copy of client bytes not yet parsed
    std::size_t m_client_pos = 0;
    byte_string m_pending_in;       // released while client data was handled
    bool m_body_line_start = true;  // of a listing
    mail_info_summary m_summary;
    std::shared_ptr<mail_filter> m_mail;
    dot_message m_message;
};

}  // namespace mail
