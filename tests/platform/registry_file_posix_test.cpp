// The registry of POSIX systems: a .reg file named by ZEM_REGISTRY.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/registry.h"

namespace {

const std::string k_net = "Software\\MORVEX Software\\Morvex\\net";

class reg_file_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_clear();
        path = "/tmp/zem_reg_test_" + std::to_string(::getpid()) + ".reg";
        setenv("ZEM_REGISTRY", path.c_str(), 1);
    }
    void TearDown() override {
        std::remove(path.c_str());
        unsetenv("ZEM_REGISTRY");
        platform::reg_take_warnings();
    }
    void write(const std::string& body) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\" << k_net << "]\n" << body;
    }
    std::string path;
};

TEST_F(reg_file_test, numbers_follow_the_four_byte_rule) {
    write(
        "\"n\"=dword:00000005\n"
        "\"s4\"=\"abc\"\n"
        "\"s5\"=\"abcd\"\n"
        "\"b2\"=hex:07,01\n"
        "\"b5\"=hex:01,02,03,04,05\n");
    std::uint32_t v = 9;
    EXPECT_TRUE(platform::reg_read_u32(k_net, "n", v));
    EXPECT_EQ(v, 5u);
    v = 9;
    EXPECT_TRUE(platform::reg_read_u32(k_net, "s4", v));  // "abc" + NUL: four bytes
    EXPECT_EQ(v, 0x00636261u);
    v = 9;
    EXPECT_FALSE(platform::reg_read_u32(k_net, "s5", v));
    EXPECT_EQ(v, 9u);
    v = 0xAABBCCDD;
    EXPECT_TRUE(platform::reg_read_u32(k_net, "b2", v));  // two bytes land in the low half
    EXPECT_EQ(v, 0xAABB0107u);
    v = 1;
    EXPECT_FALSE(platform::reg_read_u32(k_net, "b5", v));
    EXPECT_EQ(v, 1u);
    v = 3;
    EXPECT_FALSE(platform::reg_read_u32(k_net, "missing", v));
    EXPECT_EQ(v, 3u);
    EXPECT_FALSE(platform::reg_read_u32("Software\\Nowhere", "n", v));
}

TEST_F(reg_file_test, strings_stop_at_the_first_nul) {
    write("\"p\"=hex:61,62,00,63\n\"q\"=hex:61,62\n\"s\"=\"/var/dumps\"\n");
    std::string s;
    EXPECT_TRUE(platform::reg_read_string(k_net, "p", s));
    EXPECT_EQ(s, "ab");
    EXPECT_TRUE(platform::reg_read_string(k_net, "q", s));
    EXPECT_EQ(s, "ab");
    EXPECT_TRUE(platform::reg_read_string(k_net, "s", s));
    EXPECT_EQ(s, "/var/dumps");
}

TEST_F(reg_file_test, changes_are_seen_by_the_next_read) {
    write("\"enable_http\"=dword:00000001\n");
    std::uint32_t v = 7;
    platform::reg_read_u32(k_net, "enable_http", v);
    EXPECT_EQ(v, 1u);
    // Same size and possibly the same mtime tick: the inode or size must
    // still tell the change; write to a new file and rename over.
    std::string tmp = path + ".new";
    {
        std::ofstream f(tmp, std::ios::binary);
        f << "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\" << k_net
          << "]\n\"enable_http\"=dword:00000000\n";
    }
    std::rename(tmp.c_str(), path.c_str());
    v = 7;
    platform::reg_read_u32(k_net, "enable_http", v);
    EXPECT_EQ(v, 0u);
}

TEST_F(reg_file_test, missing_file_gives_defaults_silently) {
    std::remove(path.c_str());
    std::uint32_t v = 42;
    EXPECT_FALSE(platform::reg_read_u32(k_net, "enable_http", v));
    EXPECT_EQ(v, 42u);
    EXPECT_TRUE(platform::reg_take_warnings().empty());
}

TEST_F(reg_file_test, malformed_line_is_reported_once_per_change) {
    write("\"a\"=dword:1\ngarbage here\n");
    std::uint32_t v = 0;
    platform::reg_read_u32(k_net, "a", v);
    EXPECT_EQ(v, 1u);
    auto w = platform::reg_take_warnings();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_NE(w[0].find("line 4"), std::string::npos);
    platform::reg_read_u32(k_net, "a", v);
    EXPECT_TRUE(platform::reg_take_warnings().empty());
}

TEST_F(reg_file_test, overrides_win_and_isolation_hides_the_file) {
    write("\"a\"=dword:1\n\"b\"=dword:2\n");
    platform::reg_override_set_u32(k_net, "a", 10);
    std::uint32_t a = 0, b = 0;
    platform::reg_read_u32(k_net, "A", a);  // names are case-insensitive
    platform::reg_read_u32(k_net, "b", b);
    EXPECT_EQ(a, 10u);
    EXPECT_EQ(b, 2u);
    platform::reg_override_isolate(true);
    b = 0;
    EXPECT_FALSE(platform::reg_read_u32(k_net, "b", b));
    EXPECT_EQ(b, 0u);
    platform::reg_override_clear();
}

}  // namespace
