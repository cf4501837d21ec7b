#include "proxy.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>

#include "wire.h"
#include "zem/zem.h"

namespace zem_host {

namespace {

using asio::ip::tcp;

// Kernel constants of the NAT table's original-destination query.
constexpr int k_so_original_dst = 80;
constexpr int k_ip6t_so_original_dst = 80;

// Reads go into a per-thread buffer: an idle connection holds no read
// buffer at all.
constexpr std::size_t k_read_size = 64 * 1024;
constexpr int k_reads_per_wakeup = 8;
constexpr std::size_t k_pieces_per_write = 64;
// Stop reading a side while this much is still queued toward the other.
constexpr std::size_t k_high_water = 1024 * 1024;
constexpr std::size_t k_low_water = 256 * 1024;
// After both directions were closed toward the peers, how long unread input
// is drained before the sockets are closed (closing with unread input would
// reset the connection and could destroy a reply still in flight).
constexpr int k_linger_seconds = 10;

std::atomic<std::uint64_t> g_next_id{1};

void fill_record(unsigned char out[128], const tcp::endpoint& ep) {
    const asio::ip::address a = ep.address();
    std::string text = ep.address().to_string() + ":" + std::to_string(ep.port());
    if (a.is_v4()) {
        const auto b = a.to_v4().to_bytes();
        encode_address_record(out, 2, b.data(), ep.port(), text);
    } else {
        const auto b = a.to_v6().to_bytes();
        encode_address_record(out, 10, b.data(), ep.port(), "[" + a.to_string() + "]:" + std::to_string(ep.port()));
    }
}

bool original_destination(int fd, tcp::endpoint& out) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockopt(fd, SOL_IP, k_so_original_dst, &ss, &len) == 0 && ss.ss_family == AF_INET) {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
        asio::ip::address_v4::bytes_type b;
        std::memcpy(b.data(), &sin->sin_addr, 4);
        out = tcp::endpoint(asio::ip::address_v4(b), ntohs(sin->sin_port));
        return true;
    }
    len = sizeof ss;
    if (getsockopt(fd, SOL_IPV6, k_ip6t_so_original_dst, &ss, &len) == 0 && ss.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        asio::ip::address_v6::bytes_type b;
        std::memcpy(b.data(), &sin6->sin6_addr, 16);
        out = tcp::endpoint(asio::ip::address_v6(b), ntohs(sin6->sin6_port));
        return true;
    }
    return false;
}

}  // namespace

// One relayed connection. Everything runs on the connection's strand: socket
// handlers and the filter point calls, and, from inside those calls, the
// engine's calls back into this provider. No lock is needed.
class connection : public std::enable_shared_from_this<connection>, public zem::i_provider {
public:
    connection(proxy_server& server, tcp::socket client)
        : m_server(server),
          m_client(std::move(client)),
          m_upstream(m_client.get_executor()),
          m_timer(m_client.get_executor()),
          m_id(g_next_id++) {}

    ~connection() {
        if (m_fp) m_fp->release();
    }

    void start() {
        asio::error_code ec;
        const tcp::endpoint peer = m_client.remote_endpoint(ec);
        if (ec) return finish();
        fill_record(m_addr_a, peer);
        std::vector<tcp::endpoint> targets;
        if (m_server.options().transparent) {
            tcp::endpoint dst;
            const tcp::endpoint local = m_client.local_endpoint(ec);
            if (!original_destination(m_client.native_handle(), dst) || dst == local) {
                // Not redirected to us: relaying would connect back to ourselves.
                std::fprintf(stderr, "zem-host: connection %llu from %s has no original destination; closed\n",
                             static_cast<unsigned long long>(m_id), peer.address().to_string().c_str());
                return finish();
            }
            targets.push_back(dst);
        } else {
            targets = m_server.upstream();
        }
        m_targets = std::move(targets);
        try_connect(0);
    }

