#include "addresses.h"

#include <algorithm>
#include <array>

namespace zem_host {

bool near_address(const asio::ip::address& a) {
    if (a.is_loopback()) return true;
    if (a.is_v6()) {
        const asio::ip::address_v6 v6 = a.to_v6();
        if (v6.is_v4_mapped()) return near_address(asio::ip::make_address_v4(asio::ip::v4_mapped, v6));
        const auto b = v6.to_bytes();
        return v6.is_link_local() || (b[0] & 0xFE) == 0xFC;  // fe80::/10, fc00::/7
    }
    const auto b = a.to_v4().to_bytes();
    return b[0] == 10 || (b[0] == 172 && (b[1] & 0xF0) == 16) || (b[0] == 192 && b[1] == 168) ||
           (b[0] == 169 && b[1] == 254);
}

bool address_in(const asio::ip::address& a, const std::string& text, bool& valid) {
    valid = false;
    const std::size_t slash = text.find('/');
    asio::error_code ec;
    const asio::ip::address net = asio::ip::make_address(text.substr(0, slash), ec);
    if (ec) return false;
    const unsigned max_bits = net.is_v4() ? 32 : 128;
    unsigned bits = max_bits;
    if (slash != std::string::npos) {
        const std::string b = text.substr(slash + 1);
        if (b.empty() || b.size() > 3 || b.find_first_not_of("0123456789") != std::string::npos) return false;
        bits = static_cast<unsigned>(std::stoul(b));
        if (bits > max_bits) return false;
    }
    valid = true;
    asio::ip::address x = a;
    if (x.is_v6() && x.to_v6().is_v4_mapped() && net.is_v4())
        x = asio::ip::make_address_v4(asio::ip::v4_mapped, x.to_v6());
    if (x.is_v4() != net.is_v4()) return false;
    std::array<unsigned char, 16> p{}, q{};
    if (net.is_v4()) {
        const auto u = x.to_v4().to_bytes(), v = net.to_v4().to_bytes();
        std::copy(u.begin(), u.end(), p.begin());
        std::copy(v.begin(), v.end(), q.begin());
    } else {
        p = x.to_v6().to_bytes();
        q = net.to_v6().to_bytes();
    }
    for (unsigned k = 0; k < bits; ++k) {
        const unsigned char m = static_cast<unsigned char>(0x80 >> (k % 8));
        if ((p[k / 8] & m) != (q[k / 8] & m)) return false;
    }
    return true;
}

}  // namespace zem_host
