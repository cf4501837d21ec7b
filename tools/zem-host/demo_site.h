#pragma once
// A small web site of our own, served on loopback, that exercises what the
// filter does: advertisement images and links, banner-sized images, pop-up
// scripts, a hidden frame, a cookie, a gzip-encoded page, a stop word.
#include <asio.hpp>
#include <cstdint>
#include <string>

#include "demo_listener.h"

namespace zem_host {

class demo_site {
public:
    explicit demo_site(asio::io_context& io);
    bool start(const std::string& host, std::uint16_t port, std::string& error);
    asio::ip::tcp::endpoint local_endpoint() const { return m_listener.local_endpoint(); }
    // The port of the filtering proxy, used in links to the blocked host.
    void set_proxy_port(std::uint16_t port) { m_proxy_port = port; }
    void stop() { m_listener.stop(); }

    // The full response (status line, header, body) for a request target.
    std::string respond(const std::string& method, const std::string& target) const;

private:
    demo_listener m_listener;
    std::uint16_t m_proxy_port = 0;
};

// gzip encoding of a byte string (for the encoded demo page).
std::string gzip_bytes(const std::string& plain);

}  // namespace zem_host
