#include "ssl/ssl_stream_filter.h"

#include <vector>

#include "core/configuration.h"
#include "log/log.h"
#include "platform/files.h"

namespace {

constexpr unsigned char k_handshake = 22;
constexpr unsigned char k_client_hello = 1;
constexpr unsigned char k_certificate = 11;
constexpr std::size_t k_record_header = 5;
constexpr std::size_t k_message_header = 4;
constexpr std::size_t k_sslv2_header = 11;

std::size_t be16(const unsigned char* p) { return (std::size_t(p[0]) << 8) | p[1]; }
std::size_t be24(const unsigned char* p) { return (std::size_t(p[0]) << 16) | (std::size_t(p[1]) << 8) | p[2]; }

// A bounds-checked reader over one message body.
struct reader {
    const unsigned char* p;
    std::size_t n;
    std::size_t off = 0;
    bool ok = true;

    std::size_t left() const { return n - off; }
    std::size_t number(std::size_t width) {
        if (!ok || left() < width) return ok = false, 0;
        std::size_t v = 0;
        for (std::size_t k = 0; k < width; ++k) v = (v << 8) | p[off + k];
        off += width;
        return v;
    }
    const unsigned char* bytes(std::size_t len) {
        if (!ok || left() < len) return ok = false, nullptr;
        const unsigned char* r = p + off;
        off += len;
        return r;
    }
};

// A server name as text that cannot forge lines or escape quotes.
std::string printable(const byte_string& s) {
    static const char hex[] = "0123456789abcdef";
    std::string r;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            r += static_cast<char>(c);
        } else {
            r += "\\x";
            r += hex[c >> 4];
            r += hex[c & 15];
        }
    }
    return r;
}

}  // namespace

void ssl_stream_filter::stop_in(byte_string& data) {
    (void)data;
    m_dead = true;
}

void ssl_stream_filter::stop_out(byte_string& data) {
    (void)data;
    m_dead = true;
}

bool ssl_stream_filter::reset_state() {
    byte_string().swap(m_held);
    m_need = 0;
    m_dead = false;
    m_sslv2 = false;
    m_first = true;
    return true;
}

bool ssl_stream_filter::detach() {
    byte_string().swap(m_held);
    m_need = 0;
    m_dead = true;
    m_first = false;
    return false;
}

std::string ssl_stream_filter::certificate_folder() {
    std::string folder = config::read_string(folder_value);
    return folder.empty() ? std::string(platform::default_certificate_folder()) : folder;
}

bool ssl_stream_filter::parse(const byte_string& data, bool from_client) {
    if (m_dead) return false;
    if (data.empty()) return true;
    if (m_first && !from_client) return detach();  // the server spoke first
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    const bool from_held = !m_held.empty();
    if (from_held) {
        if (m_held_from_client != from_client) return detach();
        m_held.append(data);
        // Nothing to look at before the held unit is complete: a record
        // trickling in byte by byte is not parsed again for every byte.
        if (m_held.size() < m_need) return true;
        p = reinterpret_cast<const unsigned char*>(m_held.data());
        n = m_held.size();
    }
    if (m_first) m_sslv2 = p[0] != k_handshake;
    std::size_t used = 0;
    m_need = 0;
    const step s = consume(p, n, from_client, &used);
    if (s != step::more) return detach();  // not TLS, or nothing more to follow
    if (from_held)
        m_held.erase(0, used);
    else
        m_held.assign(data, used, byte_string::npos);
    if (m_held.empty()) m_need = 0;
    m_held_from_client = from_client;
    m_first = false;
    return true;
}

ssl_stream_filter::step ssl_stream_filter::consume(const unsigned char* p, std::size_t n, bool from_client,
                                                   std::size_t* used) {
    std::size_t off = 0;
    if (m_sslv2) {
        const step s = consume_sslv2(p, n, from_client, &off);
        if (s != step::more || m_sslv2) {
            *used = off;
            return s;
        }
    }
    while (off < n) {
        if (p[off] != k_handshake) return step::detach;
        if (n - off < k_record_header) {
            m_need = k_record_header;
            break;
        }
        const std::size_t len = be16(p + off + 3);
        if (n - off < k_record_header + len) {
            m_need = k_record_header + len;
            break;
        }
        const unsigned char* fragment = p + off + k_record_header;
        const step s = from_client ? client_record(fragment, len) : server_record(fragment, len);
        if (s != step::more) return s;
        off += k_record_header + len;
    }
    *used = off;
    return step::more;
}

