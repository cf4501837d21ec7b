// The .reg file parser and the file-backed registry reads.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/registry.h"

namespace {

const std::string k_net = "Software\\MORVEX Software\\Morvex\\net";

std::string key(const std::string& k, const std::string& n) {
    std::string s = k + '\n' + n;
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

TEST(reg_parse, typed_values_and_raw_bytes) {
    auto r = platform::parse_reg_text(
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\MORVEX Software\\Morvex\\net]\n"
        "\"enable_http\"=dword:00000000\n"
        "\"dumps_path\"=\"C:\\\\dumps \\\"x\\\"\"\n"
        "\"bin\"=hex:01,02,ff\n"
        "\"wrapped\"=hex:01,02,\\\n"
        "  03,04\n"
        "\"exp\"=hex(2):41,00,42,00,00,00\n"
        "\"q\"=hex(b):01,00,00,00,00,00,00,00\n"
        "@=\"default\"\n"
        "[HKEY_CURRENT_USER\\Software\\Other]\n"
        "\"ignored\"=dword:1\n");
    EXPECT_TRUE(r.warnings.empty());
    auto& v = r.values;
    ASSERT_EQ(v.count(key(k_net, "enable_http")), 1u);
    EXPECT_EQ(v[key(k_net, "enable_http")].type, platform::reg_dword);
    EXPECT_EQ(v[key(k_net, "enable_http")].bytes, std::string(4, '\0'));
    EXPECT_EQ(v[key(k_net, "dumps_path")].type, platform::reg_sz);
    EXPECT_EQ(v[key(k_net, "dumps_path")].bytes, std::string("C:\\dumps \"x\"\0", 13));
    EXPECT_EQ(v[key(k_net, "bin")].bytes, std::string("\x01\x02\xff"));
    EXPECT_EQ(v[key(k_net, "wrapped")].bytes, std::string("\x01\x02\x03\x04"));
    EXPECT_EQ(v[key(k_net, "exp")].type, platform::reg_expand_sz);
    EXPECT_EQ(v[key(k_net, "exp")].bytes, std::string("AB\0", 3));
    EXPECT_EQ(v[key(k_net, "q")].type, platform::reg_qword);
    EXPECT_EQ(v[key(k_net, "q")].bytes.size(), 8u);
    EXPECT_EQ(v[key(k_net, "")].bytes, std::string("default\0", 8));
    EXPECT_EQ(v.size(), 7u);
}

TEST(reg_parse, utf16_with_bom_and_crlf_as_regedit_writes_it) {
    std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n\"ZEMWLogLevel\"=dword:"
        "00000003\r\n";
    std::string bytes = "\xFF\xFE";
    for (char c : text) {
        bytes += c;
        bytes += '\0';
    }
    auto r = platform::parse_reg_text(bytes);
    EXPECT_TRUE(r.warnings.empty());
    ASSERT_EQ(r.values.count(key("Software", "ZEMWLogLevel")), 1u);
    EXPECT_EQ(r.values[key("Software", "ZEMWLogLevel")].bytes, std::string("\x03\0\0\0", 4));
}

TEST(reg_parse, malformed_lines_are_skipped_with_one_warning_each) {
    auto r = platform::parse_reg_text(
        "\"orphan\"=dword:1\n"
        "[HKEY_LOCAL_MACHINE\\Software\n"
        "[HKLM\\Software]\n"
        "\"good\"=dword:2\n"
        "\"baddword\"=dword:xyz\n"
        "\"toolong\"=dword:123456789\n"
        "noquote=dword:1\n"
        "\"noequals\" dword:1\n"
        "\"unterminated=\"x\n"
        "\"badhex\"=hex:1,zz\n"
        "\"weird\"=something\n"
        "; a comment\n"
        "\"good2\"=\"fine\"\n");
    EXPECT_EQ(r.warnings.size(), 9u);
    EXPECT_EQ(r.values.size(), 2u);
    EXPECT_EQ(r.values[key("Software", "good")].bytes, std::string("\x02\0\0\0", 4));
    EXPECT_NE(r.warnings[0].find("line 1"), std::string::npos);
}

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
