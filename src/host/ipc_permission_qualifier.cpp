#include "host/ipc_permission_qualifier.h"

#include "core/ascii.h"
#include "host/ad_link_checker.h"
#include "log/log.h"
#include "platform/codepage.h"

// The qualifier shares its source path with the command wrappers it is built on.
#define ZEM_QUALIFIER_SOURCE "common/inc/lsp_io_wrappers"

namespace zem_io_commands {

namespace {
bool same_ignoring_case(const byte_string& a, const byte_string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}
}  // namespace

template <class C, class B>
ipc_permission_qualifier_t<C, B>::ipc_permission_qualifier_t(i_connection_feedback* feedback) : m_feedback(feedback) {}

template <class C, class B>
bool ipc_permission_qualifier_t<C, B>::set_request(const byte_string& host, const byte_string& address,
                                                   std::uint64_t request_id) {
    if (!same_ignoring_case(host, m_host)) {
        m_host = host;
        m_host_w = platform::ansi_to_wide(host);
        m_address = address;
        m_address_w = platform::ansi_to_wide(address);
        m_permissions_fetched = false;
    }
    m_request_id = request_id;
    return true;
}

template <class C, class B>
wide_string ipc_permission_qualifier_t<C, B>::get_host(const wide_string&) {
    return m_host_w;
}

template <class C, class B>
byte_string ipc_permission_qualifier_t<C, B>::get_host(const byte_string&) {
    return m_host;
}

template <class C, class B>
wide_string ipc_permission_qualifier_t<C, B>::get_address(const wide_string&) {
    return m_address_w;
}

template <class C, class B>
byte_string ipc_permission_qualifier_t<C, B>::get_address(const byte_string&) {
    return m_address;
}

template <class C, class B>
void ipc_permission_qualifier_t<C, B>::set_address(const wide_string& address) {
    set_address(platform::wide_to_ansi(address));
}

template <class C, class B>
void ipc_permission_qualifier_t<C, B>::set_address(const byte_string& address) {
    if (same_ignoring_case(address, m_address)) return;
    m_address = address;
    m_address_w = platform::ansi_to_wide(address);
}

template <class C, class B>
void ipc_permission_qualifier_t<C, B>::set_redirect(const byte_string& redirect) {
    m_redirect = redirect;
}

template <class C, class B>
byte_string ipc_permission_qualifier_t<C, B>::get_redirect() {
    return m_redirect;
}

template <class C, class B>
wide_string ipc_permission_qualifier_t<C, B>::get_transparent_gif(const wide_string&) {
    if (m_transparent_gif_w.empty()) m_transparent_gif_w = platform::ansi_to_wide(get_transparent_gif(byte_string()));
    return m_transparent_gif_w;
}

template <class C, class B>
byte_string ipc_permission_qualifier_t<C, B>::get_transparent_gif(const byte_string&) {
    // An empty answer is not cached: the host may have no image yet.
    if (m_transparent_gif.empty()) http_query_transparent_gif(m_transparent_gif);
    return m_transparent_gif;
}

template <class C, class B>
std::uint64_t ipc_permission_qualifier_t<C, B>::get_request_id() {
    return m_request_id;
}

template <class C, class B>
std::int32_t* ipc_permission_qualifier_t<C, B>::get_permissions() {
    if (!m_permissions_fetched) {
        query_permission_array(m_host, m_request_id, m_address);
        // A failed fetch is not repeated for the same host: everything stays
        // allowed and the connection does not pay for a command per question.
        m_permissions_fetched = true;
    }
    return m_permissions;
}

template <class C, class B>
bool ipc_permission_qualifier_t<C, B>::query_permission_array(const byte_string& host, std::uint64_t request_id,
                                                              const byte_string& address) {
    byte_string text;
    bool ok = general_query_permission_array(host, address, m_feedback, m_permissions, request_id, text);
    set_redirect(ok ? text : byte_string());
    return ok;
}

template <class C, class B>
bool ipc_permission_qualifier_t<C, B>::get_permission_by_index(int index) {
    if (static_cast<unsigned>(index) > static_cast<unsigned>(idx_count)) {
        ZEM_LOG_ERROR(ZEM_QUALIFIER_SOURCE,
                      "ipc_permission_qualifier_t::get_permission_by_index: Wrong Index=" << index);
        return false;
    }
    std::int32_t* permissions = get_permissions();
    const std::int32_t action = permissions[index];
    switch (action) {
        case content_action_allow:
            return true;
        case content_action_block:
            return false;
        case content_action_learn: {
            bool allow = true;
            std::int32_t next = action;
            if (!do_learn_for_index(m_host, allow, m_feedback, index, m_request_id, next)) return true;
            permissions[index] = next;
            return allow;
        }
        default:
            ZEM_LOG_ERROR(ZEM_QUALIFIER_SOURCE,
                          "ipc_permission_qualifier_t::get_permission_by_index: Wrong action at index="
                              << index << " action=" << action);
            return true;
    }
}

template <class C, class B>
bool ipc_permission_qualifier_t<C, B>::check_ad_link(const wide_string& url, byte_string& keyword) {
    try {
        i_ad_link_checker* checker = ad_link_checker();
        return !(checker && checker->is_ad_link(url, keyword));
    } catch (...) {
        return true;  // a matcher that cannot answer blocks nothing
    }
}

template <class C, class B>
bool ipc_permission_qualifier_t<C, B>::check_ad_link(const byte_string& url, byte_string& keyword) {
    try {
        i_ad_link_checker* checker = ad_link_checker();
        return !(checker && checker->is_ad_link(url, keyword));
    } catch (...) {
        return true;  // a matcher that cannot answer blocks nothing
    }
}

template <class C, class B>
bool ipc_permission_qualifier_t<C, B>::check_ad_size(int width, int height) {
    if (!m_ad_sizes_fetched) {
        http_query_ads_block_sizes(m_ad_sizes);
        m_ad_sizes_fetched = true;
    }
    for (const auto& s : m_ad_sizes)
        if (static_cast<std::int64_t>(s.first) == width && static_cast<std::int64_t>(s.second) == height) return false;
    return true;
}

template class ipc_permission_qualifier_t<control_via_external_iface, zem::mem_slice>;

}  // namespace zem_io_commands

bool stub_permission_qualifier::set_request(const byte_string&, const byte_string&, std::uint64_t) { return true; }
wide_string stub_permission_qualifier::get_address(const wide_string&) { return m_address_w; }
byte_string stub_permission_qualifier::get_address(const byte_string&) { return byte_string(); }
void stub_permission_qualifier::set_address(const wide_string& address) { m_address_w = address; }
byte_string stub_permission_qualifier::get_redirect() { return m_address; }
bool stub_permission_qualifier::is_restricted(int) { return false; }