ssl_stream_filter::step ssl_stream_filter::consume_sslv2(const unsigned char* p, std::size_t n, bool from_client,
                                                         std::size_t* used) {
    if (!from_client) return step::detach;
    if (n >= 3 && p[2] != k_client_hello) return step::detach;
    if (n < k_sslv2_header) {
        m_need = n < 3 ? 3 : k_sslv2_header;
        return step::more;
    }
    const std::size_t total = k_sslv2_header + be16(p + 5) + be16(p + 7) + be16(p + 9);
    if (n > total) return step::detach;
    if (n < total) {
        m_need = total;
        return step::more;
    }
    *used = total;
    if (be16(p + 3) >= 0x0300) m_sslv2 = false;  // TLS records follow
    return step::more;
}

// A handshake message that does not end inside its record is one we cannot
// follow (we do not join messages across records): step aside.
ssl_stream_filter::step ssl_stream_filter::client_record(const unsigned char* p, std::size_t n) {
    std::size_t off = 0;
    while (off < n) {
        if (n - off < k_message_header) return step::detach;
        const std::size_t len = be24(p + off + 1);
        if (n - off - k_message_header < len) return step::detach;
        if (p[off] != k_client_hello) return step::more;
        if (!client_hello(p + off + k_message_header, len)) return step::detach;
        off += k_message_header + len;
    }
    return step::more;
}

bool ssl_stream_filter::client_hello(const unsigned char* p, std::size_t n) {
    reader r{p, n};
    r.bytes(2 + 32);       // version, random
    r.bytes(r.number(1));  // session id
    r.bytes(r.number(2));  // cipher suites
    r.bytes(r.number(1));  // compression methods
    if (!r.ok) return false;
    if (r.left() == 0) return true;  // no extensions
    const std::size_t all = r.number(2);
    reader ext{r.bytes(all), all};
    if (!r.ok) return false;
    while (ext.ok && ext.left() > 0) {
        const std::size_t type = ext.number(2);
        const std::size_t len = ext.number(2);
        reader data{ext.bytes(len), len};
        if (!ext.ok) return false;
        if (type != 0) continue;  // not the server name
        data.number(2);           // list length
        data.number(1);           // name type
        const std::size_t name_len = data.number(2);
        const unsigned char* name = data.bytes(name_len);
        if (!data.ok) return false;
        m_server_name.assign(reinterpret_cast<const char*>(name), name_len);
    }
    return ext.ok;
}

ssl_stream_filter::step ssl_stream_filter::server_record(const unsigned char* p, std::size_t n) {
    if (n == 0) return step::more;
    if (n < k_message_header) return step::detach;
    if (p[0] != k_certificate) return step::more;
    const std::size_t len = be24(p + 1);
    if (n - k_message_header < len) return step::detach;
    reader r{p + k_message_header, len};
    const std::size_t list_len = r.number(3);
    if (!r.ok || list_len != r.left()) return step::detach;
    // Every inner length must add up before anything is written.
    while (r.ok && r.left() > 0) r.bytes(r.number(3));
    if (!r.ok) return step::detach;
    record_chain(p + k_message_header + 3, list_len);
    return step::done;
}

void ssl_stream_filter::record_chain(const unsigned char* list, std::size_t n) const {
    const std::string folder = certificate_folder();
    if (!platform::is_directory(folder)) return;  // made by the user, or nothing is recorded
    const std::string name = printable(m_server_name);
    reader r{list, n};
    while (r.ok && r.left() > 0) {
        const std::size_t len = r.number(3);
        const unsigned char* der = r.bytes(len);
        if (!der) break;
        std::string path;
        if (platform::write_new_file(folder, "cer", reinterpret_cast<const char*>(der), len, path))
            ZEM_LOG(1, "ssl_stream_filter: certificate of \"" << name << "\" written to " << path << "\n");
    }
    // The name goes in as one line whatever bytes the client put in it.
    std::string line = m_server_name;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    line += "\r\n";
    const std::string hostnames = platform::join_path(folder, hostname_file);
    if (platform::append_file(hostnames, line.data(), line.size()))
        ZEM_LOG(1, "ssl_stream_filter: server name \"" << name << "\" appended to " << hostnames << "\n");
}
