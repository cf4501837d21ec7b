#pragma once
// Watches an FTP control connection, never changing a byte of it, so that the
// host's firewall hears of each data connection the local machine is about
// to open: the address in a "227" reply when the local program is a passive
// client, the address of a PORT command when the local program is the server.
#include <cstdint>
#include <string>

#include "core/interfaces.h"

enum class ftp_state { waiting_greeting, in_session, broken };

// normal: the server's lines arrive through update_in; reversed: they arrive
// through update_out (the local program is the server).
enum class ftp_orientation { normal, reversed, unknown };

class ftp_stream_filter final : public i_stream_filter {
public:
    // Longest line (terminator included) a session may send.
    static constexpr std::size_t max_line = 1000;

    explicit ftp_stream_filter(i_connection_feedback* feedback);

    void stop_in(byte_string& data) override;
    bool update_in(byte_string& data) override;
    void stop_out(byte_string& data) override;
    bool update_out(byte_string& data) override;
    bool reset_state() override { return true; }

    virtual void stop_server_side(byte_string& data) { (void)data; }
    virtual bool update_server_side(byte_string& data);
    virtual void stop_client_side(byte_string& data) { (void)data; }
    virtual bool update_client_side(byte_string& data);

    ftp_state state() const { return m_state; }
    ftp_orientation orientation() const { return m_orientation; }
    bool dead() const { return m_dead; }

private:
    enum class line_status { ready, wait, too_long };
    // The next CRLF-terminated line of 'buf' from 'pos'; advances 'pos'.
    static line_status take_line(const byte_string& buf, std::size_t& pos, const char*& begin, std::size_t& len);
    // Cuts the server side's buffer into replies; false when it stops
    // looking like FTP.
    bool run_server_lines();
    bool handle_reply(const char* line, std::size_t len);
    void announce_from(const char* line, std::size_t len, bool reply);
    void die();

    ftp_state m_state = ftp_state::waiting_greeting;
    ftp_orientation m_orientation = ftp_orientation::unknown;
    byte_string m_server_lines;
    byte_string m_client_lines;
    i_connection_feedback* m_feedback;
    bool m_dead = false;
    bool m_greeting_checked = false;
    // The code of a multi-line reply still open ("123-" seen, "123 " not yet):
    // the lines between are free text.
    std::string m_open_reply;
};
