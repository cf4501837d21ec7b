#pragma once
// The listening side of zem-host's own small servers (the demo site and
// mailbox, the status page). On a strand of its own, like the proxy's:
// accepts complete on any pool thread and stop() posts the close from
// outside. Every accepted connection goes to the handler.
#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace zem_host {

class demo_listener {
public:
    using handler = std::function<void(asio::ip::tcp::socket)>;

    demo_listener(asio::io_context& io, handler on_accept)
        : m_io(io), m_acceptor(asio::make_strand(io)), m_on_accept(std::move(on_accept)) {}

    // 'what' names the server in the error ("the demo site").
    bool start(const std::string& host, std::uint16_t port, const std::string& what, std::string& error) {
        asio::error_code ec;
        const asio::ip::tcp::endpoint ep(asio::ip::make_address(host, ec), port);
        if (ec) {
            error = "bad demo address " + host;
            return false;
        }
        m_acceptor.open(ep.protocol(), ec);
        if (!ec) m_acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
        if (!ec) m_acceptor.bind(ep, ec);
        if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            error = "cannot listen for " + what + ": " + ec.message();
            return false;
        }
        asio::post(m_acceptor.get_executor(), [this] { accept_next(); });
        return true;
    }

    asio::ip::tcp::endpoint local_endpoint() const {
        asio::error_code ec;
        return m_acceptor.local_endpoint(ec);
    }

    void stop() {
        asio::post(m_acceptor.get_executor(), [this] {
            asio::error_code ignored;
            m_acceptor.close(ignored);
        });
    }

private:
    void accept_next() {
        m_acceptor.async_accept(asio::make_strand(m_io), [this](const asio::error_code& ec, asio::ip::tcp::socket s) {
            if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) return;
            if (!ec) m_on_accept(std::move(s));
            accept_next();
        });
    }

    asio::io_context& m_io;
    asio::ip::tcp::acceptor m_acceptor;
    handler m_on_accept;
};

// Serves one HTTP request on the connection: reads its head (at most 64 KiB,
// within 10 seconds), hands method, target and the whole head to 'respond',
// writes the answer and closes.
using request_responder =
    std::function<std::string(const std::string& method, const std::string& target, const std::string& head)>;
void serve_one_request(asio::ip::tcp::socket s, request_responder respond);

}  // namespace zem_host
