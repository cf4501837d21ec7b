#pragma once
// Host side of the engine's command channel: reading the requests and
// notifications the engine builds, writing the replies it expects. Every read
// is bounds-checked against the message, so a short or inconsistent message is
// reported as an error instead of being read past its end.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace zem_host {

// ---- text -------------------------------------------------------------------
// UTF-16LE bytes to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16le_to_utf8(const char* p, std::size_t nbytes);
// UTF-8 to UTF-16LE bytes (no terminator); malformed sequences become U+FFFD.
std::string utf8_to_utf16le(const std::string& s);
// Narrow engine text (Windows-1252, the engine's ANSI code page) to UTF-8.
std::string ansi_to_utf8(const std::string& s);
// True when s is well-formed UTF-8.
bool valid_utf8(const std::string& s);

// ---- reading ------------------------------------------------------------------
constexpr std::size_t header_size = 28;
constexpr std::size_t string_ref_size = 16;

struct message_header {
    std::uint32_t total_size = 0;
    std::uint32_t reserved = 0;
    std::uint64_t filetime = 0;
    std::uint32_t id0 = 0, id1 = 0, id2 = 0;
};

class wire_reader {
public:
    wire_reader(const char* data, std::size_t len) : m_p(data), m_n(data ? len : 0) {}
    std::size_t size() const { return m_n; }
    const char* data() const { return m_p; }
    bool has(std::size_t off, std::size_t width) const { return off <= m_n && width <= m_n - off; }
    bool u8(std::size_t off, std::uint8_t& v) const;
    bool u32(std::size_t off, std::uint32_t& v) const;
    bool u64(std::size_t off, std::uint64_t& v) const;
    bool s32(std::size_t off, std::int32_t& v) const;
    bool s64(std::size_t off, std::int64_t& v) const;
    // Reads the string_ref at off. A reference with offset 0 is "no string".
    // The referenced bytes must lie inside the message; a wide string must
    // have an even length. Text comes back as UTF-8.
    bool wide_string(std::size_t off, std::string& utf8) const;
    bool narrow_string(std::size_t off, std::string& raw) const;
    bool header(message_header& h) const;

private:
    bool string_bytes(std::size_t off, const char*& p, std::size_t& n) const;
    const char* m_p;
    std::size_t m_n;
};

// ---- decoded requests ------------------------------------------------------------
struct permission_request {
    message_header hdr;
    std::uint64_t request_id = 0;
    std::string host;                  // UTF-8
    std::string address;               // UTF-8
    std::string address_b, address_a;  // 128 raw bytes each
};
struct learn_request {
    message_header hdr;
    std::uint64_t request_id = 0;
    std::string host;
    std::uint32_t index = 0;
    std::int64_t context = 0;
};
struct attach_request {
    message_header hdr;
    std::uint64_t object_id = 0, message_id = 0;
    std::uint64_t body_address = 0, body_length = 0;
    std::string name, from, to, subject;  // UTF-8
    std::uint32_t protocol = 0, outgoing = 0;
};
struct firewall_request {
    message_header hdr;
    std::uint32_t address = 0;  // first dotted part in the most significant byte
    std::uint32_t port = 0;
};
struct script_request {
    message_header hdr;
    std::uint64_t request_id = 0;
    std::uint64_t script_address = 0, script_length = 0;
};

// Each returns an empty string on success, otherwise why the request is bad.
std::string decode(const char* p, std::size_t n, permission_request& r);
std::string decode(const char* p, std::size_t n, learn_request& r);
std::string decode(const char* p, std::size_t n, attach_request& r);
std::string decode(const char* p, std::size_t n, firewall_request& r);
std::string decode(const char* p, std::size_t n, script_request& r);

// Decodes a notification into its named fields (strings as UTF-8). Returns an
// empty string on success, otherwise why it is malformed.
std::string decode_notification(int code, const char* p, std::size_t n, nlohmann::json& fields);

const char* command_name(int code);            // nullptr for an unknown code
const char* notification_name(int code);       // nullptr for an unknown code
const char* index_name(int index);             // "idx_cookies"... ; nullptr when out of range
int index_from_name(const std::string& name);  // -1 when unknown
const char* action_name(int action);
std::string ipv4_text(std::uint32_t address);

// The host's own layout of the two 128-byte address records in
// connection_info: +0 u16 family (2 IPv4, 10 IPv6), +2 u16 port, +4 16 bytes
// of address (network order), +20 the NUL-terminated text "addr:port".
void encode_address_record(unsigned char out[128], int family, const unsigned char* addr, std::uint16_t port,
                           const std::string& text);
std::string address_record_text(const std::string& record);

// ---- replies -------------------------------------------------------------------
std::string encode_permission_reply(const std::int32_t actions[22], const std::string& text_utf8);
std::string encode_learn_reply(bool current_allow, std::int32_t action_next);
std::string encode_word_list(const std::vector<std::string>& words_utf8);
std::string encode_flagged_word_list(const std::vector<std::string>& words_utf8, std::uint8_t flag);
std::string encode_size_list(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& sizes);
std::string encode_narrow_string(const std::string& raw);
std::string encode_attach_reply(std::uint32_t action, const std::string& new_name_utf8, const std::string& new_body);
std::string encode_script_reply(bool replace, const std::string& replacement);
std::string encode_cookie(const unsigned char cookie[16]);

}  // namespace zem_host
