#pragma once
// The policy the HTML handlers use until their owner installs the connection's
// qualifier: everything allowed, nothing an advertisement, no host commands.
#include <cstdint>

#include "host/permission_qualifier.h"

namespace html {

class allow_all_qualifier : public host_permission_qualifier {
public:
    bool set_request(const byte_string&, const byte_string&, std::uint64_t) override { return true; }
    wide_string get_host(const wide_string&) override { return wide_string(); }
    byte_string get_host(const byte_string&) override { return byte_string(); }
    wide_string get_address(const wide_string&) override { return m_address_w; }
    byte_string get_address(const byte_string&) override { return byte_string(); }
    void set_address(const wide_string& a) override { m_address_w = a; }
    void set_address(const byte_string& a) override { m_address = a; }
    void set_redirect(const byte_string&) override {}
    byte_string get_redirect() override { return m_address; }
    wide_string get_transparent_gif(const wide_string&) override { return wide_string(); }
    byte_string get_transparent_gif(const byte_string&) override { return byte_string(); }
    std::uint64_t get_request_id() override { return 0; }
    std::int32_t* get_permissions() override { return m_permissions; }
    bool get_permission_by_index(int) override { return true; }
    bool check_ad_link(const wide_string&, byte_string&) override { return true; }
    bool check_ad_link(const byte_string&, byte_string&) override { return true; }
    bool check_ad_size(int, int) override { return true; }
    bool is_restricted(int) override { return false; }

private:
    byte_string m_address;
    wide_string m_address_w;
    std::int32_t m_permissions[permission_array_words] = {};
};

}  // namespace html
