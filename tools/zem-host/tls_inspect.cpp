#include "tls_inspect.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include "diag.h"
#include "event_log.h"
#include "http_front.h"
#include "proxy.h"

namespace zem_host {

namespace {

using asio::ip::tcp;
using unix_socket = asio::local::stream_protocol::socket;

constexpr auto k_handshake_time = std::chrono::seconds(10);
// How long a refused client may take to send its request and read the page.
constexpr auto k_refusal_time = std::chrono::seconds(5);
constexpr auto k_linger_time = std::chrono::seconds(10);
constexpr std::size_t k_pump_buffer = 16 * 1024;
constexpr unsigned char k_alpn[] = "\x08http/1.1";

// The client socket with the bytes it sent after its CONNECT head in front,
// so that a client hello sent before our 200 arrived is not lost.
class prefixed_socket {
public:
    using executor_type = tcp::socket::executor_type;
    using lowest_layer_type = tcp::socket::lowest_layer_type;

    explicit prefixed_socket(const executor_type& ex) : m_sock(ex) {}
    executor_type get_executor() { return m_sock.get_executor(); }
    lowest_layer_type& lowest_layer() { return m_sock.lowest_layer(); }
    const lowest_layer_type& lowest_layer() const { return m_sock.lowest_layer(); }
    tcp::socket& socket() { return m_sock; }
    void set_prefix(std::string p) {
        m_prefix = std::move(p);
        m_at = 0;
    }
    // Keeps a copy of what is read (up to a bound) until stop_recording, so
    // that a connection can still be relayed untouched after its client
    // hello was read.
    void start_recording() { m_recording = true; }
    std::string stop_recording() {
        m_recording = false;
        return std::move(m_recorded);
    }
    bool recording_overflowed() const { return m_recorded.size() > k_max_record; }

    template <typename Buffers, typename Handler>
    void async_read_some(const Buffers& b, Handler&& h) {
        if (m_at < m_prefix.size()) {
            const std::size_t n = asio::buffer_copy(b, asio::buffer(m_prefix) + m_at);
            m_at += n;
            if (m_at == m_prefix.size()) std::string().swap(m_prefix), m_at = 0;
            asio::post(m_sock.get_executor(),
                       [h = std::forward<Handler>(h), n]() mutable { h(asio::error_code(), n); });
            return;
        }
        if (!m_recording) return m_sock.async_read_some(b, std::forward<Handler>(h));
        m_sock.async_read_some(
            b, [this, b, h = std::forward<Handler>(h)](const asio::error_code& e, std::size_t n) mutable {
                if (!e && m_recording && m_recorded.size() <= k_max_record) {
                    const std::size_t at = m_recorded.size();
                    m_recorded.resize(at + n);
                    asio::buffer_copy(asio::buffer(&m_recorded[at], n), b, n);
                }
                h(e, n);
            });
    }
    template <typename Buffers, typename Handler>
    void async_write_some(const Buffers& b, Handler&& h) {
        m_sock.async_write_some(b, std::forward<Handler>(h));
    }

private:
    static constexpr std::size_t k_max_record = 64 * 1024;
    tcp::socket m_sock;
    std::string m_prefix;
    std::size_t m_at = 0;
    bool m_recording = false;
    std::string m_recorded;
};

class inspector;

int on_server_name(SSL* ssl, int* alert, void*);

// Sends close_notify without waiting for the peer's: the read that may be
// pending on the stream ends at the peer's next record or close.
template <typename Stream, typename Done>
void close_notify(Stream& s, Done&& done) {
    SSL* ssl = s.native_handle();
    SSL_set_shutdown(ssl, SSL_get_shutdown(ssl) | SSL_RECEIVED_SHUTDOWN);
    s.async_shutdown(std::forward<Done>(done));
}

class inspector : public std::enable_shared_from_this<inspector>, public relay_item {
public:
    inspector(proxy_server& server, tls_inspection& ins, const tcp::socket::executor_type& ex, std::string host,
              std::uint16_t port, std::uint64_t id)
        : m_server(server),
          m_ins(ins),
          m_client(ex, ins.to_clients),
          m_origin(ex, ins.to_origins),
          m_resolver(ex),
          m_timer(ex),
          m_client_pair(ex),
          m_origin_pair(ex),
          m_host(std::move(host)),
          m_port(port),
          m_id(id) {}

    // A redirected connection to an inspected port: the name comes from the
    // client hello, the origin is the original destination.
    void set_transparent(const tcp::endpoint& dst) {
        m_transparent = true;
        m_targets = {dst};
    }

