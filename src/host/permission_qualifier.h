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

// The policy when there is no host to ask: everything allowed, no address an
// advertisement, no replacement image. It keeps the request it is given so
// that the filter's own questions about host and address still have answers.
class allow_all_qualifier : public host_permission_qualifier {
public:
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

protected:
    byte_string m_host, m_address;
    std::uint64_t m_request_id = 0;
    std::int32_t m_permissions[permission_array_words] = {};
};
