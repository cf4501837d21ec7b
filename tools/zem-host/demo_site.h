#pragma once
// A small web site of our own, served on loopback, that exercises what the
// filter does: advertisement images and links, banner-sized images, pop-up
// scripts, a hidden frame, a cookie, a gzip-encoded page, a stop word.
#include <asio.hpp>
#include <cstdint>
#include <string>

namespace zem_host {

class demo_site {
public:
    // On a strand of its own, like the proxy's: accepts complete on any pool
    // thread and stop() posts the close from outside.
    explicit demo_site(asio::io_context& io) : m_io(io), m_acceptor(asio::make_strand(io)) {}
    bool start(const std::string& host, std::uint16_t port, std::string& error);
    asio::ip::tcp::endpoint local_endpoint() const;
    // The port of the filtering proxy, used in links to the blocked host.
    void set_proxy_port(std::uint16_t port) { m_proxy_port = port; }
    void stop();

    // The full response (status line, header, body) for a request target.
    std::string respond(const std::string& method, const std::string& target) const;

private:
    void accept_next();
    asio::io_context& m_io;
    asio::ip::tcp::acceptor m_acceptor;
    std::uint16_t m_proxy_port = 0;
};

// gzip encoding of a byte string (for the encoded demo page).
std::string gzip_bytes(const std::string& plain);

}  // namespace zem_host
