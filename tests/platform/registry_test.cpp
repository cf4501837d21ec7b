// The .reg file parser (the same on every system).
#include "platform/registry.h"

#include <gtest/gtest.h>

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

}  // namespace
