#pragma once
// The relay: every accepted connection is joined to its upstream (a fixed
// address, or the original destination of a redirected connection) through
// one filter point of the engine.
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "addresses.h"

namespace zem_host {

class tls_inspection;
class policy_store;

struct proxy_options {
    std::string listen_host = "127.0.0.1";
    std::uint16_t listen_port = 0;
    bool transparent = false;
    std::string upstream_host;
    std::uint16_t upstream_port = 0;
    int mark = 0;  // SO_MARK for outgoing connections (0 = none)
    // Receive buffer of connections to near origins (near_address), set
    // before connecting; 0: the kernel's own sizing for every origin.
    int upstream_buffer = 1 << 20;
    // Explicit proxy: each request names its destination.
    bool forward = false;
    // Ports CONNECT may reach when given on the command line; empty: the
    // policy's list, read for each tunnel so a reload applies at once.
    std::vector<std::uint16_t> connect_ports;
    const policy_store* policy = nullptr;
    // Connections open at once; past it a new one is turned away (an
    // explicit proxy's client gets a 503 page first), so that no client
    // can take every file descriptor.
    std::size_t max_connections = 4096;
    // Clients beside loopback that may use the proxy ("10.0.0.0/8", "::1/128").
    std::vector<std::string> allow;
    // HTTPS inspection of CONNECT tunnels (explicit proxy); null = off.
    tls_inspection* inspect = nullptr;
    // Transparent mode: original destination ports whose TLS is inspected.
    std::vector<std::uint16_t> inspect_ports = {443};
};

class connection;

// What the server keeps open and closes on abort_all: relays and the TLS
// ends of inspected tunnels.
class relay_item {
public:
    virtual ~relay_item() = default;
    virtual void abort() = 0;
};

class proxy_server {
public:
    proxy_server(asio::io_context& io, proxy_options opts);
    ~proxy_server();

    // Resolves the upstream, binds and listens. False with error set.
    bool start(std::string& error);
    asio::ip::tcp::endpoint local_endpoint() const;
    // Stops accepting; open connections go on.
    void stop_accepting();
    // Closes every open connection at once.
    void abort_all();
    std::size_t open_connections() const;
    std::uint64_t accepted() const { return m_accepted.load(); }
    std::uint64_t turned_away() const { return m_turned_away.load(); }

    // Used by connections.
    void track(const std::shared_ptr<relay_item>& item);
    void forget(relay_item* c);
    asio::io_context& io() { return m_io; }
    // Relays the plaintext of an inspected tunnel: both sockets on one
    // strand, the endpoints those of the real client and origin.
    // Relays a redirected connection to its destination untouched, the
    // bytes already read from the client first.
    void relay_untouched(asio::ip::tcp::socket client, std::string early, const asio::ip::tcp::endpoint& dst);
    // Returns the relay's connection number.
    std::uint64_t relay_paired(asio::ip::tcp::socket client_side, asio::ip::tcp::socket origin_side,
                               const asio::ip::tcp::endpoint& client, const asio::ip::tcp::endpoint& origin);
    const proxy_options& options() const { return m_opts; }
    // Loopback, or a network named by --allow.
    bool client_allowed(const asio::ip::address& a) const;
    // The command line's CONNECT ports, else the current policy's.
    bool connect_allowed(std::uint16_t port) const;
    const std::vector<asio::ip::tcp::endpoint>& upstream() const { return m_upstream; }

private:
    void accept_next();
    void turn_away(asio::ip::tcp::socket s);

    asio::io_context& m_io;
    proxy_options m_opts;
    asio::ip::tcp::acceptor m_acceptor;
    std::vector<asio::ip::tcp::endpoint> m_upstream;
    std::atomic<std::uint64_t> m_accepted{0};
    std::atomic<std::uint64_t> m_turned_away{0};
    mutable std::mutex m_lock;
    std::unordered_map<relay_item*, std::weak_ptr<relay_item>> m_live;
    std::atomic<bool> m_stopping{false};
};

// Parses "host:port" or "[v6]:port".
bool split_host_port(const std::string& text, std::string& host, std::uint16_t& port);

// Raises the soft limit of open files to the hard limit; returns the new limit.
std::uint64_t raise_fd_limit();

}  // namespace zem_host
