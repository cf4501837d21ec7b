#pragma once
// The policy object of one connection: which host the traffic belongs to,
// what the user allows there, and the advertisement questions. Declaration
// order is slot order; the getters' unused argument selects the overload.
#include <cstdint>

#include "core/strings.h"
#include "host/permissions.h"

class host_permission_qualifier {
public:
    virtual ~host_permission_qualifier() = default;
    virtual bool set_request(const byte_string& host, const byte_string& address, std::uint64_t request_id) = 0;
    virtual wide_string get_host(const wide_string& selector) = 0;
    virtual byte_string get_host(const byte_string& selector) = 0;
    virtual wide_string get_address(const wide_string& selector) = 0;
    virtual byte_string get_address(const byte_string& selector) = 0;
    virtual void set_address(const wide_string& address) = 0;
    virtual void set_address(const byte_string& address) = 0;
    virtual void set_redirect(const byte_string& redirect) = 0;
    virtual byte_string get_redirect() = 0;
    virtual wide_string get_transparent_gif(const wide_string& selector) = 0;
    virtual byte_string get_transparent_gif(const byte_string& selector) = 0;
    virtual std::uint64_t get_request_id() = 0;
    virtual std::int32_t* get_permissions() = 0;
    virtual bool get_permission_by_index(int index) = 0;
    // false = the address is an advertisement; keyword gets the matched word.
    virtual bool check_ad_link(const wide_string& url, byte_string& keyword) = 0;
    virtual bool check_ad_link(const byte_string& url, byte_string& keyword) = 0;
    // false = width x height is a banner size.
    virtual bool check_ad_size(int width, int height) = 0;
    virtual bool is_restricted(int index) { return get_permissions()[index] != 0; }
};
