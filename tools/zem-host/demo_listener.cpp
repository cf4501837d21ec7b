#include "demo_listener.h"

#include <memory>

namespace zem_host {

namespace {

using asio::ip::tcp;

class one_request : public std::enable_shared_from_this<one_request> {
public:
    one_request(tcp::socket s, request_responder respond)
        : m_socket(std::move(s)), m_timer(m_socket.get_executor()), m_respond(std::move(respond)) {}

    void start() {
        // A client that never finishes its request is not kept forever.
        auto self = shared_from_this();
        m_timer.expires_after(std::chrono::seconds(10));
        m_timer.async_wait([this, self](const asio::error_code& ec) {
            if (ec) return;
            asio::error_code ignored;
            m_socket.close(ignored);
        });
        read();
    }

private:
    void read() {
        auto self = shared_from_this();
        m_socket.async_read_some(asio::buffer(m_chunk), [this, self](const asio::error_code& ec, std::size_t n) {
            if (ec) {
                m_timer.cancel();
                return;
            }
            m_request.append(m_chunk, n);
            const std::size_t end = m_request.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (m_request.size() > 64 * 1024)
                    close();  // not a request we serve
                else
                    read();
                return;
            }
            const std::size_t sp1 = m_request.find(' ');
            const std::size_t sp2 = sp1 == std::string::npos ? sp1 : m_request.find(' ', sp1 + 1);
            if (sp2 == std::string::npos || sp2 > end) {
                close();
                return;
            }
            m_reply = m_respond(m_request.substr(0, sp1), m_request.substr(sp1 + 1, sp2 - sp1 - 1),
                                m_request.substr(0, end + 4));
            asio::async_write(m_socket, asio::buffer(m_reply), [this, self](const asio::error_code&, std::size_t) {
                asio::error_code ignored;
                m_socket.shutdown(tcp::socket::shutdown_both, ignored);
                m_timer.cancel();
            });
        });
    }

    void close() {
        asio::error_code ignored;
        m_socket.close(ignored);
        m_timer.cancel();
    }

    tcp::socket m_socket;
    asio::steady_timer m_timer;
    request_responder m_respond;
    char m_chunk[4096];
    std::string m_request, m_reply;
};

}  // namespace

void serve_one_request(tcp::socket s, request_responder respond) {
    std::make_shared<one_request>(std::move(s), std::move(respond))->start();
}

}  // namespace zem_host
