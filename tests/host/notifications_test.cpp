// Notification layouts at fixed offsets, refusal logging, the mail commands
// and the process-wide id counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "host/mail_commands.h"
#include "host/zem_io_commands.h"
#include "kit/host.h"

using namespace kit;
namespace zc = zem::codes;
namespace io = zem_io_commands;

namespace {

class notifications : public host_fixture {};

TEST_F(notifications, log_line_with_and_without_file_name) {
    std::uint64_t t0 = platform::filetime_now();
    ASSERT_TRUE(io::general_notify_log_line(std::string("line one\n\0hidden", 16), "zem_net.log"));
    std::uint64_t t1 = platform::filetime_now();
    std::string m = only_notification(zc::general_notify_log_line);
    expect_header(m, 60 + 10 + 12, false, t0, t1);
    EXPECT_EQ(le64(m, 28), 60u - 28u);
    EXPECT_EQ(le64(m, 36), 9u);
    EXPECT_EQ(le64(m, 44), 70u - 44u);
    EXPECT_EQ(le64(m, 52), 11u);
    EXPECT_EQ(m.substr(60), std::string("line one\n\0zem_net.log\0", 22));

    host.clear_records();
    ASSERT_TRUE(io::general_notify_log_line("x", nullptr));
    m = only_notification(zc::general_notify_log_line);
    ASSERT_EQ(m.size(), 62u);
    EXPECT_EQ(le32(m, 0), 62u);
    EXPECT_EQ(m.substr(44, 16), zeros(16));
    EXPECT_EQ(m.substr(60), std::string("x\0", 2));
}

TEST_F(notifications, log_line_about_a_connection_carries_its_identity) {
    std::uint64_t t0 = platform::filetime_now();
    ASSERT_TRUE(io::general_notify_log_line(&feedback, "POP3: session went encrypted (STLS).\n"));
    std::uint64_t t1 = platform::filetime_now();
    std::string m = only_notification(zc::general_notify_log_line);
    expect_header(m, 60 + 38, true, t0, t1);
    EXPECT_EQ(le64(m, 28), 60u - 28u);
    EXPECT_EQ(le64(m, 36), 37u);
    EXPECT_EQ(m.substr(44, 16), zeros(16));  // no file name
    EXPECT_EQ(m.substr(60), std::string("POP3: session went encrypted (STLS).\n\0", 38));
}

TEST_F(notifications, refused_log_line_is_not_logged) {
    host.set_accept_notifications(false);
    m_log->clear();
    EXPECT_FALSE(io::general_notify_log_line("hello\n", nullptr));
    EXPECT_EQ(lines().size(), 0u);
}

TEST_F(notifications, transfer_progress_and_complete) {
    std::uint64_t t0 = platform::filetime_now();
    ASSERT_TRUE(io::general_notify_transfer_progress(&feedback, 0x0102030405060708ull, 5000000000ull));
    ASSERT_TRUE(io::general_notify_transfer_complete(&feedback, 12, 34, 3));
    std::uint64_t t1 = platform::filetime_now();
    std::string p = only_notification(zc::general_notify_transfer_progress);
    expect_header(p, 44, true, t0, t1);
    EXPECT_EQ(p.substr(28, 8), "\x08\x07\x06\x05\x04\x03\x02\x01");
    EXPECT_EQ(le64(p, 36), 5000000000ull);
    std::string c = only_notification(zc::general_notify_transfer_complete);
    expect_header(c, 48, true, t0, t1);
    EXPECT_EQ(le64(c, 28), 12u);
    EXPECT_EQ(le64(c, 36), 34u);
    EXPECT_EQ(le32(c, 44), 3u);
}

TEST_F(notifications, http_request_layout) {
    ASSERT_TRUE(io::http_notify_request(&feedback, 77, 2, L"h.org", L"/i?q=\x00E9"));
    std::string m = only_notification(zc::http_notify_request);
    // host: 5 units at 72, 12 bytes with terminator; uri: 6 units at 84
    ASSERT_EQ(m.size(), 72u + 12 + 14);
    EXPECT_EQ(le32(m, 0), 98u);
    EXPECT_EQ(le64(m, 28), 77u);
    EXPECT_EQ(le32(m, 36), 2u);
    EXPECT_EQ(m.substr(40, 16), ref(32, 10));
    EXPECT_EQ(m.substr(56, 16), ref(28, 12));
    EXPECT_EQ(m.substr(72, 12), w_nul("h.org"));
    EXPECT_EQ(m.substr(84), kit::utf16le("/i?q=") + std::string("\xE9\0\0\0", 4));
}

TEST_F(notifications, http_response_layout) {
    ASSERT_TRUE(io::http_notify_response(&feedback, 5, 1, "text/html", 1234, -1, "gzip", ""));
    std::string m = only_notification(zc::http_notify_response);
    ASSERT_EQ(m.size(), 104u + 10 + 5 + 1);
    EXPECT_EQ(le64(m, 28), 5u);
    EXPECT_EQ(le32(m, 36), 1u);
    EXPECT_EQ(m.substr(40, 16), ref(64, 9));
    EXPECT_EQ(le64(m, 56), 1234u);
    EXPECT_EQ(m.substr(64, 8), std::string(8, '\xff'));
    EXPECT_EQ(m.substr(72, 16), ref(114 - 72, 4));
    EXPECT_EQ(m.substr(88, 16), ref(119 - 88, 0));
    EXPECT_EQ(m.substr(104), std::string("text/html\0gzip\0\0", 16));
}

TEST_F(notifications, object_blocked_layout) {
    ASSERT_TRUE(io::general_notify_object_blocked(&feedback, 9, 3, 15, L"<a>", "ads", "h/p"));
    std::string m = only_notification(zc::general_notify_object_blocked);
    ASSERT_EQ(m.size(), 100u + 8 + 4 + 4);
    EXPECT_EQ(le64(m, 28), 9u);
    EXPECT_EQ(le64(m, 36), 3u);
    EXPECT_EQ(le32(m, 44), 15u);
    EXPECT_EQ(le32(m, 48), 1u);
    EXPECT_EQ(m.substr(52, 16), ref(48, 6));
    EXPECT_EQ(m.substr(68, 16), ref(108 - 68, 3));
    EXPECT_EQ(m.substr(84, 16), ref(112 - 84, 3));
    EXPECT_EQ(m.substr(100), w_nul("<a>") + std::string("ads\0h/p\0", 8));
}

TEST_F(notifications, stopword_blocked_sends_narrow_texts_wide) {
    ASSERT_TRUE(io::general_notify_stopword_blocked(&feedback, 4, "caf\xE9", "a", L"sex"));
    std::string m = only_notification(zc::general_notify_stopword_blocked);
    ASSERT_EQ(m.size(), 84u + 10 + 4 + 8);
    EXPECT_EQ(le64(m, 28), 4u);
    EXPECT_EQ(m.substr(36, 16), ref(48, 8));
    EXPECT_EQ(m.substr(52, 16), ref(94 - 52, 2));
    EXPECT_EQ(m.substr(68, 16), ref(98 - 68, 6));
    EXPECT_EQ(m.substr(84), kit::utf16le("caf") + std::string("\xE9\0\0\0", 4) + w_nul("a") + w_nul("sex"));
}

TEST_F(notifications, refusals_are_logged_under_their_names) {
    host.set_accept_notifications(false);
    mail::mail_info_summary s;
    EXPECT_FALSE(io::general_notify_transfer_progress(nullptr, 1, 2));
    EXPECT_FALSE(io::general_notify_transfer_complete(nullptr, 1, 2, 0));
    EXPECT_FALSE(io::http_notify_mail_message_start(nullptr, 1));
    EXPECT_FALSE(io::http_notify_mail_message_info(nullptr, s));
    EXPECT_FALSE(io::mail_notify_mail_attach(nullptr, 1, 2, L"a"));
    EXPECT_FALSE(io::http_notify_request(nullptr, 1, 1, L"", L""));
    EXPECT_FALSE(io::http_notify_response(nullptr, 1, 1, "", 0, 0, "", ""));
    EXPECT_FALSE(io::general_notify_object_blocked(nullptr, 1, 1, 1, L"", "", ""));
    EXPECT_FALSE(io::general_notify_stopword_blocked(nullptr, 1, "", "", L""));
    const char* const prefix = "Erorr!!! common/inc/lsp_io_wrappers ln:";
    EXPECT_EQ(count_lines(prefix), 9);
    EXPECT_EQ(count_lines("zem_io_commands<>::http_notify_mail_message_info: Failed to notify_event\n"), 3);
    for (const char* name :
         {"http_notify_mail_message_start", "mail_notify_mail_attach", "http_notify_request", "http_notify_response",
          "general_notify_object_blocked", "general_notify_stopword_blocked"})
        EXPECT_EQ(count_lines(std::string("zem_io_commands<>::") + name + ": Failed to notify_event\n"), 1) << name;
}

TEST_F(notifications, without_a_host_nothing_is_sent_or_logged) {
    zem_io_commands::set_host_iface(nullptr);
    mail::mail_info_summary s;
    EXPECT_FALSE(io::general_notify_log_line("x", nullptr));
    EXPECT_FALSE(io::general_notify_transfer_progress(&feedback, 1, 2));
    EXPECT_FALSE(io::general_notify_transfer_complete(&feedback, 1, 2, 0));
    EXPECT_FALSE(io::http_notify_mail_message_start(&feedback, 1));
    EXPECT_FALSE(io::http_notify_mail_message_info(&feedback, s));
    EXPECT_FALSE(io::mail_notify_mail_attach(&feedback, 1, 2, L"a"));
    EXPECT_FALSE(io::http_notify_request(&feedback, 1, 1, L"", L""));
    EXPECT_FALSE(io::http_notify_response(&feedback, 1, 1, "", 0, 0, "", ""));
    EXPECT_FALSE(io::general_notify_object_blocked(&feedback, 1, 1, 1, L"", "", ""));
    EXPECT_FALSE(io::general_notify_stopword_blocked(&feedback, 1, "", "", L""));
    byte_string body = "b";
    std::int32_t action = 2;
    EXPECT_FALSE(io::mail_check_mail_attach(&feedback, body, s, action));
    EXPECT_EQ(action, 0);
    EXPECT_EQ(host.notification_count() + host.command_count(), 0u);
    EXPECT_EQ(lines().size(), 0u);
    EXPECT_EQ(feedback.calls, 0);
}

// ---- mail ----------------------------------------------------------------

mail::mail_info_summary sample_summary() {
    mail::mail_info_summary s;
    s.from = L"bob";
    s.to = L"al";
    s.cc = L"cc";
    s.subject = L"hi";
    s.object_name = L"r.doc";
    s.source_protocol = mail::source_imap;
    s.outgoing = 1;
    s.message_id = 0x0000000A0000000Bull;
    s.object_id = 0x0000000C0000000Dull;
    return s;
}

TEST_F(notifications, mail_message_start_info_and_attach) {
    mail::mail_info_summary s = sample_summary();
    ASSERT_TRUE(io::http_notify_mail_message_start(&feedback, 0x55));
    ASSERT_TRUE(io::http_notify_mail_message_info(&feedback, s));
    ASSERT_TRUE(io::mail_notify_mail_attach(&feedback, 31, 32, L"f.zip"));

    std::string a = only_notification(zc::http_notify_mail_message_start);
    ASSERT_EQ(a.size(), 36u);
    EXPECT_EQ(le32(a, 0), 36u);
    EXPECT_EQ(le32(a, 16), 0xA1A2A3A4u);
    EXPECT_EQ(le64(a, 28), 0x55u);

    std::string m = only_notification(zc::http_notify_mail_message_info);
    ASSERT_EQ(m.size(), 124u + 8 + 6 + 6 + 6);
    EXPECT_EQ(le32(m, 0), 150u);
    EXPECT_EQ(le32(m, 28), 0xBu);
    EXPECT_EQ(le32(m, 32), 0xAu);
    EXPECT_EQ(le32(m, 36), 2u);
    EXPECT_EQ(le32(m, 40), 1u);
    EXPECT_EQ(m.substr(44, 16), ref(124 - 44, 6));
    EXPECT_EQ(m.substr(60, 16), ref(132 - 60, 4));
    EXPECT_EQ(m.substr(76, 16), ref(138 - 76, 4));
    EXPECT_EQ(m.substr(92, 16), zeros(16));
    EXPECT_EQ(m.substr(108, 16), ref(144 - 108, 4));
    EXPECT_EQ(m.substr(124), w_nul("bob") + w_nul("al") + w_nul("cc") + w_nul("hi"));

    std::string t = only_notification(zc::mail_notify_mail_attach);
    ASSERT_EQ(t.size(), 60u + 12);
    EXPECT_EQ(le64(t, 28), 31u);
    EXPECT_EQ(le64(t, 36), 32u);
    EXPECT_EQ(t.substr(44, 16), ref(16, 10));
    EXPECT_EQ(t.substr(60), w_nul("f.zip"));
}

// Attachment reply: action, name reference relative to +4, body offset and
// length, then the data.
std::string attach_reply(std::uint32_t action, const std::string& name_ref, std::uint32_t off, std::uint32_t len,
                         const std::string& tail) {
    return le32_bytes(action) + name_ref + le32_bytes(off) + le32_bytes(len) + tail;
}

TEST_F(notifications, attach_request_layout) {
    mail::mail_info_summary s = sample_summary();
    byte_string body = "MZ\x90\x00payload";
    const std::uintptr_t where = reinterpret_cast<std::uintptr_t>(body.data());
    host.set_reply(zc::mail_check_mail_attach, attach_reply(0, zeros(16), 0, 0, ""));
    std::int32_t action = 9;
    std::uint64_t t0 = platform::filetime_now();
    ASSERT_TRUE(io::mail_check_mail_attach(&feedback, body, s, action));
    std::uint64_t t1 = platform::filetime_now();
    std::string m = only_request(zc::mail_check_mail_attach);
    expect_header(m, 132 + 12 + 8 + 6 + 6, true, t0, t1);
    EXPECT_EQ(le64(m, 28), 0x0000000C0000000Dull);
    EXPECT_EQ(le64(m, 36), 0x0000000A0000000Bull);
    EXPECT_EQ(le64(m, 44), static_cast<std::uint64_t>(where));
    EXPECT_EQ(le64(m, 52), body.size());
    EXPECT_EQ(m.substr(60, 16), ref(132 - 60, 10));
    EXPECT_EQ(m.substr(76, 16), ref(144 - 76, 6));
    EXPECT_EQ(m.substr(92, 16), ref(152 - 92, 4));
    EXPECT_EQ(m.substr(108, 16), ref(158 - 108, 4));
    EXPECT_EQ(le32(m, 124), 2u);
    EXPECT_EQ(le32(m, 128), 1u);
    EXPECT_EQ(m.substr(132), w_nul("r.doc") + w_nul("bob") + w_nul("al") + w_nul("hi"));
    EXPECT_EQ(action, 0);
    EXPECT_EQ(s.object_name, L"");  // the reply named nothing
    EXPECT_EQ(count_lines("Attachr.doc from bob cheking...\n"), 1);
}

TEST_F(notifications, attach_replace_body_and_name) {
    mail::mail_info_summary s = sample_summary();
    byte_string body = "virus";
    // name at 28 (relative to +4: 24), body at 40
    std::string reply = attach_reply(2, ref(24, 10), 40, 5, w_nul("n.txt") + "clean");
    host.set_reply(zc::mail_check_mail_attach, reply);
    std::int32_t action = 0;
    ASSERT_TRUE(io::mail_check_mail_attach(&feedback, body, s, action));
    EXPECT_EQ(action, 2);
    EXPECT_EQ(body, "clean");
    EXPECT_EQ(s.object_name, L"n.txt");
    EXPECT_EQ(count_lines("Attachr.doc from bob cheking...\n"), 1);
    EXPECT_EQ(count_lines("Attachr.doc from bob cheked OK. action=mail_action_replace new_file_body_cb=5 "
                          "new_file_body_offset=40\n"),
              1);
}

TEST_F(notifications, attach_replace_without_body_keeps_it_but_renames) {
    mail::mail_info_summary s = sample_summary();
    byte_string body = "orig";
    host.set_reply(zc::mail_check_mail_attach, attach_reply(2, ref(24, 2), 40, 0, w_nul("z") + "xxxx"));
    std::int32_t action = 0;
    ASSERT_TRUE(io::mail_check_mail_attach(nullptr, body, s, action));
    EXPECT_EQ(action, 2);
    EXPECT_EQ(body, "orig");
    EXPECT_EQ(s.object_name, L"z");

    // A body from another action is not applied.
    host.set_reply(zc::mail_check_mail_attach, attach_reply(1, zeros(16), 28, 4, "xxxx"));
    ASSERT_TRUE(io::mail_check_mail_attach(nullptr, body, s, action));
    EXPECT_EQ(action, 1);
    EXPECT_EQ(body, "orig");
    EXPECT_EQ(s.object_name, L"");

    host.set_reply(zc::mail_check_mail_attach, attach_reply(17, zeros(16), 0, 0, ""));
    ASSERT_TRUE(io::mail_check_mail_attach(nullptr, body, s, action));
    EXPECT_EQ(action, 17);
    EXPECT_EQ(count_lines("action=content_action_bredovi new_file_body_cb=0 new_file_body_offset=0\n"), 1);
}

TEST_F(notifications, attach_hostile_replies) {
    const std::string bad[] = {
        attach_reply(2, zeros(16), 0, 0, "").substr(0, 27),    // short
        attach_reply(2, ref(24, 4), 0, 0, "ab"),               // name past the end
        attach_reply(2, ref(1ull << 63, 4), 0, 0, "abcd"),     // absurd name offset
        attach_reply(2, zeros(16), 28, 5, "abcd"),             // body one byte over
        attach_reply(2, zeros(16), 0xFFFFFFF0, 0x20, "abcd"),  // body wraps
    };
    for (const auto& reply : bad) {
        mail::mail_info_summary s = sample_summary();
        byte_string body = "orig";
        host.set_reply(zc::mail_check_mail_attach, reply);
        m_log->clear();
        std::int32_t action = 2;
        EXPECT_FALSE(io::mail_check_mail_attach(nullptr, body, s, action));
        EXPECT_EQ(action, 0);
        EXPECT_EQ(body, "orig");
        EXPECT_EQ(s.object_name, L"r.doc");
        EXPECT_EQ(count_lines("io_type<>::mail_check_mail_attach: Wrong return data, size=" +
                              std::to_string(reply.size()) + "\n"),
                  1);
    }
    host.set_reply(zc::mail_check_mail_attach, "", 8);
    mail::mail_info_summary s = sample_summary();
    byte_string body;
    std::int32_t action = 1;
    EXPECT_FALSE(io::mail_check_mail_attach(nullptr, body, s, action));
    EXPECT_EQ(count_lines("io_type<>::mail_check_mail_attach: Failed to invoke_command, return code= 8\n"), 1);
}

// ---- counters -----------------------------------------------------------

template <class F>
void expect_unique_across_threads(F next) {
    const int threads = 4, per_thread = 5000;
    std::vector<std::vector<std::uint64_t>> got(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) got[t].push_back(next());
        });
    for (auto& th : pool) th.join();
    std::set<std::uint64_t> all;
    for (auto& v : got) {
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(threads * per_thread));
    EXPECT_GE(*all.begin(), 1u);
}

