#pragma once
// A tiny POP3 mailbox of our own, served on loopback for the demo: any user
// name and password log in and find two messages, an ordinary one and one
// carrying a Windows program as an attachment, which the default policy
// cuts. Enough of POP3 for curl, Python's poplib and mail programs: CAPA,
// USER, PASS, STAT, LIST, UIDL, RETR, TOP, DELE (pretended), NOOP, RSET,
// QUIT.
#include <asio.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "demo_listener.h"

namespace zem_host {

class demo_mailbox {
public:
    explicit demo_mailbox(asio::io_context& io);
    bool start(const std::string& host, std::uint16_t port, std::string& error);
    asio::ip::tcp::endpoint local_endpoint() const { return m_listener.local_endpoint(); }
    void stop() { m_listener.stop(); }

    // The messages, numbered from 1, as stored (CRLF line ends).
    static const std::vector<std::string>& messages();
    // The server's replies to one command line (without its line end); sets
    // quit when the session ends.
    static std::string reply(const std::string& line, bool& logged_in, bool& quit);

private:
    demo_listener m_listener;
};

}  // namespace zem_host