    void start(tcp::socket client, std::string early) {
        m_client.next_layer().socket() = std::move(client);
        m_client.next_layer().set_prefix(std::move(early));
        asio::error_code ec;
        m_peer = m_client.lowest_layer().remote_endpoint(ec);
        if (ec) return end();
        SSL* ssl = m_client.native_handle();
        if (m_transparent) {
            m_client.next_layer().start_recording();
        } else if (!use_leaf()) {
            return;
        }
        SSL_set_app_data(ssl, this);
        arm_timer(true);
        auto self = shared_from_this();
        m_client.async_handshake(asio::ssl::stream_base::server, [this, self](const asio::error_code& e) {
            if (m_ended) return;
            SSL_set_app_data(m_client.native_handle(), nullptr);
            if (m_pass) return pass_untouched();
            if (m_transparent) m_client.next_layer().stop_recording();
            if (e) {
                if (!m_sni_refusal.empty()) return refuse_silently(m_sni_refusal);
                return refuse_silently(m_timed_out ? "the client's handshake timed out"
                                                   : "the client's handshake failed: " + e.message());
            }
            if (m_transparent) {
                arm_timer(false);
                return try_connect(0);
            }
            resolve();
        });
    }

    void abort() override {
        auto self = shared_from_this();
        asio::post(m_timer.get_executor(), [this, self] { end(); });
    }

    // Called by OpenSSL with the client hello. A redirected connection gets
    // its name here (the destination address without SNI); one whose name is
    // not inspected pauses the handshake before anything was answered.
    int on_hello(SSL* ssl, int* alert) {
        if (!m_transparent) return SSL_CLIENT_HELLO_SUCCESS;
        const unsigned char* p = nullptr;
        std::size_t n = 0;
        std::string sni;
        // server_name: a 2-byte list length, then type (0: host name),
        // 2-byte length, name.
        if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_server_name, &p, &n) == 1 && n >= 5 && p[2] == 0) {
            const std::size_t len = (std::size_t(p[3]) << 8) | p[4];
            if (len <= n - 5) sni.assign(reinterpret_cast<const char*>(p + 5), len);
        }
        std::string name, why;
        if (sni.empty()) {
            name = m_targets.front().address().to_string();
        } else if (!normalize_host(sni, name)) {
            m_sni_refusal = "the client asked for a name that is not a host name";
            *alert = SSL_AD_UNRECOGNIZED_NAME;
            return SSL_CLIENT_HELLO_ERROR;
        }
        m_host = name;
        if (!m_ins.wants(name, why)) {
            if (m_client.next_layer().recording_overflowed()) {
                m_sni_refusal = "a client hello too large to pass on untouched";
                *alert = SSL_AD_HANDSHAKE_FAILURE;
                return SSL_CLIENT_HELLO_ERROR;
            }
            m_pass = true;
            m_pass_reason = why;
            return SSL_CLIENT_HELLO_RETRY;
        }
        if (!use_leaf()) {
            *alert = SSL_AD_INTERNAL_ERROR;
            return SSL_CLIENT_HELLO_ERROR;
        }
        return SSL_CLIENT_HELLO_SUCCESS;
    }

    // Called by OpenSSL inside the client's handshake.
    bool check_server_name(const char* sni) {
        if (!sni) return true;  // the leaf names the CONNECT host
        std::string name;
        if (normalize_host(sni, name) && name == m_host) return true;
        std::string shown(sni);
        for (char& c : shown)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
        m_sni_refusal = "the client asked for \"" + shown + "\" inside a tunnel to " + m_host;
        return false;
    }

private:
    // Bounds one handshake: the client's, or the origin's with its lookup
    // and connect (whose failure the client is still told about).
    void arm_timer(bool client_side) {
        m_timer.expires_after(k_handshake_time);
        auto self = shared_from_this();
        m_timer.async_wait([this, self, client_side](const asio::error_code& e) {
            if (e || m_ended) return;
            m_timed_out = true;
            asio::error_code ignored;
            if (client_side) m_client.lowest_layer().close(ignored);
            m_resolver.cancel();
            m_origin.lowest_layer().close(ignored);
        });
    }

    void resolve() {
        arm_timer(false);
        auto self = shared_from_this();
        m_resolver.async_resolve(m_host, std::to_string(m_port),
                                 [this, self](const asio::error_code& e, const tcp::resolver::results_type& r) {
                                     if (m_ended) return;
                                     if (e || r.empty()) return refuse_page("cannot find " + m_host);
                                     for (const auto& x : r) m_targets.push_back(x.endpoint());
                                     try_connect(0);
                                 });
    }