TEST(counters, request_ids_are_unique_across_threads) { expect_unique_across_threads(io::next_request_id); }
TEST(counters, mail_ids_are_unique_across_threads) { expect_unique_across_threads(io::next_mail_message_id); }
TEST(counters, mail_id_returns_current_then_advances) {
    std::uint64_t a = io::next_mail_message_id();
    EXPECT_EQ(io::next_mail_message_id(), a + 1);
    EXPECT_NE(a, 0u);
}

}  // namespace

namespace {

class concurrent : public host_fixture {};

// Wrappers keep no state of their own: many connections may ask at once and
// every request still carries its own fields.
TEST_F(concurrent, commands_from_many_threads_keep_their_own_requests) {
    log_space::m_level = 0;
    {
        const std::int32_t allow_all[22] = {};
        host.set_reply(zc::general_query_permission_array,
                       permission_reply_of(allow_all, ref(16, 2), std::string("x\0\0\0", 4)));
    }
    const int threads = 4, per_thread = 300;
    std::vector<std::thread> pool;
    std::vector<int> failures(threads, 0);
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                std::int32_t perms[26];
                byte_string text;
                std::string name = "h" + std::to_string(t) + "-" + std::to_string(i);
                std::uint64_t id = static_cast<std::uint64_t>(t) << 32 | static_cast<std::uint64_t>(i);
                if (!io::general_query_permission_array(name, name, nullptr, perms, id, text) || text != "x")
                    ++failures[t];
            }
        });
    for (auto& th : pool) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
    auto all = host.commands(zc::general_query_permission_array);
    ASSERT_EQ(all.size(), static_cast<std::size_t>(threads * per_thread));
    for (const auto& r : all) {
        std::uint64_t id = le64(r.data, 28);
        std::string name = "h" + std::to_string(id >> 32) + "-" + std::to_string(id & 0xffffffff);
        ASSERT_EQ(le32(r.data, 0), r.data.size());
        ASSERT_EQ(r.data.substr(324, name.size() * 2), kit::utf16le(name));
    }
}

}  // namespace
