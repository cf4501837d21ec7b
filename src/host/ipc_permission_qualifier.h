#pragma once
// Qualifiers: the one that asks the host over the command channel and caches
// its answers per connection, and the stub that allows everything and stands
// in until an owner installs a real one.
#include <cstdint>

#include "host/permission_qualifier.h"
#include "host/zem_io_commands.h"
#include "zem/mem_block.h"

namespace zem_io_commands {

// Transport policy: commands go through the host interface installed at
// initialize.
struct control_via_external_iface {};

template <class Control, class Buffer>
class ipc_permission_qualifier_t : public host_permission_qualifier {
public:
    explicit ipc_permission_qualifier_t(i_connection_feedback* feedback);

    bool set_request(const byte_string& host, const byte_string& address, std::uint64_t request_id) override;
    wide_string get_host(const wide_string& selector) override;
    byte_string get_host(const byte_string& selector) override;
    wide_string get_address(const wide_string& selector) override;
    byte_string get_address(const byte_string& selector) override;
    void set_address(const wide_string& address) override;
    void set_address(const byte_string& address) override;
    void set_redirect(const byte_string& redirect) override;
    byte_string get_redirect() override;
    wide_string get_transparent_gif(const wide_string& selector) override;
    byte_string get_transparent_gif(const byte_string& selector) override;
    std::uint64_t get_request_id() override;
    std::int32_t* get_permissions() override;
    bool get_permission_by_index(int index) override;
    bool check_ad_link(const wide_string& url, byte_string& keyword) override;
    bool check_ad_link(const byte_string& url, byte_string& keyword) override;
    bool check_ad_size(int width, int height) override;
    virtual bool query_permission_array(const byte_string& host, std::uint64_t request_id, const byte_string& address);

private:
    byte_string m_host;
    wide_string m_host_w;
    byte_string m_address;
    wide_string m_address_w;
    byte_string m_transparent_gif;
    wide_string m_transparent_gif_w;
    byte_string m_redirect;
    std::uint64_t m_request_id = 0;
    i_connection_feedback* m_feedback;
    size_list m_ad_sizes;
    std::int32_t m_permissions[permission_array_words] = {};
    bool m_permissions_fetched = false;
    bool m_ad_sizes_fetched = false;
};

using ipc_permission_qualifier = ipc_permission_qualifier_t<control_via_external_iface, zem::mem_slice>;
extern template class ipc_permission_qualifier_t<control_via_external_iface, zem::mem_slice>;

}  // namespace zem_io_commands

// The policy handlers fall back on when they are given none: everything
// allowed, as allow_all_qualifier, but it takes no request and keeps the
// wide address it is given as it is; the narrow address reads empty and the
// redirect is the narrow address set.
class stub_permission_qualifier : public allow_all_qualifier {
public:
    bool set_request(const byte_string& host, const byte_string& address, std::uint64_t request_id) override;
    wide_string get_address(const wide_string& selector) override;
    byte_string get_address(const byte_string& selector) override;
    using allow_all_qualifier::set_address;
    void set_address(const wide_string& address) override;
    byte_string get_redirect() override;
    bool is_restricted(int index) override;

private:
    wide_string m_address_w;
};
