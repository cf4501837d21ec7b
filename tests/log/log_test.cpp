// Log format, levels, streams and configuration from the registry.
#include "log/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kit/log_capture.h"
#include "log/streams.h"
#include "module/load_hook.h"
#include "platform/registry.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

class log_test : public ::testing::Test {
protected:
    void SetUp() override {
        dir = "/tmp/zem_log_test_" + std::to_string(::getpid());
        std::string cmd = "rm -rf " + dir + " && mkdir -p " + dir;
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        platform::reg_override_clear();
        platform::reg_override_isolate(true);
        log_space::reset_context();
    }
    void TearDown() override {
        m_log.reset();
        log_space::reset_context();
        platform::reg_override_clear();
        std::string cmd = "rm -rf " + dir;
        std::system(cmd.c_str());
    }
    void configure(std::uint32_t mask, int level) {
        platform::reg_override_set_u32("Software", "EnableZEMWLog", mask);
        platform::reg_override_set_u32("Software", "ZEMWLogLevel", static_cast<std::uint32_t>(level));
        platform::reg_override_set_string("Software", "ZEMWLogPath", dir);
    }
    // From here on, lines also go to a capture, at the configured level.
    void capture() { m_log = std::make_unique<kit::log_capture>(kit::log_capture::keep_level); }
    std::vector<std::string> lines() const { return m_log->lines(); }
    std::string all_text() const {
        std::string s;
        for (auto& l : lines()) s += l;
        return s;
    }
    std::string dir;
    std::unique_ptr<kit::log_capture> m_log;
};

TEST_F(log_test, file_stream_writes_init_line_and_messages_to_the_executables_log_name) {
    configure(0x2, 1);
    ZEM_LOG(1, "hello " << 42 << "\n");
    std::string text = read_file(dir + "/test_log.log");
    EXPECT_NE(text.find(" Init logging. Level=1 Log path=" + dir + ".\n"), std::string::npos);
    EXPECT_NE(text.find("hello 42\n"), std::string::npos);
    // No process prefix without bit 6.
    EXPECT_EQ(text.find("[test_log"), std::string::npos);
}

TEST_F(log_test, levels_gate_messages_but_not_errors) {
    configure(0x2, 0);
    capture();
    ZEM_LOG(1, "verbose one\n");
    ZEM_LOG(0, "level zero\n");
    { ZEM_SCOPE_TRACE("cls::fn(*)"); }
    ZEM_LOG_ERROR("src/some/file", "went wrong");
    std::string t = all_text();
    EXPECT_EQ(t.find("verbose one"), std::string::npos);
    EXPECT_NE(t.find("level zero\n"), std::string::npos);
    EXPECT_EQ(t.find("cls::fn"), std::string::npos);
    EXPECT_NE(t.find("Erorr!!! src/some/file ln:"), std::string::npos);
    EXPECT_NE(t.find(" went wrong\n"), std::string::npos);
}

TEST_F(log_test, scope_trace_and_prefixes) {
    configure(0x60, 3);  // process and thread prefix, no file
    capture();
    { ZEM_SCOPE_TRACE("http_stream_filter::update_in(*)"); }
    const std::vector<std::string> l = lines();
    ASSERT_GE(l.size(), 2u);
    const std::string& enter = l[l.size() - 2];
    const std::string& leave = l.back();
    std::string pid = std::to_string(::getpid());
    EXPECT_NE(enter.find("[test_log (id=" + pid + ")] tid:"), std::string::npos);
    EXPECT_NE(enter.find("-->>http_stream_filter::update_in(*)\n"), std::string::npos);
    EXPECT_NE(leave.find("<<--http_stream_filter::update_in(*)\n"), std::string::npos);
    // hh:mm:ss and a blank start the line while the level is not negative.
    EXPECT_EQ(enter[2], ':');
    EXPECT_EQ(enter[5], ':');
    EXPECT_EQ(enter[8], ' ');
}

TEST_F(log_test, negative_level_drops_the_time) {
    configure(0, static_cast<int>(-1));
    capture();
    ZEM_LOG_ERROR("x", "e");
    ASSERT_FALSE(lines().empty());
    EXPECT_EQ(lines().back().rfind("Erorr!!! x ln:", 0), 0u);
}

TEST_F(log_test, nothing_written_without_the_mask_but_streams_still_receive) {
    configure(0, 1);
    capture();
    ZEM_LOG(1, "only the installed stream\n");
    EXPECT_EQ(read_file(dir + "/test_log.log"), "");
    EXPECT_NE(all_text().find("only the installed stream"), std::string::npos);
}

TEST_F(log_test, named_file_rotates_on_first_use) {
    {
        std::ofstream old(dir + "/zem_net.log");
        old << "previous run\n";
    }
    configure(0x2, 1);
    module::on_library_load();
    EXPECT_EQ(read_file(dir + "/zem_net.0"), "previous run\n");
    std::string text = read_file(dir + "/zem_net.log");
    EXPECT_NE(text.find("DLL loading, BUILD: 488\n"), std::string::npos);
    EXPECT_EQ(text.find("previous run"), std::string::npos);
}

TEST_F(log_test, logging_keeps_the_last_error) {
    configure(0x2, 5);
    errno = 1234;
    ZEM_LOG(1, "x\n");
    ZEM_LOG_ERROR("y", "z");
    { ZEM_SCOPE_TRACE("t"); }
    log_space::commit("raw\n");
    EXPECT_EQ(errno, 1234);
    errno = 77;
    module::on_library_load();
    EXPECT_EQ(errno, 77);
}

TEST(log_streams, debug_output_comes_in_pieces_of80) {
    std::string msg(200, 'x');
    ::testing::internal::CaptureStderr();
    log_space::debug_output_stream d;
    EXPECT_TRUE(d.write(msg.data(), static_cast<int>(msg.size()), nullptr));
    std::string got = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, msg);
}

TEST(log_streams, console_shows_bel_as_caret) {
    ::testing::internal::CaptureStdout();
    log_space::console_output_stream c;
    c.write(
        "a\x07"
        "b\n",
        4, nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "a^b\n");
}

TEST(log_streams, file_stream_keeps_bel_and_fails_without_default_file) {
    std::string dir = "/tmp/zem_log_stream_" + std::to_string(::getpid());
    std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
    {
        log_space::file_output_stream f(dir, "");
        EXPECT_FALSE(f.write("x", 1, nullptr));
        EXPECT_TRUE(
            f.write("a\x07"
                    "b",
                    3, "other.log"));
        EXPECT_EQ(f.kind(), 1);
    }
    EXPECT_EQ(read_file(dir + "/other.log"),
              "a\x07"
              "b");
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
