#pragma once
// Follows the handshake of an SSL or TLS connection without touching it: the
// server name the client asks for, and the server's certificate chain, which
// is recorded in the certificate folder. Steps aside once the handshake
// records end, when the traffic is not SSL/TLS, or once the chain is written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/interfaces.h"

class ssl_stream_filter final : public i_stream_filter {
public:
    // The configuration value naming the certificate folder (a platform
    // default when it is missing or empty).
    static constexpr const char* folder_value = "cert_folder";
    static constexpr const char* hostname_file = "hostname.txt";

    ssl_stream_filter() = default;

    void stop_in(byte_string& data) override;
    bool update_in(byte_string& data) override { return parse(data, false); }
    void stop_out(byte_string& data) override;
    bool update_out(byte_string& data) override { return parse(data, true); }
    bool reset_state() override;

    const byte_string& server_name() const { return m_server_name; }
    std::size_t held_length() const { return m_held.size(); }
    bool dead() const { return m_dead; }

    // The folder certificates go to, as configured now.
    static std::string certificate_folder();

private:
    enum class step { more, done, detach };

    bool parse(const byte_string& data, bool from_client);
    // Consumes whole units from the front of [p, p + n); sets *used and, when
    // the rest is an incomplete unit, m_need.
    step consume(const unsigned char* p, std::size_t n, bool from_client, std::size_t* used);
    step consume_sslv2(const unsigned char* p, std::size_t n, bool from_client, std::size_t* used);
    step client_record(const unsigned char* p, std::size_t n);
    step server_record(const unsigned char* p, std::size_t n);
    bool client_hello(const unsigned char* p, std::size_t n);
    bool detach();
    void record_chain(const unsigned char* list, std::size_t n) const;

    byte_string m_held;      // an incomplete unit kept from earlier calls
    std::size_t m_need = 0;  // bytes it needs before it can be looked at again
    bool m_held_from_client = false;
    bool m_dead = false;
    bool m_first = true;
    bool m_sslv2 = false;
    byte_string m_server_name;
};