    // Tries the targets in order; each attempt gets a fresh socket so that
    // the optional mark is set before the connection is opened.
    void try_connect(std::size_t k) {
        if (m_done) return;
        if (k >= m_targets.size()) {
            // Unreachable upstream: the client gets nothing but the close.
            std::fprintf(stderr, "zem-host: connection %llu: upstream unreachable: %s\n",
                         static_cast<unsigned long long>(m_id), m_connect_error.c_str());
            return finish();
        }
        asio::error_code ec;
        m_upstream.close(ec);
        m_upstream.open(m_targets[k].protocol(), ec);
        if (!ec && m_server.options().mark) {
            const int mark = m_server.options().mark;
            if (setsockopt(m_upstream.native_handle(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0)
                m_connect_error = "cannot set the socket mark";
        }
        if (ec) {
            m_connect_error = ec.message();
            return try_connect(k + 1);
        }
        auto self = shared_from_this();
        m_upstream.async_connect(m_targets[k], [this, self, k](const asio::error_code& e) {
            if (m_done) return;
            if (e) {
                m_connect_error = e.message();
                return try_connect(k + 1);
            }
            on_connected(m_targets[k]);
        });
    }

    void abort() {
        auto self = shared_from_this();
        asio::post(m_client.get_executor(), [this, self] { finish(); });
    }

    // ---- zem::i_provider: called by the engine from inside our own calls.
    bool send_out(const char* data, int len) override {
        if (len > 0 && data && !m_to_server.close_requested) m_to_server.push(data, static_cast<std::size_t>(len));
        return true;
    }
    bool close_out() override {
        m_to_server.close_requested = true;
        return true;
    }
    bool send_in(const char* data, int len) override {
        if (len > 0 && data && !m_to_client.close_requested) m_to_client.push(data, static_cast<std::size_t>(len));
        return true;
    }
    bool close_in() override {
        m_to_client.close_requested = true;
        return true;
    }
    bool get_connection_info(zem::connection_info* info) override {
        if (!info) return true;
        info->id0 = static_cast<std::uint32_t>(m_id);
        info->id1 = static_cast<std::uint32_t>(m_id >> 32);
        info->id2 = static_cast<std::uint32_t>(getpid());
        std::memcpy(info->address_a, m_addr_a, sizeof m_addr_a);
        std::memcpy(info->address_b, m_addr_b, sizeof m_addr_b);
        return true;
    }

private:
    // Bytes queued toward one socket, and whether that direction is to be
    // (or has been) shut down.
    struct outbound {
        std::deque<std::string> queue;
        std::size_t front_sent = 0;  // of queue.front(), already written
        std::size_t bytes = 0;       // queued and not yet written
        bool writing = false;        // waiting for the socket to take more
        bool close_requested = false;
        bool closed = false;
        void push(const char* p, std::size_t n) {
            // Coalesce small pieces so a trickle of tiny sends stays one write.
            if (!queue.empty() && queue.back().size() < 16 * 1024)
                queue.back().append(p, n);
            else
                queue.emplace_back(p, n);
            bytes += n;
        }
    };
    // Input state of one socket.
    struct inbound {
        bool waiting = false;
        bool paused = false;
        bool eof = false;
    };

    void on_connected(const tcp::endpoint& ep) {
        fill_record(m_addr_b, ep);
        asio::error_code ignored;
        m_client.set_option(tcp::no_delay(true), ignored);
        m_upstream.set_option(tcp::no_delay(true), ignored);
        m_client.non_blocking(true, ignored);
        m_upstream.non_blocking(true, ignored);
        m_fp = create_filt_point(this, static_cast<int>(m_id & 0x7FFFFFFF));
        if (!m_fp) {
            std::fprintf(stderr, "zem-host: connection %llu: the engine made no filter point\n",
                         static_cast<unsigned long long>(m_id));
            return finish();
        }
        wait_read(true);
        wait_read(false);
    }

    // from_client: the client's input (the "out" direction), else the server's.
    void wait_read(bool from_client) {
        inbound& in = from_client ? m_client_in : m_server_in;
        if (m_done || in.waiting || in.eof || in.paused) return;
        in.waiting = true;
        tcp::socket& s = from_client ? m_client : m_upstream;
        auto self = shared_from_this();
        s.async_wait(tcp::socket::wait_read, [this, self, from_client](const asio::error_code& ec) {
            (from_client ? m_client_in : m_server_in).waiting = false;
            if (m_done) return;
            if (ec) return finish();
            on_readable(from_client);
        });
    }

    void on_readable(bool from_client) {
        thread_local std::vector<char> buffer(k_read_size);
        inbound& in = from_client ? m_client_in : m_server_in;
        tcp::socket& s = from_client ? m_client : m_upstream;
        outbound& dest = from_client ? m_to_server : m_to_client;
        // Read on while the socket has more, so a large body costs one
        // reactor wake-up per several reads instead of one per read.
        for (int round = 0; round < k_reads_per_wakeup; ++round) {
            asio::error_code ec;
            const std::size_t n = s.read_some(asio::buffer(buffer), ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) break;
            if (ec == asio::error::eof) {
                in.eof = true;
                if (m_draining) return maybe_finish();
                // The end of a direction lets the engine flush what it holds; it
                // then closes the direction through close_out/close_in.
                bool ok = from_client ? m_fp->stop_out() : m_fp->stop_in();
                if (!ok) {
                    // The engine failed before closing: close it ourselves.
                    (from_client ? m_to_server : m_to_client).close_requested = true;
                }
                pump();
                return;
            }
            if (ec) return finish();
            if (m_draining) continue;  // discard
            const int len = static_cast<int>(n);
            if (from_client)
                m_fp->update_out(buffer.data(), len);
            else
                m_fp->update_in(buffer.data(), len);
            pump();
            if (m_done) return;
            if (dest.bytes >= k_high_water) {
                in.paused = true;
                return;
            }
            if (n < buffer.size()) break;  // most likely all there was
        }
        wait_read(from_client);
    }

    // Starts writes and shutdowns for whatever the engine queued.
    void pump() {
        if (m_done) return;
        write_next(true);
        write_next(false);
        maybe_finish();
    }

    // Writes at once what the socket takes, all queued pieces in one call;
    // the reactor is asked only when the socket's buffer is full.
    void write_next(bool to_server) {
        outbound& o = to_server ? m_to_server : m_to_client;
        tcp::socket& s = to_server ? m_upstream : m_client;
        if (m_done || o.writing || o.closed) return;
        thread_local std::vector<asio::const_buffer> pieces;
        while (!o.queue.empty()) {
            pieces.clear();
            for (const std::string& q : o.queue) {
                const std::size_t skip = pieces.empty() ? o.front_sent : 0;
                pieces.emplace_back(q.data() + skip, q.size() - skip);
                if (pieces.size() == k_pieces_per_write) break;
            }
            asio::error_code ec;
            std::size_t n = s.write_some(pieces, ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) {
                o.writing = true;
                auto self = shared_from_this();
                s.async_wait(tcp::socket::wait_write, [this, self, to_server](const asio::error_code& e) {
                    (to_server ? m_to_server : m_to_client).writing = false;
                    if (m_done) return;
                    if (e) return finish();
                    pump();
                });
                return;
            }
            if (ec) return finish();
            o.bytes -= n;
            while (n > 0) {
                const std::size_t left = o.queue.front().size() - o.front_sent;
                if (n < left) {
                    o.front_sent += n;
                    break;
                }
                n -= left;
                o.queue.pop_front();
                o.front_sent = 0;
            }
            // Resume the reader that feeds this direction.
            inbound& src = to_server ? m_client_in : m_server_in;
            if (src.paused && o.bytes <= k_low_water) {
                src.paused = false;
                wait_read(to_server);
            }
        }
        if (o.close_requested) {
            o.closed = true;
            asio::error_code ignored;
            s.shutdown(tcp::socket::shutdown_send, ignored);
        }
    }

    void maybe_finish() {
        if (m_done) return;
        if (!(m_to_server.closed && m_to_client.closed)) return;
        if (m_client_in.eof && m_server_in.eof) return finish();
        if (!m_draining) {
            // Both directions are shut toward the peers; read and discard what
            // they still send until they close too, for a bounded time.
            m_draining = true;
            m_client_in.paused = m_server_in.paused = false;
            wait_read(true);
            wait_read(false);
            auto self = shared_from_this();
            m_timer.expires_after(std::chrono::seconds(k_linger_seconds));
            m_timer.async_wait([this, self](const asio::error_code& ec) {
                if (!ec) finish();
            });
        }
    }

    void finish() {
        if (m_done) return;
        m_done = true;
        asio::error_code ignored;
        m_timer.cancel();
        m_client.close(ignored);
        m_upstream.close(ignored);
        if (m_fp) {
            m_fp->release();
            m_fp = nullptr;
        }
        m_to_server.queue.clear();
        m_to_client.queue.clear();
        m_server.forget(this);
    }

    proxy_server& m_server;
    tcp::socket m_client;
    tcp::socket m_upstream;
    asio::steady_timer m_timer;
    std::uint64_t m_id;
    zem::i_filt_point* m_fp = nullptr;
    unsigned char m_addr_a[128] = {};
    unsigned char m_addr_b[128] = {};
    outbound m_to_server, m_to_client;
    inbound m_client_in, m_server_in;
    std::vector<tcp::endpoint> m_targets;
    std::string m_connect_error = "no address";
    bool m_draining = false;
    bool m_done = false;

    friend class proxy_server;
};

proxy_server::proxy_server(asio::io_context& io, proxy_options opts)
    // The acceptor lives on a strand of its own: accept completions run on
    // any pool thread, and the close posted by stop_accepting must not run
    // beside an async_accept that is being started.
    : m_io(io), m_opts(std::move(opts)), m_acceptor(asio::make_strand(io)) {}

proxy_server::~proxy_server() = default;

bool proxy_server::start(std::string& error) {
    asio::error_code ec;
    tcp::resolver resolver(m_io);
    if (!m_opts.transparent) {
        auto results = resolver.resolve(m_opts.upstream_host, std::to_string(m_opts.upstream_port), ec);
        if (ec || results.empty()) {
            error = "cannot resolve upstream " + m_opts.upstream_host + ": " + ec.message();
            return false;
        }
        for (const auto& r : results) m_upstream.push_back(r.endpoint());
    }
    auto listen_at = resolver.resolve(m_opts.listen_host, std::to_string(m_opts.listen_port), ec);
    if (ec || listen_at.empty()) {
        error = "cannot resolve listen address " + m_opts.listen_host + ": " + ec.message();
        return false;
    }
    const tcp::endpoint ep = listen_at.begin()->endpoint();
    m_acceptor.open(ep.protocol(), ec);
    if (!ec) m_acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) m_acceptor.bind(ep, ec);
    if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error =
            "cannot listen on " + m_opts.listen_host + ":" + std::to_string(m_opts.listen_port) + ": " + ec.message();
        return false;
    }
    asio::post(m_acceptor.get_executor(), [this] { accept_next(); });
    return true;
}