    void try_connect(std::size_t k) {
        if (m_timed_out) return refuse_page("the connection to " + m_host + " timed out");
        if (k >= m_targets.size()) return refuse_page("cannot connect to " + m_host + ": " + m_connect_error);
        tcp::socket& s = m_origin.next_layer();
        asio::error_code ec;
        s.close(ec);
        s.open(m_targets[k].protocol(), ec);
        if (!ec && m_server.options().mark) {
            const int mark = m_server.options().mark;
            if (setsockopt(s.native_handle(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0)
                m_connect_error = "cannot set the socket mark";
        }
        if (ec) {
            m_connect_error = ec.message();
            return try_connect(k + 1);
        }
        auto self = shared_from_this();
        s.async_connect(m_targets[k], [this, self, k](const asio::error_code& e) {
            if (m_ended) return;
            if (e) {
                m_connect_error = e.message();
                return try_connect(k + 1);
            }
            origin_handshake(m_targets[k]);
        });
    }

    void origin_handshake(const tcp::endpoint& at) {
        m_origin_at = at;
        SSL* ssl = m_origin.native_handle();
        asio::error_code ec;
        asio::ip::make_address(m_host, ec);
        const bool is_ip = !ec;
        bool ok = SSL_set_alpn_protos(ssl, k_alpn, sizeof k_alpn - 1) == 0;
        if (is_ip) {
            ok = ok && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), m_host.c_str()) == 1;
        } else {
            ok = ok && SSL_set_tlsext_host_name(ssl, m_host.c_str()) == 1 && SSL_set1_host(ssl, m_host.c_str()) == 1;
            SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        }
        if (!ok) return refuse_page("cannot prepare the connection to " + m_host + ": " + openssl_error());
        auto self = shared_from_this();
        m_origin.async_handshake(asio::ssl::stream_base::client, [this, self](const asio::error_code& e) {
            if (m_ended) return;
            if (e) {
                const long v = SSL_get_verify_result(m_origin.native_handle());
                if (v != X509_V_OK)
                    return refuse_page("the certificate of " + m_host +
                                       " failed verification: " + X509_verify_cert_error_string(v));
                return refuse_page(m_timed_out ? "the TLS handshake with " + m_host + " timed out"
                                               : "the TLS handshake with " + m_host + " failed: " + e.message());
            }
            connected();
        });
    }

    bool use_leaf() {
        std::string err;
        x509_ptr leaf = m_ins.ca.leaf_for(m_host, err);
        SSL* ssl = m_client.native_handle();
        if (!leaf || SSL_use_certificate(ssl, leaf.get()) != 1 || SSL_use_PrivateKey(ssl, m_ins.ca.leaf_key()) != 1) {
            m_leaf_error = err.empty() ? openssl_error() : err;
            refuse_silently(m_leaf_error);
            return false;
        }
        return true;
    }

    // Not inspected: the client hello read so far and the rest of the
    // connection go to the destination through an ordinary relay.
    void pass_untouched() {
        m_ins.record(m_id, m_host, m_port, "tunnelled", m_pass_reason);
        std::string hello = m_client.next_layer().stop_recording();
        tcp::socket client = std::move(m_client.next_layer().socket());
        const tcp::endpoint dst = m_targets.front();
        end();
        m_server.relay_untouched(std::move(client), std::move(hello), dst);
    }

