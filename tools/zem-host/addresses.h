#pragma once
// Classes of IP addresses the proxy decides by: the clients it serves
// (--allow) and the origins it treats as near (--upstream-buffer).
#include <asio/ip/address.hpp>
#include <string>

namespace zem_host {

// True when 'text' is ADDRESS/BITS (or a bare address) and 'a' lies in it;
// 'valid' tells whether 'text' was such a network at all. An IPv4 address
// mapped into IPv6 is compared as the IPv4 address it holds.
bool address_in(const asio::ip::address& a, const std::string& text, bool& valid);

// Loopback, private (RFC 1918, unique local) and link-local addresses:
// origins a round trip away of well under a millisecond.
bool near_address(const asio::ip::address& a);

}  // namespace zem_host