tcp::endpoint proxy_server::local_endpoint() const {
    asio::error_code ec;
    return m_acceptor.local_endpoint(ec);
}

void proxy_server::accept_next() {
    m_acceptor.async_accept(asio::make_strand(m_io), [this](const asio::error_code& ec, tcp::socket s) {
        if (m_stopping) return;
        if (!ec) {
            ++m_accepted;
            auto c = std::make_shared<connection>(*this, std::move(s));
            {
                std::lock_guard<std::mutex> g(m_lock);
                m_live.insert(c);
            }
            asio::post(c->m_client.get_executor(), [c] { c->start(); });
        } else if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) {
            return;
        } else if (ec == asio::error::no_descriptors) {
            // Out of file descriptors: back off briefly instead of spinning.
            std::fprintf(stderr, "zem-host: accept: %s\n", ec.message().c_str());
            auto t = std::make_shared<asio::steady_timer>(m_acceptor.get_executor(), std::chrono::milliseconds(100));
            t->async_wait([this, t](const asio::error_code&) { accept_next(); });
            return;
        }
        accept_next();
    });
}

void proxy_server::stop_accepting() {
    m_stopping = true;
    asio::post(m_acceptor.get_executor(), [this] {
        asio::error_code ignored;
        m_acceptor.close(ignored);
    });
}

void proxy_server::abort_all() {
    std::vector<std::shared_ptr<connection>> live;
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (const auto& w : m_live)
            if (auto c = w.lock()) live.push_back(c);
    }
    for (auto& c : live) c->abort();
}

std::size_t proxy_server::open_connections() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_live.size();
}

void proxy_server::forget(connection* c) {
    std::lock_guard<std::mutex> g(m_lock);
    for (auto it = m_live.begin(); it != m_live.end(); ++it) {
        auto sp = it->lock();
        if (sp.get() == c || !sp) {
            m_live.erase(it);
            return;
        }
    }
}

bool split_host_port(const std::string& text, std::string& host, std::uint16_t& port) {
    std::size_t colon;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        host = text.substr(0, colon);
    }
    const std::string p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long v = std::stoul(p);
    if (v > 65535) return false;
    port = static_cast<std::uint16_t>(v);
    if (host.empty()) host = "0.0.0.0";
    return true;
}

std::uint64_t raise_fd_limit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    return rl.rlim_cur;
}

}  // namespace zem_host
