#pragma once
// HTTPS inspection of CONNECT tunnels: the client's TLS ends here with a leaf
// of the local authority, a verified TLS connection of our own goes to the
// origin, and the plaintext between them runs through an ordinary relay (and
// its filter point) over two socket pairs, exactly as a plain HTTP origin
// connection would.
#include <asio.hpp>
#include <asio/ssl.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "tls_ca.h"

namespace zem_host {

class event_log;
class proxy_server;

class tls_inspection {
public:
    // Loads the authority and makes both TLS contexts. upstream_ca: extra
    // roots trusted for origins besides the system store (may be empty).
    bool setup(const std::string& ca_dir, const std::string& upstream_ca, std::string& error);
    // Which tunnels are opened: everything, only --inspect-hosts, or all
    // but --no-inspect.
    host_patterns only, except;
    bool wants(const std::string& host, std::string& why) const;
    void set_log(event_log* log) { m_log = log; }
    // One event-log line per tunnel: "inspected", "tunnelled" or "refused".
    void record(std::uint64_t id, const std::string& host, std::uint16_t port, const char* what,
                const std::string& why) const;

    local_ca ca;
    asio::ssl::context to_clients{asio::ssl::context::tls_server};
    asio::ssl::context to_origins{asio::ssl::context::tls_client};

private:
    event_log* m_log = nullptr;
};

// Takes over a client socket whose CONNECT was answered with 200: 'early'
// holds what the client sent after its CONNECT head. 'host' is normalized.
// With 'redirected' (transparent mode), the connection's original
// destination: the name comes from the client hello, and a name that is not
// inspected is relayed untouched.
void start_inspection(proxy_server& server, tls_inspection& ins, asio::ip::tcp::socket client, std::string early,
                      const std::string& host, std::uint16_t port, std::uint64_t id,
                      const asio::ip::tcp::endpoint* redirected = nullptr);

}  // namespace zem_host
