#include "host/permission_qualifier.h"

#include "platform/codepage.h"

bool allow_all_qualifier::set_request(const byte_string& host, const byte_string& address, std::uint64_t request_id) {
    m_host = host;
    m_address = address;
    m_request_id = request_id;
    return true;
}
wide_string allow_all_qualifier::get_host(const wide_string&) { return platform::ansi_to_wide(m_host); }
byte_string allow_all_qualifier::get_host(const byte_string&) { return m_host; }
wide_string allow_all_qualifier::get_address(const wide_string&) { return platform::ansi_to_wide(m_address); }
byte_string allow_all_qualifier::get_address(const byte_string&) { return m_address; }
void allow_all_qualifier::set_address(const wide_string& address) { m_address = platform::wide_to_ansi(address); }
void allow_all_qualifier::set_address(const byte_string& address) { m_address = address; }
void allow_all_qualifier::set_redirect(const byte_string&) {}
byte_string allow_all_qualifier::get_redirect() { return byte_string(); }
wide_string allow_all_qualifier::get_transparent_gif(const wide_string&) { return wide_string(); }
byte_string allow_all_qualifier::get_transparent_gif(const byte_string&) { return byte_string(); }
std::uint64_t allow_all_qualifier::get_request_id() { return m_request_id; }
std::int32_t* allow_all_qualifier::get_permissions() { return m_permissions; }
bool allow_all_qualifier::get_permission_by_index(int) { return true; }
bool allow_all_qualifier::check_ad_link(const wide_string&, byte_string&) { return true; }
bool allow_all_qualifier::check_ad_link(const byte_string&, byte_string&) { return true; }
bool allow_all_qualifier::check_ad_size(int, int) { return true; }
