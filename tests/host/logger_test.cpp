// The host log stream: every committed line reaches the host as a log line
// notification, installation at load, and no feedback loop when the host
// itself logs or refuses.
#include <gtest/gtest.h>

#include <cerrno>

#include "host/ipc_logger.h"
#include "host/zem_io_commands.h"
#include "kit/host.h"
#include "platform/last_error.h"

using namespace kit;
using kit::le32;
using kit::le64;
namespace zc = zem::codes;

namespace {

class ipc_logging : public host_fixture {
protected:
    // The text of a log line notification (from its string_ref at +28).
    static std::string line_of(const std::string& m) {
        std::uint64_t off = le64(m, 28), len = le64(m, 36);
        return m.substr(28 + off, len);
    }
    static std::string file_of(const std::string& m) {
        std::uint64_t off = le64(m, 44), len = le64(m, 52);
        return off ? m.substr(44 + off, len) : std::string();
    }
};

TEST_F(ipc_logging, write_sends_text_and_file_name) {
    log_space::ipc_logger logger;
    EXPECT_EQ(logger.kind(), 0);
    EXPECT_TRUE(logger.write("abc\n", 4, "f.log"));
    EXPECT_TRUE(logger.write("abcdef", 2, nullptr));
    auto n = host.notifications(zc::general_notify_log_line);
    ASSERT_EQ(n.size(), 2u);
    EXPECT_TRUE(n[0].guid_ok);
    EXPECT_EQ(line_of(n[0].data), "abc\n");
    EXPECT_EQ(file_of(n[0].data), "f.log");
    EXPECT_EQ(line_of(n[1].data), "ab");
    EXPECT_EQ(n[1].data.substr(44, 16), zeros(16));
    EXPECT_EQ(le32(n[1].data, 16), 0u);  // no connection: identity words are 0

    host.set_accept_notifications(false);
    EXPECT_FALSE(logger.write("x", 1, nullptr));
    zem_io_commands::set_host_iface(nullptr);
    EXPECT_FALSE(logger.write("x", 1, nullptr));
    EXPECT_FALSE(logger.write(nullptr, 3, nullptr));
}

TEST_F(ipc_logging, installation_greets_the_host_and_forwards_every_line) {
    log_space::m_level = 1;
    log_space::install_ipc_logger();
    EXPECT_TRUE(log_space::m_show_process.load());
    EXPECT_TRUE(log_space::m_show_thread.load());

    auto captured = lines();
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_NE(captured[0].find("IPC_LOGGER Initializing."), std::string::npos);
    EXPECT_EQ(m_log->file_names()[0], "zem_net.log");

    auto n = host.notifications(zc::general_notify_log_line);
    ASSERT_EQ(n.size(), 1u);
    std::string greeting = line_of(n[0].data);
    EXPECT_NE(greeting.find("tid:"), std::string::npos);
    EXPECT_EQ(greeting.size() - greeting.find("Initialize IPCLogging. build = 488\n"),
              std::string("Initialize IPCLogging. build = 488\n").size());

    ZEM_LOG(1, "one line " << 42 << "\n");
    ZEM_LOG_TO(1, "zem_net.log", "to a file\n");
    ZEM_LOG(2, "too verbose\n");
    n = host.notifications(zc::general_notify_log_line);
    ASSERT_EQ(n.size(), 3u);
    EXPECT_NE(line_of(n[1].data).find("one line 42\n"), std::string::npos);
    EXPECT_EQ(file_of(n[1].data), "");
    EXPECT_NE(line_of(n[2].data).find("to a file\n"), std::string::npos);
    EXPECT_EQ(file_of(n[2].data), "zem_net.log");
    // The same text went to the other streams.
    EXPECT_EQ(line_of(n[1].data), lines()[1]);
}

TEST_F(ipc_logging, installation_before_any_line_keeps_its_flags) {
    // At level 0 the announcement is not written, so the installation is
    // the first user of a fresh context.
    log_space::reset_context();
    log_space::m_level = 0;
    log_space::install_ipc_logger();
    EXPECT_TRUE(log_space::m_show_process.load());
    EXPECT_TRUE(log_space::m_show_thread.load());
    ZEM_LOG(0, "after\n");
    auto n = host.notifications(zc::general_notify_log_line);
    ASSERT_EQ(n.size(), 2u);
    EXPECT_NE(line_of(n[1].data).find("tid:"), std::string::npos);
}

TEST_F(ipc_logging, failed_command_lines_reach_the_host) {
    log_space::install_ipc_logger();
    host.clear_records();
    zem_io_commands::config_cookie c;
    EXPECT_FALSE(zem_io_commands::general_query_config_cookie(c));  // no scripted reply: failure
    auto n = host.notifications(zc::general_notify_log_line);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_NE(line_of(n[0].data).find("general_query_config_cookie: Failed to invoke_command, return code= -1\n"),
              std::string::npos);
}

// A host that logs through the engine while it handles a notification.
class chatty_host : public kit::fake_host {
public:
    bool notify_event(const zem::GUID* channel, int code, zem::mem_slice* data) override {
        ++depth;
        if (depth > max_depth) max_depth = depth;
        platform::set_last_error(99);
        ZEM_LOG_ERROR("host", "while notifying");
        bool r = kit::fake_host::notify_event(channel, code, data);
        --depth;
        return r;
    }
    int depth = 0;
    int max_depth = 0;
};

TEST_F(ipc_logging, host_that_logs_back_does_not_loop) {
    chatty_host chatty;
    zem_io_commands::set_host_iface(&chatty);
    log_space::install_ipc_logger();
    chatty.clear_records();
    m_log->clear();
    platform::set_last_error(1234);
    ZEM_LOG(1, "outer\n");
    EXPECT_EQ(platform::get_last_error(), 1234ul);
    EXPECT_EQ(chatty.max_depth, 1);
    auto n = chatty.notifications(zc::general_notify_log_line);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_NE(line_of(n[0].data).find("outer\n"), std::string::npos);
    // The nested line still reached the other streams.
    EXPECT_EQ(count_lines("Erorr!!! host ln:"), 1);
    EXPECT_EQ(count_lines("outer\n"), 1);
    zem_io_commands::set_host_iface(nullptr);
}

TEST_F(ipc_logging, refused_lines_produce_no_further_lines) {
    log_space::install_ipc_logger();
    host.set_accept_notifications(false);
    m_log->clear();
    ZEM_LOG(1, "refused\n");
    EXPECT_EQ(lines().size(), 1u);
    EXPECT_EQ(host.notification_count(zc::general_notify_log_line), 3u - 1u);  // greeting + this one
}

}  // namespace