    // Both handshakes are done: the plaintext goes through a relay of its own.
    void connected() {
        m_timer.cancel();
        std::array<int, 2> a{}, b{};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a.data()) != 0) return refuse_page("out of sockets");
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, b.data()) != 0) {
            ::close(a[0]);
            ::close(a[1]);
            return refuse_page("out of sockets");
        }
        asio::error_code ec;
        m_client_pair.assign(asio::local::stream_protocol(), a[0], ec);
        m_origin_pair.assign(asio::local::stream_protocol(), b[0], ec);
        auto strand = asio::make_strand(m_server.io());
        tcp::socket relay_client(strand), relay_origin(strand);
        relay_client.assign(tcp::v4(), a[1], ec);
        relay_origin.assign(tcp::v4(), b[1], ec);
        const char* alpn = nullptr;
        const unsigned char* p = nullptr;
        unsigned len = 0;
        SSL_get0_alpn_selected(m_origin.native_handle(), &p, &len);
        if (len) alpn = "http/1.1";
        const std::uint64_t relay =
            m_server.relay_paired(std::move(relay_client), std::move(relay_origin), m_peer, m_origin_at);
        m_ins.record(m_id, m_host, m_port, "inspected",
                     std::string(SSL_get_version(m_client.native_handle())) + " from the client, " +
                         SSL_get_version(m_origin.native_handle()) + " to " + m_host + (alpn ? ", ALPN http/1.1" : "") +
                         "; plaintext relayed as connection " + std::to_string(relay));
        m_pumps = 4;
        from_tls(m_client, m_client_pair, m_bufs[0]);
        from_tls(m_origin, m_origin_pair, m_bufs[1]);
        to_tls(m_client_pair, m_client, m_bufs[2]);
        to_tls(m_origin_pair, m_origin, m_bufs[3]);
    }

    using buffer = std::array<char, k_pump_buffer>;

    template <typename Tls>
    void from_tls(Tls& tls, unix_socket& pair, buffer& buf) {
        auto self = shared_from_this();
        tls.async_read_some(
            asio::buffer(buf), [this, self, &tls, &pair, &buf](const asio::error_code& e, std::size_t n) {
                if (m_ended) return;
                if (e) {
                    // The peer's end, orderly or not, is the end of its direction.
                    asio::error_code ignored;
                    pair.shutdown(asio::socket_base::shutdown_send, ignored);
                    return pump_done();
                }
                asio::async_write(pair, asio::buffer(buf.data(), n),
                                  [this, self, &tls, &pair, &buf](const asio::error_code& w, std::size_t) {
                                      if (m_ended) return;
                                      if (w) return end();
                                      from_tls(tls, pair, buf);
                                  });
            });
    }

    template <typename Tls>
    void to_tls(unix_socket& pair, Tls& tls, buffer& buf) {
        auto self = shared_from_this();
        pair.async_read_some(
            asio::buffer(buf), [this, self, &tls, &pair, &buf](const asio::error_code& e, std::size_t n) {
                if (m_ended) return;
                if (e) {
                    // The relay closed this direction.
                    close_notify(tls, [this, self, &tls](const asio::error_code&) {
                        asio::error_code ignored;
                        tls.lowest_layer().shutdown(asio::socket_base::shutdown_send, ignored);
                        relay_closed();
                    });
                    return;
                }
                asio::async_write(tls, asio::buffer(buf.data(), n),
                                  [this, self, &tls, &pair, &buf](const asio::error_code& w, std::size_t) {
                                      if (m_ended) return;
                                      if (w) return end();
                                      to_tls(pair, tls, buf);
                                  });
            });
    }

    void pump_done() {
        if (--m_pumps == 0) end();
    }

    // The relay closed a direction toward a peer. Once it closed both, what
    // the peers still send is read for a bounded time only, as the relay
    // itself drains.
    void relay_closed() {
        if (++m_closed_toward == 2) {
            auto self = shared_from_this();
            m_timer.expires_after(k_linger_time);
            m_timer.async_wait([this, self](const asio::error_code& e) {
                if (!e) end();
            });
        }
        pump_done();
    }

    // Refused before a tunnel carried anything: the event log says why.
    void refuse_silently(const std::string& why) {
        m_ins.record(m_id, m_host, m_port, "refused", why);
        end();
    }

    // Refused after the client's handshake: an error page inside its TLS,
    // after its request head, then the close.
    void refuse_page(const std::string& why) {
        m_ins.record(m_id, m_host, m_port, "refused", why);
        diag(diag_level::notice, "connection %llu: %s", static_cast<unsigned long long>(m_id), why.c_str());
        m_page = proxy_error_reply(502, why);
        asio::error_code ignored;
        m_origin.lowest_layer().close(ignored);
        m_timer.cancel();
        m_timer.expires_after(k_refusal_time);
        auto self = shared_from_this();
        m_timer.async_wait([this, self](const asio::error_code& e) {
            if (!e) end();
        });
        read_request_head();
    }

    void read_request_head() {
        auto self = shared_from_this();
        m_client.async_read_some(asio::buffer(m_bufs[0]), [this, self](const asio::error_code& e, std::size_t n) {
            if (m_ended) return;
            if (!e) {
                m_head.append(m_bufs[0].data(), n);
                if (m_head.find("\r\n\r\n") == std::string::npos && m_head.size() < k_max_request_head)
                    return read_request_head();
            }
            asio::async_write(m_client, asio::buffer(m_page), [this, self](const asio::error_code& w, std::size_t) {
                if (m_ended) return;
                if (w) return end();
                close_notify(m_client, [this, self](const asio::error_code&) { end(); });
            });
        });
    }

    void end() {
        if (m_ended) return;
        m_ended = true;
        asio::error_code ignored;
        m_timer.cancel();
        m_resolver.cancel();
        m_client.lowest_layer().close(ignored);
        m_origin.lowest_layer().close(ignored);
        m_client_pair.close(ignored);
        m_origin_pair.close(ignored);
        m_server.forget(this);
    }

    proxy_server& m_server;
    tls_inspection& m_ins;
    asio::ssl::stream<prefixed_socket> m_client;
    asio::ssl::stream<tcp::socket> m_origin;
    tcp::resolver m_resolver;
    asio::steady_timer m_timer;
    unix_socket m_client_pair, m_origin_pair;
    std::string m_host;
    std::uint16_t m_port;
    std::uint64_t m_id;
    tcp::endpoint m_peer, m_origin_at;
    std::vector<tcp::endpoint> m_targets;
    std::string m_connect_error = "no address";
    std::string m_sni_refusal;
    std::string m_page, m_head;
    std::array<buffer, 4> m_bufs{};
    int m_pumps = 0;
    bool m_transparent = false;
    bool m_pass = false;  // a redirected connection that is not inspected
    std::string m_pass_reason, m_leaf_error;
    int m_closed_toward = 0;
    bool m_timed_out = false;
    bool m_ended = false;
};

