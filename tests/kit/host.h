#pragma once
// Shared pieces of the host channel tests: a connection feedback with
// recognisable identity words and a fixture that installs a scripted host for the duration of a test.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/interfaces.h"
#include "host/host_link.h"
#include "kit/kit.h"
#include "kit/log_capture.h"
#include "log/log.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace kit {

class test_feedback : public i_connection_feedback {
public:
    test_feedback() {
        for (int i = 0; i < 128; ++i) {
            address_a[i] = static_cast<unsigned char>(0x80 + (i & 0x3f));
            address_b[i] = static_cast<unsigned char>(i);
        }
    }
    bool request_fake_in() override { return true; }
    bool request_stop() override { return true; }
    bool get_connection_info(zem::connection_info* info) override {
        ++calls;
        info->id0 = 0xA1A2A3A4;
        info->id1 = 0xB1B2B3B4;
        info->id2 = 0xC1C2C3C4;
        std::memcpy(info->address_a, address_a, sizeof address_a);
        std::memcpy(info->address_b, address_b, sizeof address_b);
        info->context = context;
        return true;
    }
    unsigned char address_a[128];
    unsigned char address_b[128];
    std::int32_t context = -5;
    int calls = 0;
};

class host_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_isolate(true);
        log_space::reset_context();
        m_log = std::make_unique<kit::log_capture>(2);
        zem_io_commands::set_host_iface(&host);
    }
    void TearDown() override {
        zem_io_commands::set_host_iface(nullptr);
        m_log.reset();
        log_space::reset_context();
        platform::reg_override_isolate(false);
    }

    std::vector<std::string> lines() { return m_log->lines(); }
    int count_lines(const std::string& text) { return m_log->count(text); }
    std::string line_with(const std::string& text) { return m_log->line_with(text); }
    // The only request the host got for 'code'.
    std::string only_request(int code) {
        auto c = host.commands(code);
        EXPECT_EQ(c.size(), 1u) << "code " << code;
        if (c.empty()) return {};
        EXPECT_TRUE(c[0].guid_ok);
        return c[0].data;
    }
    std::string only_notification(int code) {
        auto c = host.notifications(code);
        EXPECT_EQ(c.size(), 1u) << "code " << code;
        if (c.empty()) return {};
        EXPECT_TRUE(c[0].guid_ok);
        return c[0].data;
    }

    kit::fake_host host;
    test_feedback feedback;
    std::unique_ptr<kit::log_capture> m_log;
};

// The common header: total size, reserved word, a time taken during the
// test, and the identity words of test_feedback (or zeros).
inline void expect_header(const std::string& msg, std::size_t total, bool with_ids, std::uint64_t t0,
                          std::uint64_t t1) {
    ASSERT_GE(msg.size(), 28u);
    EXPECT_EQ(msg.size(), total);
    EXPECT_EQ(kit::le32(msg, 0), total);
    EXPECT_EQ(kit::le32(msg, 4), 0u);
    EXPECT_GE(kit::le64(msg, 8), t0);
    EXPECT_LE(kit::le64(msg, 8), t1);
    EXPECT_EQ(kit::le32(msg, 16), with_ids ? 0xA1A2A3A4u : 0u);
    EXPECT_EQ(kit::le32(msg, 20), with_ids ? 0xB1B2B3B4u : 0u);
    EXPECT_EQ(kit::le32(msg, 24), with_ids ? 0xC1C2C3C4u : 0u);
}

inline std::string zeros(std::size_t n) { return std::string(n, '\0'); }
// Bytes of a UTF-16LE string with its 2-byte terminator.
inline std::string w_nul(const std::string& ascii) { return kit::utf16le(ascii) + zeros(2); }

}  // namespace kit
