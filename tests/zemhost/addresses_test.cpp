#include "addresses.h"

#include <gtest/gtest.h>

namespace {

using asio::ip::make_address;

bool in(const char* a, const char* net) {
    bool valid = false;
    const bool r = zem_host::address_in(make_address(a), net, valid);
    EXPECT_TRUE(valid) << net;
    return r;
}

TEST(zemhost_addresses, networks_match_by_their_leading_bits) {
    EXPECT_TRUE(in("10.1.2.3", "10.0.0.0/8"));
    EXPECT_FALSE(in("11.1.2.3", "10.0.0.0/8"));
    EXPECT_TRUE(in("192.168.7.9", "192.168.4.0/22"));
    EXPECT_FALSE(in("192.168.8.1", "192.168.4.0/22"));
    EXPECT_TRUE(in("1.2.3.4", "0.0.0.0/0"));
    EXPECT_TRUE(in("127.0.0.1", "127.0.0.1"));
    EXPECT_FALSE(in("127.0.0.2", "127.0.0.1/32"));
    EXPECT_TRUE(in("2001:db8::5", "2001:db8::/32"));
    EXPECT_FALSE(in("2001:db9::5", "2001:db8::/32"));
    // A mapped IPv4 address is its IPv4 self; families otherwise never meet.
    EXPECT_TRUE(in("::ffff:10.0.0.7", "10.0.0.0/8"));
    EXPECT_FALSE(in("::1", "0.0.0.0/0"));
    EXPECT_FALSE(in("10.0.0.1", "::/0"));
    for (const char* bad : {"10.0.0.0/33", "10.0.0.0/", "10.0.0.0/x", "::/129", "ten/8", "10.0.0.0/0008", ""}) {
        bool valid = true;
        EXPECT_FALSE(zem_host::address_in(make_address("10.0.0.1"), bad, valid)) << bad;
        EXPECT_FALSE(valid) << bad;
    }
}

TEST(zemhost_addresses, near_origins_are_loopback_private_and_link_local) {
    for (const char* a : {"127.0.0.1", "127.9.9.9", "10.200.0.1", "172.16.0.1", "172.31.255.255", "192.168.1.1",
                          "169.254.10.10", "::1", "fe80::1", "fd12:3456::1", "fc00::1", "::ffff:192.168.0.3"})
        EXPECT_TRUE(zem_host::near_address(make_address(a))) << a;
    for (const char* a : {"8.8.8.8", "172.15.255.255", "172.32.0.1", "192.169.0.1", "169.255.0.1", "2001:db8::1",
                          "fe00::1", "::ffff:8.8.8.8", "0.0.0.0"})
        EXPECT_FALSE(zem_host::near_address(make_address(a))) << a;
}

}  // namespace