int on_client_hello(SSL* ssl, int* alert, void*) {
    auto* self = static_cast<inspector*>(SSL_get_app_data(ssl));
    if (!self) return SSL_CLIENT_HELLO_ERROR;
    return self->on_hello(ssl, alert);
}

int on_server_name(SSL* ssl, int* alert, void*) {
    auto* self = static_cast<inspector*>(SSL_get_app_data(ssl));
    if (!self) return SSL_TLSEXT_ERR_ALERT_FATAL;
    if (self->check_server_name(SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name))) return SSL_TLSEXT_ERR_OK;
    *alert = SSL_AD_UNRECOGNIZED_NAME;
    return SSL_TLSEXT_ERR_ALERT_FATAL;
}

int on_alpn(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in, unsigned inlen, void*) {
    unsigned char* chosen = nullptr;
    if (SSL_select_next_proto(&chosen, outlen, k_alpn, sizeof k_alpn - 1, in, inlen) != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;  // no ALPN: the client speaks HTTP/1.1
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

bool tls_inspection::setup(const std::string& ca_dir, const std::string& upstream_ca, std::string& error) {
    if (!ca.load(ca_dir, error)) return false;
    SSL_CTX* server = to_clients.native_handle();
    SSL_CTX* client = to_origins.native_handle();
    for (SSL_CTX* c : {server, client}) {
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    }
    SSL_CTX_set_tlsext_servername_callback(server, on_server_name);
    SSL_CTX_set_client_hello_cb(server, on_client_hello, nullptr);
    SSL_CTX_set_alpn_select_cb(server, on_alpn, nullptr);
    asio::error_code ec;
    to_origins.set_default_verify_paths(ec);
    if (ec) {
        error = "cannot read the system's trusted roots: " + ec.message();
        return false;
    }
    if (!upstream_ca.empty()) {
        to_origins.load_verify_file(upstream_ca, ec);
        if (ec) {
            error = "cannot read --upstream-ca " + upstream_ca + ": " + ec.message();
            return false;
        }
    }
    to_origins.set_verify_mode(asio::ssl::verify_peer);
    return true;
}

bool tls_inspection::wants(const std::string& host, std::string& why) const {
    if (!only.empty() && !only.matches(host)) {
        why = "not named by --inspect-hosts";
        return false;
    }
    if (!except.empty() && except.matches(host)) {
        why = "excluded by --no-inspect";
        return false;
    }
    return true;
}

void tls_inspection::record(std::uint64_t id, const std::string& host, std::uint16_t port, const char* what,
                            const std::string& why) const {
    if (!m_log) return;
    nlohmann::json rec = {{"connection", id}, {"tls", what}, {"host", host}, {"port", port}, {"reason", why}};
    m_log->write(rec);
}

void start_inspection(proxy_server& server, tls_inspection& ins, tcp::socket client, std::string early,
                      const std::string& host, std::uint16_t port, std::uint64_t id, const tcp::endpoint* redirected) {
    auto strand = asio::make_strand(server.io());
    auto x = std::make_shared<inspector>(server, ins, strand, host, port, id);
    if (redirected) x->set_transparent(*redirected);
    server.track(x);
    tcp::socket s(strand);
    asio::error_code ec;
    asio::ip::tcp::endpoint local = client.local_endpoint(ec);
    const int fd = client.release(ec);
    if (!ec) s.assign(local.protocol(), fd, ec);
    asio::post(strand,
               [x, s = std::move(s), early = std::move(early)]() mutable { x->start(std::move(s), std::move(early)); });
}

}  // namespace zem_host
