#include "proxy.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <deque>

#include "diag.h"
#include "http_front.h"
#include "policy.h"
#include "tls_inspect.h"
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
// Client bytes the explicit proxy holds while it waits for an origin.
constexpr std::size_t k_front_limit = 256 * 1024;
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
class connection : public std::enable_shared_from_this<connection>, public zem::i_provider, public relay_item {
public:
    connection(proxy_server& server, tcp::socket client)
        : m_server(server),
          m_client(std::move(client)),
          m_upstream(m_client.get_executor()),
          m_timer(m_client.get_executor()),
          m_resolver(m_client.get_executor()),
          m_id(g_next_id++) {}

    ~connection() {
        if (m_fp) m_fp->release();
    }

    void start() {
        asio::error_code ec;
        const tcp::endpoint peer = m_client.remote_endpoint(ec);
        if (ec) return finish();
        fill_record(m_addr_a, peer);
        if (m_server.options().forward) {
            if (!m_server.client_allowed(peer.address())) {
                diag(diag_level::notice, "connection %llu from %s refused: not an allowed client",
                     static_cast<unsigned long long>(m_id), peer.address().to_string().c_str());
                return finish();
            }
            m_forward = true;
            asio::error_code ignored;
            m_client.set_option(tcp::no_delay(true), ignored);
            m_client.non_blocking(true, ignored);
            wait_read(true);
            return;
        }
        std::vector<tcp::endpoint> targets;
        if (m_server.options().transparent) {
            tcp::endpoint dst;
            const tcp::endpoint local = m_client.local_endpoint(ec);
            if (!original_destination(m_client.native_handle(), dst) || dst == local) {
                // Not redirected to us: relaying would connect back to ourselves.
                diag(diag_level::warning, "connection %llu from %s has no original destination; closed",
                     static_cast<unsigned long long>(m_id), peer.address().to_string().c_str());
                return finish();
            }
            targets.push_back(dst);
            const auto& ports = m_server.options().inspect_ports;
            if (tls_inspection* ins = m_server.options().inspect;
                ins && std::find(ports.begin(), ports.end(), dst.port()) != ports.end()) {
                tcp::socket client = std::move(m_client);
                finish();
                start_inspection(m_server, *ins, std::move(client), std::string(), std::string(), dst.port(), m_id,
                                 &dst);
                return;
            }
        } else {
            targets = m_server.upstream();
        }
        m_targets = std::move(targets);
        try_connect(0);
    }

    // The plaintext of an inspected tunnel: both ends are socket pairs to
    // the TLS ends, so the peers' addresses are given.
    void start_paired(tcp::socket origin, const tcp::endpoint& client, const tcp::endpoint& at) {
        fill_record(m_addr_a, client);
        m_upstream = std::move(origin);
        on_connected(at);
    }

    // A redirected connection that is not inspected after all; 'early' is
    // what was read from the client to decide.
    void start_untouched(std::string early, const tcp::endpoint& dst) {
        asio::error_code ec;
        const tcp::endpoint peer = m_client.remote_endpoint(ec);
        if (ec) return finish();
        fill_record(m_addr_a, peer);
        m_early = std::move(early);
        m_targets = {dst};
        try_connect(0);
    }

