// The Windows registry behind the registry view: values written with the
// system's own calls under a key of this test, read back as the engine
// reads its configuration.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "platform/registry.h"

namespace {

class system_registry_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_clear();
        key_path = "Software\\zem_registry_test_" + std::to_string(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, key_path.c_str());
    }
    void set(const char* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExW(key, std::wstring(name, name + std::strlen(name)).c_str(), 0, type,
                                 static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }
    void set_text(const char* name, const std::wstring& text) {
        set(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    std::string key_path;
    HKEY key = nullptr;
};

TEST_F(system_registry_test, numbers_follow_the_four_byte_rule_of_the_narrow_api) {
    const DWORD five = 5;
    set("n", REG_DWORD, &five, 4);
    set_text("s4", L"abc");   // four bytes with the terminator, as ANSI text
    set_text("s5", L"abcd");  // five
    const unsigned char b2[] = {7, 1};
    set("b2", REG_BINARY, b2, 2);
    const unsigned char b5[] = {1, 2, 3, 4, 5};
    set("b5", REG_BINARY, b5, 5);

    std::uint32_t v = 9;
    EXPECT_TRUE(platform::reg_read_u32(key_path, "n", v));
    EXPECT_EQ(v, 5u);
    v = 9;
    EXPECT_TRUE(platform::reg_read_u32(key_path, "S4", v));  // names ignore case
    EXPECT_EQ(v, 0x00636261u);
    v = 9;
    EXPECT_FALSE(platform::reg_read_u32(key_path, "s5", v));
    EXPECT_EQ(v, 9u);
    v = 0xAABBCCDD;
    EXPECT_TRUE(platform::reg_read_u32(key_path, "b2", v));  // low bytes replaced
    EXPECT_EQ(v, 0xAABB0107u);
    v = 9;
    EXPECT_FALSE(platform::reg_read_u32(key_path, "b5", v));
    EXPECT_FALSE(platform::reg_read_u32(key_path, "absent", v));
    EXPECT_FALSE(platform::reg_read_u32(key_path + "\\no such key", "n", v));
    EXPECT_EQ(v, 9u);
}

TEST_F(system_registry_test, strings_come_in_the_ansi_code_page_up_to_their_first_nul) {
    set_text("path", L"C:\\caf\x00E9 \x20AC");  // é and € are in Windows-1252
    std::string s;
    EXPECT_TRUE(platform::reg_read_string(key_path, "path", s));
    EXPECT_EQ(s, "C:\\caf\xE9 \x80");
    const wchar_t two[] = L"one\0two";
    set("two", REG_SZ, two, sizeof two);
    EXPECT_TRUE(platform::reg_read_string(key_path, "two", s));
    EXPECT_EQ(s, "one");
    platform::reg_value raw;
    ASSERT_TRUE(platform::reg_query_value(key_path, "two", raw));
    EXPECT_EQ(raw.type, platform::reg_sz);
    EXPECT_EQ(raw.bytes, std::string("one\0two\0", 8));
    // Stored without a terminator: taken whole.
    set("bare", REG_SZ, L"xyz", 6);
    EXPECT_TRUE(platform::reg_read_string(key_path, "bare", s));
    EXPECT_EQ(s, "xyz");
}

TEST_F(system_registry_test, changes_are_seen_by_the_next_read_and_overrides_win) {
    DWORD one = 1;
    set("n", REG_DWORD, &one, 4);
    std::uint32_t v = 0;
    EXPECT_TRUE(platform::reg_read_u32(key_path, "n", v));
    EXPECT_EQ(v, 1u);
    DWORD two = 2;
    set("n", REG_DWORD, &two, 4);
    EXPECT_TRUE(platform::reg_read_u32(key_path, "n", v));
    EXPECT_EQ(v, 2u);
    platform::reg_override_set_u32(key_path, "n", 7);
    EXPECT_TRUE(platform::reg_read_u32(key_path, "n", v));
    EXPECT_EQ(v, 7u);
    platform::reg_override_clear();
    platform::reg_override_isolate(true);
    v = 0;
    EXPECT_FALSE(platform::reg_read_u32(key_path, "n", v));
    platform::reg_override_clear();
    EXPECT_TRUE(platform::reg_read_u32(key_path, "n", v));
    EXPECT_EQ(v, 2u);
}

}  // namespace