    // Tries the targets in order; each attempt gets a fresh socket so that
    // the optional mark is set before the connection is opened.
    void try_connect(std::size_t k) {
        if (m_done) return;
        if (k >= m_targets.size()) {
            if (m_forward) return refuse(502, "cannot connect to " + m_leg_name + ": " + m_connect_error);
            // Unreachable upstream: the client gets nothing but the close.
            diag(diag_level::warning, "connection %llu: upstream unreachable: %s",
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
        if (!ec && m_server.options().upstream_buffer > 0 && near_address(m_targets[k].address())) {
            // The kernel grows a receive window by what the reader took in one
            // round trip; a round trip to a near origin lasts microseconds, and
            // a reader that stops to filter each piece keeps the window small,
            // so a large page arrives in many stalls. A far origin keeps the
            // kernel's sizing, which long round trips need.
            const int size = m_server.options().upstream_buffer;
            setsockopt(m_upstream.native_handle(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        if (ec) {
            m_connect_error = ec.message();
            return try_connect(k + 1);
        }
        auto self = shared_from_this();
        const unsigned leg = m_leg;
        m_upstream.async_connect(m_targets[k], [this, self, k, leg](const asio::error_code& e) {
            if (m_done || leg != m_leg) return;
            if (e) {
                m_connect_error = e.message();
                return try_connect(k + 1);
            }
            on_connected(m_targets[k]);
        });
    }

    void abort() override {
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
        if (len > 0 && data && !m_to_client.close_requested) {
            write_or_queue(m_to_client, m_client, data, static_cast<std::size_t>(len));
            // The explicit proxy must know where answers end to switch
            // origins; answers it cannot follow run to the origin's close.
            if (m_forward && m_front != front_state::tunnel && !m_tracker_broken &&
                !m_tracker.feed(data, static_cast<std::size_t>(len)))
                m_tracker_broken = true;
        }
        return true;
    }
    bool close_in() override {
        // An origin that closes after complete answers leaves the client's
        // connection open for its next request.
        if (m_forward && m_front != front_state::tunnel && !m_tracker_broken && m_tracker.idle() &&
            !m_to_client.close_requested) {
            m_leg_ended = true;
            return true;
        }
        m_to_client.close_requested = true;
        return true;
    }
    bool get_connection_info(zem::connection_info* info) override {
        if (!info) return true;
        info->id0 = static_cast<std::uint32_t>(m_id);
        info->id1 = static_cast<std::uint32_t>(m_id >> 32);
        // getpid is a system call each time, and this is asked for every
        // notification a page raises; the process does not change under us.
        static const std::uint32_t pid = static_cast<std::uint32_t>(getpid());
        info->id2 = pid;
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
            diag(diag_level::err, "connection %llu: the engine made no filter point",
                 static_cast<unsigned long long>(m_id));
            return finish();
        }
        if (m_forward) {
            m_server_in = inbound{};
            wait_read(false);
            return on_leg_ready();
        }
        if (!m_early.empty()) {
            m_fp->update_out(m_early.data(), static_cast<int>(m_early.size()));
            std::string().swap(m_early);
            pump();
            if (m_done) return;
        }
        wait_read(true);
        wait_read(false);
    }

    // from_client: the client's input (the "out" direction), else the server's.
    void wait_read(bool from_client) {
        inbound& in = from_client ? m_client_in : m_server_in;
        if (m_done || in.waiting || in.eof || in.paused) return;
        if (!from_client && !m_fp) return;  // the explicit proxy between origins
        in.waiting = true;
        tcp::socket& s = from_client ? m_client : m_upstream;
        auto self = shared_from_this();
        const unsigned leg = m_leg;
        s.async_wait(tcp::socket::wait_read, [this, self, from_client, leg](const asio::error_code& ec) {
            if (!from_client && leg != m_leg) return;  // an origin connection given up
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
                if (from_client && m_forward && m_front != front_state::tunnel) {
                    // Requests read before the end are still answered; the
                    // close follows the last answer. A body cut short ends
                    // the origin's side too.
                    if (m_front == front_state::body && m_fp && !m_fp->stop_out()) m_to_server.close_requested = true;
                    pump();
                    return;
                }
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
            if (from_client && m_forward && m_front != front_state::tunnel) {
                m_front_bytes.append(buffer.data(), n);
                front_pump();
                pump();
                if (m_done) return;
                if (m_front_bytes.size() - m_front_at >= k_front_limit) {
                    in.paused = true;  // resumed when the front moves on
                    return;
                }
                if (n < buffer.size()) break;
                continue;
            }
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
        front_after_answers();
        write_next(true);
        write_next(false);
        if (m_front == front_state::inspect) {
            if (m_to_client.queue.empty() && !m_to_client.writing && !m_to_client.closed) hand_off();
            return;
        }
        maybe_finish();
    }

    // With nothing queued or in flight, what the socket takes at once goes
    // straight from the engine's buffer (no copy, and no wait for the next
    // pump); only the rest is queued, and errors are left to write_next.
    void write_or_queue(outbound& o, tcp::socket& s, const char* p, std::size_t n) {
        if (o.queue.empty() && !o.writing && !o.closed && !m_done) {
            asio::error_code ec;
            const std::size_t sent = s.write_some(asio::buffer(p, n), ec);
            if (!ec) {
                p += sent;
                n -= sent;
            }
        }
        if (n > 0) o.push(p, n);
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
                const unsigned leg = m_leg;
                s.async_wait(tcp::socket::wait_write, [this, self, to_server, leg](const asio::error_code& e) {
                    if (to_server && leg != m_leg) return;
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

    // ---- The explicit proxy's front: requests read here, each sent to the
    // origin it names through a filter point of that origin's own.

    void front_pump() {
        while (!m_done) {
            const char* data = m_front_bytes.data() + m_front_at;
            const std::size_t avail = m_front_bytes.size() - m_front_at;
            if (m_front == front_state::tunnel) {
                if (avail && m_fp) m_fp->update_out(data, static_cast<int>(avail));
                m_front_bytes.clear();
                m_front_at = 0;
                return;
            }
            if (m_front == front_state::held || m_front == front_state::closing || m_front == front_state::inspect ||
                m_connecting)
                return;
            if (m_front == front_state::body) {
                if (avail == 0) break;
                const std::size_t n = m_body.feed(data, avail);
                if (n) m_fp->update_out(data, static_cast<int>(n));
                m_front_at += n;
                if (m_body.failed()) {
                    // A broken chunked body: the origin gets what came, the
                    // client no further request.
                    m_front = front_state::closing;
                    return;
                }
                if (!m_body.done()) break;
                m_front = front_state::head;
                continue;
            }
            if (avail == 0) break;
            proxy_request req;
            const request_parse r = parse_proxy_request(data, avail, req);
            if (r.result == request_parse::outcome::need_more) break;
            if (r.result == request_parse::outcome::refused) {
                // Answered after every earlier answer, then the close.
                m_front_at += avail;
                m_refusal = r.status;
                m_refusal_reason = r.reason;
                m_front = front_state::held;
                start_request();
                return;
            }
            m_front_at += r.head_length;
            m_request = std::move(req);
            m_front = front_state::held;
            start_request();
            if (m_front == front_state::held) return;
        }
        // Keep the unread rest at the front of the buffer.
        if (m_front_at > 0 && m_front_at == m_front_bytes.size()) {
            m_front_bytes.clear();
            m_front_at = 0;
        } else if (m_front_at >= 64 * 1024) {
            m_front_bytes.erase(0, m_front_at);
            m_front_at = 0;
        }
        if (m_client_in.paused && m_front_bytes.size() - m_front_at < k_front_limit) {
            m_client_in.paused = false;
            wait_read(true);
        }
    }

    // The held request goes on once every earlier answer is complete: to
    // the open origin connection when it names the same origin, else to a
    // new one.
    void start_request() {
        if (m_fp && !m_leg_ended && !m_tracker.idle()) return;  // answers still coming
        if (m_refusal) return refuse(m_refusal, m_refusal_reason);
        const proxy_request& r = m_request;
        const std::string name =
            (r.host.find(':') != std::string::npos ? "[" + r.host + "]" : r.host) + ":" + std::to_string(r.port);
        if (r.what == proxy_request::kind::tunnel) {
            if (!m_server.connect_allowed(r.port))
                return refuse(403, "tunnels to port " + std::to_string(r.port) + " are not allowed");
            if (tls_inspection* ins = m_server.options().inspect) {
                std::string host, why;
                if (!normalize_host(r.host, host)) {
                    ins->record(m_id, r.host, r.port, "refused", "not a host name");
                    return refuse(400, "not a host name: " + r.host);
                }
                if (ins->wants(host, why)) return begin_inspection(host);
                ins->record(m_id, host, r.port, "tunnelled", why);
            }
        }
        if (m_fp && !m_leg_ended && name == m_leg_name && r.what == proxy_request::kind::forward) {
            send_request();
            return;
        }
        drop_leg();
        m_leg_name = name;
        m_connecting = true;
        auto self = shared_from_this();
        const unsigned leg = m_leg;
        m_resolver.async_resolve(
            r.host, std::to_string(r.port),
            [this, self, leg](const asio::error_code& ec, const tcp::resolver::results_type& results) {
                if (m_done || leg != m_leg) return;
                if (ec || results.empty()) return refuse(502, "cannot find " + m_leg_name);
                m_targets.clear();
                for (const auto& e : results) m_targets.push_back(e.endpoint());
                try_connect(0);
            });
    }

    void begin_inspection(const std::string& host) {
        drop_leg();
        m_inspect_host = host;
        static const char ok[] = "HTTP/1.1 200 Connection established\r\n\r\n";
        m_to_client.push(ok, sizeof ok - 1);
        m_front = front_state::inspect;
        m_client_in.paused = true;
        pump();
    }

    // The 200 is out: the TLS end takes the client's socket and what the
    // client sent after its CONNECT.
    void hand_off() {
        tcp::socket client = std::move(m_client);
        std::string early = m_front_bytes.substr(m_front_at);
        const std::uint16_t port = m_request.port;
        finish();
        start_inspection(m_server, *m_server.options().inspect, std::move(client), std::move(early), m_inspect_host,
                         port, m_id);
    }

    // The origin connection is open and has its filter point.
    void on_leg_ready() {
        m_connecting = false;
        if (m_request.what == proxy_request::kind::tunnel) {
            static const char ok[] = "HTTP/1.1 200 Connection established\r\n\r\n";
            m_to_client.push(ok, sizeof ok - 1);
            m_front = front_state::tunnel;
        } else {
            send_request();
        }
        front_pump();
        pump();
    }

    void send_request() {
        const proxy_request& r = m_request;
        m_tracker.request_sent(r.method == "HEAD");
        m_fp->update_out(r.origin_head.data(), static_cast<int>(r.origin_head.size()));
        if (r.chunked_body)
            m_body.reset(body_framer::mode::chunked);
        else
            m_body.reset(r.body_length ? body_framer::mode::length : body_framer::mode::none, r.body_length);
        m_front = m_body.done() ? front_state::head : front_state::body;
        if (r.client_wants_close) m_front = m_body.done() ? front_state::closing : m_front;
    }

    // Gives up the origin connection; its answers are complete.
    void drop_leg() {
        ++m_leg;
        asio::error_code ignored;
        m_upstream.close(ignored);
        if (m_fp) {
            m_fp->release();
            m_fp = nullptr;
        }
        m_to_server = outbound{};
        m_server_in = inbound{};
        m_server_in.eof = true;  // until the next origin connection
        m_tracker = response_tracker{};
        m_tracker_broken = false;
        m_leg_ended = false;
    }

    // An answer of the proxy's own, after every earlier answer; then the close.
    void refuse(int status, const std::string& reason) {
        diag(diag_level::notice, "connection %llu: %d: %s", static_cast<unsigned long long>(m_id), status,
             reason.c_str());
        m_connecting = false;
        m_front = front_state::closing;
        const std::string page = proxy_error_reply(status, reason);
        m_to_client.push(page.data(), page.size());
        m_to_client.close_requested = true;
        m_to_server.close_requested = true;
        m_client_in.paused = true;
        pump();
    }

    // After each engine call: a held request may go on now.
    void front_after_answers() {
        if (!m_forward || m_done || m_front == front_state::tunnel) return;
        if (m_client_in.eof && m_front_at == m_front_bytes.size() && !m_connecting &&
            (m_front == front_state::head || m_front == front_state::closing) &&
            (!m_fp || m_leg_ended || m_tracker.idle())) {
            // The client has nothing more to ask and every answer is out.
            m_to_client.close_requested = true;
            m_to_server.close_requested = true;
            return;
        }
        // Answers the proxy cannot follow run to the origin's close, which
        // closes the client too.
        if (m_tracker_broken) return;
        if (m_front == front_state::held && !m_connecting) {
            start_request();
            if (m_front != front_state::held) front_pump();
        } else if (m_front == front_state::closing && (m_tracker.idle() || m_leg_ended)) {
            m_to_client.close_requested = true;
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
    tcp::resolver m_resolver;
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

    // The explicit proxy's state.
    // inspect: the 200 for a tunnel that is to be inspected is on its way;
    // then the client's socket goes to the TLS end.
    enum class front_state { head, body, held, tunnel, inspect, closing };
    bool m_forward = false;
    front_state m_front = front_state::head;
    std::string m_front_bytes;  // client bytes not yet handed on
    std::size_t m_front_at = 0;
    body_framer m_body;  // of the request being handed on
    proxy_request m_request;
    int m_refusal = 0;
    std::string m_refusal_reason;
    response_tracker m_tracker;
    bool m_tracker_broken = false;
    bool m_connecting = false;
    bool m_leg_ended = false;  // the origin closed after complete answers
    unsigned m_leg = 0;        // origin connections given up so far
    std::string m_leg_name;
    std::string m_inspect_host;
    std::string m_early;  // client bytes to hand on first (see start_untouched)

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
    for (const std::string& a : m_opts.allow) {
        bool valid = false;
        address_in(asio::ip::address_v4::loopback(), a, valid);
        if (!valid) {
            error = "not an address or network: " + a;
            return false;
        }
    }
    if (!m_opts.transparent && !m_opts.forward) {
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
            std::shared_ptr<connection> c;
            {
                std::lock_guard<std::mutex> g(m_lock);
                if (m_live.size() < m_opts.max_connections) {
                    c = std::make_shared<connection>(*this, std::move(s));
                    m_live.emplace(c.get(), c);
                }
            }
            if (c)
                asio::post(c->m_client.get_executor(), [c] { c->start(); });
            else
                turn_away(std::move(s));
        } else if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) {
            return;
        } else if (ec == asio::error::no_descriptors) {
            // Out of file descriptors: back off briefly instead of spinning.
            diag(diag_level::err, "accept: %s", ec.message().c_str());
            auto t = std::make_shared<asio::steady_timer>(m_acceptor.get_executor(), std::chrono::milliseconds(100));
            t->async_wait([this, t](const asio::error_code&) { accept_next(); });
            return;
        }
        accept_next();
    });
}

void proxy_server::turn_away(tcp::socket s) {
    ++m_turned_away;
    // Said once per burst, not once per connection.
    if (m_turned_away.load() % 1000 == 1)
        diag(diag_level::warning, "%zu connections open, the most allowed; new ones are turned away (%llu so far)",
             m_opts.max_connections, static_cast<unsigned long long>(m_turned_away.load()));
    if (m_opts.forward) {
        // Best effort, without waiting: the socket's buffer takes a page
        // this small at once.
        static const std::string page = proxy_error_reply(503, "too many connections are open; try again later");
        asio::error_code ignored;
        s.non_blocking(true, ignored);
        s.write_some(asio::buffer(page), ignored);
        s.shutdown(tcp::socket::shutdown_send, ignored);
    }
    asio::error_code ignored;
    s.close(ignored);
}

void proxy_server::stop_accepting() {
    m_stopping = true;
    asio::post(m_acceptor.get_executor(), [this] {
        asio::error_code ignored;
        m_acceptor.close(ignored);
    });
}

void proxy_server::abort_all() {
    std::vector<std::shared_ptr<relay_item>> live;
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (const auto& w : m_live)
            if (auto c = w.second.lock()) live.push_back(c);
    }
    for (auto& c : live) c->abort();
}

bool proxy_server::connect_allowed(std::uint16_t port) const {
    const auto& ports = m_opts.connect_ports;
    if (!ports.empty()) return std::find(ports.begin(), ports.end(), port) != ports.end();
    if (m_opts.policy) return m_opts.policy->current().pol->connect_allowed(port);
    return port == 443;
}

bool proxy_server::client_allowed(const asio::ip::address& a) const {
    if (a.is_loopback() || (a.is_v6() && a.to_v6().is_v4_mapped() &&
                            asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).is_loopback()))
        return true;
    for (const std::string& net : m_opts.allow) {
        bool valid = false;
        if (address_in(a, net, valid)) return true;
    }
    return false;
}

std::size_t proxy_server::open_connections() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_live.size();
}

void proxy_server::track(const std::shared_ptr<relay_item>& item) {
    std::lock_guard<std::mutex> g(m_lock);
    m_live.emplace(item.get(), item);
}

std::uint64_t proxy_server::relay_paired(tcp::socket client_side, tcp::socket origin_side, const tcp::endpoint& client,
                                         const tcp::endpoint& origin) {
    auto c = std::make_shared<connection>(*this, std::move(client_side));
    track(c);
    asio::post(c->m_client.get_executor(), [c, o = std::move(origin_side), client, origin]() mutable {
        c->start_paired(std::move(o), client, origin);
    });
    return c->m_id;
}

void proxy_server::relay_untouched(tcp::socket client, std::string early, const tcp::endpoint& dst) {
    auto strand = asio::make_strand(m_io);
    tcp::socket s(strand);
    asio::error_code ec;
    const tcp::endpoint local = client.local_endpoint(ec);
    if (ec) return;
    const int fd = client.release(ec);
    if (ec) return;
    s.assign(local.protocol(), fd, ec);
    if (ec) {
        ::close(fd);
        return;
    }
    auto c = std::make_shared<connection>(*this, std::move(s));
    track(c);
    asio::post(strand, [c, early = std::move(early), dst]() mutable { c->start_untouched(std::move(early), dst); });
}

void proxy_server::forget(relay_item* c) {
    std::lock_guard<std::mutex> g(m_lock);
    m_live.erase(c);
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
