// Requests of every command checked byte by byte at fixed offsets, and every
// reply decoder against hand-built replies, hostile ones included.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "host/host_link.h"
#include "host/zem_io_commands.h"
#include "kit/host.h"
#include "platform/clock.h"

using namespace kit;
namespace zc = zem::codes;
namespace io = zem_io_commands;

namespace {

class commands : public host_fixture {};

// ---- general_query_permission_array --------------------------------------

TEST_F(commands, permission_array_request_layout) {
    host.set_reply(zc::general_query_permission_array, permission_reply());
    std::int32_t perms[26];
    byte_string text = "keep";
    std::uint64_t t0 = platform::filetime_now();
    ASSERT_TRUE(
        io::general_query_permission_array("ex.com", "ex.com/\xE9", &feedback, perms, 0x1122334455667788ull, text));
    std::uint64_t t1 = platform::filetime_now();
    std::string m = only_request(zc::general_query_permission_array);
    expect_header(m, 356, true, t0, t1);
    EXPECT_EQ(le64(m, 28), 0x1122334455667788ull);
    EXPECT_EQ(m.substr(28, 8), "\x88\x77\x66\x55\x44\x33\x22\x11");  // low word first
    EXPECT_EQ(le64(m, 36), 288u);
    EXPECT_EQ(le64(m, 44), 12u);
    EXPECT_EQ(le64(m, 52), 286u);
    EXPECT_EQ(le64(m, 60), 16u);
    EXPECT_EQ(m.substr(68, 128), std::string(reinterpret_cast<const char*>(feedback.address_b), 128));
    EXPECT_EQ(m.substr(196, 128), std::string(reinterpret_cast<const char*>(feedback.address_a), 128));
    EXPECT_EQ(m.substr(324, 14), w_nul("ex.com"));
    EXPECT_EQ(m.substr(338, 18), kit::utf16le("ex.com/") + std::string("\xE9\x00\x00\x00", 4));
}

TEST_F(commands, permission_array_exact_reply_with_empty_text) {
    std::int32_t actions[22];
    for (int i = 0; i < 22; ++i) actions[i] = i % 3;
    host.set_reply(zc::general_query_permission_array, permission_reply_of(actions, zeros(16)));
    std::int32_t perms[26];
    for (auto& p : perms) p = 77;
    byte_string text = "old";
    ASSERT_TRUE(io::general_query_permission_array("h", "h/", &feedback, perms, 1, text));
    for (int i = 0; i < 22; ++i) EXPECT_EQ(perms[i], i % 3) << i;
    for (int i = 22; i < 26; ++i) EXPECT_EQ(perms[i], 0) << i;
    EXPECT_EQ(text, "");
    EXPECT_EQ(count_lines("PERMISSION_ARRAY for hosth:\n"), 1);
    EXPECT_EQ(count_lines("        PREMISSION:"), 22);
    EXPECT_EQ(count_lines("        PREMISSION:idx_cookies\t\t\t content_action_allow\n"), 1);
    EXPECT_EQ(count_lines("        PREMISSION:idx_activex\t\t\t content_action_block\n"), 1);
    EXPECT_EQ(count_lines("        PREMISSION:idx_java_applets\t\t\t content_action_learn\n"), 1);
    EXPECT_EQ(count_lines("        PREMISSION:idx_bredovi\t\t\t content_action_allow\n"), 1);  // index 21
}

TEST_F(commands, permission_array_text_is_narrowed) {
    std::int32_t actions[22] = {};
    actions[15] = 1;
    // Text right after the fixed part: offset 16 from the reference at +88.
    std::string text_w = kit::utf16le("http://r/") + std::string("\xE9\x00", 2);
    host.set_reply(zc::general_query_permission_array,
                   permission_reply_of(actions, ref(16, text_w.size()), text_w + zeros(2)));
    std::int32_t perms[26] = {};
    byte_string text;
    ASSERT_TRUE(io::general_query_permission_array("h", "h/", nullptr, perms, 1, text));
    EXPECT_EQ(text, "http://r/\xE9");
    EXPECT_EQ(perms[15], 1);
}

TEST_F(commands, permission_array_hostile_replies_leave_everything_allowed) {
    std::int32_t actions[22];
    for (auto& a : actions) a = 1;
    const std::string bad[] = {
        permission_reply_of(actions, zeros(16)).substr(0, 103),        // one byte short
        permission_reply_of(actions, ref(16, 4)),                      // text past the end
        permission_reply_of(actions, ref(17, 2), zeros(2)),            // one byte over
        permission_reply_of(actions, ref(1ull << 63, 2)),              // huge offset
        permission_reply_of(actions, ref(8, ~0ull), zeros(16)),        // huge length
        permission_reply_of(actions, ref(~0ull - 80, 200), zeros(8)),  // wraps around
    };
    for (const auto& reply : bad) {
        host.set_reply(zc::general_query_permission_array, reply);
        m_log->clear();
        std::int32_t perms[26];
        for (auto& p : perms) p = 9;
        byte_string text = "untouched";
        EXPECT_FALSE(io::general_query_permission_array("h", "h/", nullptr, perms, 1, text));
        for (int i = 0; i < 22; ++i) EXPECT_EQ(perms[i], 0) << i;
        EXPECT_EQ(text, "untouched");
        EXPECT_EQ(count_lines("Erorr!!! common/inc/lsp_io_wrappers ln:"), 1);
        EXPECT_EQ(count_lines("ipc_permission_qualifier_t::general_query_permission_array: Wrong return data, size=" +
                              std::to_string(reply.size()) + "\n"),
                  1);
        EXPECT_EQ(count_lines("PREMISSION:"), 0);
    }
}

TEST_F(commands, permission_array_failed_command) {
    host.set_reply(zc::general_query_permission_array, permission_reply(), 7);
    std::int32_t perms[26];
    for (auto& p : perms) p = 1;
    byte_string text = "x";
    EXPECT_FALSE(io::general_query_permission_array("h", "h/", nullptr, perms, 1, text));
    for (int i = 0; i < 22; ++i) EXPECT_EQ(perms[i], 0);
    EXPECT_EQ(text, "x");
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::general_query_permission_array: Failed to invoke_command, "
                          "return code= 7\n"),
              1);
}

// ---- do_learn_for_index ---------------------------------------------------

TEST_F(commands, learn_request_and_reply) {
    host.set_reply(zc::do_learn_for_index, std::string("\x01\x02\x00\x00\x00", 5));
    bool allow = false;
    std::int32_t next = -7;
    std::uint64_t t0 = platform::filetime_now();
    ASSERT_TRUE(io::do_learn_for_index("abc", allow, &feedback, 13, 0x0000000500000006ull, next));
    std::uint64_t t1 = platform::filetime_now();
    std::string m = only_request(zc::do_learn_for_index);
    expect_header(m, 64 + 8, true, t0, t1);
    EXPECT_EQ(le32(m, 28), 6u);
    EXPECT_EQ(le32(m, 32), 5u);
    EXPECT_EQ(le64(m, 36), 64u - 36u);
    EXPECT_EQ(le64(m, 44), 6u);
    EXPECT_EQ(le32(m, 52), 13u);
    EXPECT_EQ(le64(m, 56), 0xFFFFFFFFFFFFFFFBull);  // context -5, sign extended
    EXPECT_EQ(m.substr(64), w_nul("abc"));
    EXPECT_TRUE(allow);
    EXPECT_EQ(next, 2);
    EXPECT_EQ(count_lines("LEARN RESPONSE: current_allow = 1 action_next=content_action_learn\n"), 1);
}

TEST_F(commands, learn_reply_values_and_short_reply) {
    host.push_reply(zc::do_learn_for_index, std::string("\x00\x01\x00\x00\x00\xff", 6));
    bool allow = true;
    std::int32_t next = 0;
    ASSERT_TRUE(io::do_learn_for_index("h", allow, nullptr, 1, 0, next));
    EXPECT_FALSE(allow);
    EXPECT_EQ(next, 1);

    host.push_reply(zc::do_learn_for_index, std::string("\x01\x00\x00\x00", 4));
    allow = false;
    next = 42;
    EXPECT_FALSE(io::do_learn_for_index("h", allow, nullptr, 1, 0, next));
    EXPECT_FALSE(allow);
    EXPECT_EQ(next, 42);
    EXPECT_EQ(count_lines("io_type<>::do_learn_for_index: Wrong return data, size=4\n"), 1);

    host.push_reply(zc::do_learn_for_index, "", 3);
    EXPECT_FALSE(io::do_learn_for_index("h", allow, nullptr, 1, 0, next));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::do_learn_for_index: Failed to invoke_command, return code= 3\n"),
              1);
}

// ---- word lists -------------------------------------------------------------

// N entries from 'first', strings after them; entry offsets relative to the
// entry. An entry given as nullptr is written as (offset 16, length 0).
std::string word_reply(std::size_t first, const std::string& head, const std::vector<const char*>& words) {
    std::string r = head;
    std::string strings;
    std::size_t fixed = first + words.size() * 16;
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::size_t entry = first + i * 16;
        if (!words[i]) {
            r += ref(16, 0);
            continue;
        }
        std::string w = kit::utf16le(words[i]);
        r += ref(fixed + strings.size() - entry, w.size());
        strings += w + zeros(2);
    }
    return r + strings;
}

TEST_F(commands, stop_words_keep_empty_entries) {
    std::string reply = word_reply(8, le64_bytes(3), {"bad", nullptr, "worse"});
    ASSERT_EQ(reply.size(), 8u + 48 + 8 + 12);
    host.set_reply(zc::http_query_stop_words, reply);
    io::wide_list words{L"stale"};
    ASSERT_TRUE(io::http_query_stop_words(words));
    EXPECT_EQ(words, (io::wide_list{L"bad", L"", L"worse"}));
    EXPECT_EQ(only_request(zc::http_query_stop_words), "");
}

TEST_F(commands, stop_words_empty_list_and_short_replies) {
    host.push_reply(zc::http_query_stop_words, le64_bytes(0) + zeros(16));
    io::wide_list words{L"stale"};
    ASSERT_TRUE(io::http_query_stop_words(words));
    EXPECT_TRUE(words.empty());

    const std::string bad[] = {
        le64_bytes(0) + zeros(15),                 // under the minimum
        le64_bytes(2) + ref(16, 2) + zeros(2),     // second entry missing
        le64_bytes(1ull << 63) + zeros(16),        // absurd count
        le64_bytes(~0ull) + zeros(40),             // count that wraps when multiplied
        le64_bytes(1) + ref(16, 4) + zeros(2),     // string leaves the reply
        le64_bytes(1) + ref(~0ull, 2) + zeros(8),  // offset wraps
    };
    for (const auto& reply : bad) {
        host.push_reply(zc::http_query_stop_words, reply);
        words = {L"keep"};
        EXPECT_FALSE(io::http_query_stop_words(words)) << reply.size();
        EXPECT_EQ(words, io::wide_list{L"keep"});
    }
    EXPECT_EQ(count_lines("Erorr!!!"), 0);  // short stop word replies are not logged

    host.push_reply(zc::http_query_stop_words, "", 5);
    EXPECT_FALSE(io::http_query_stop_words(words));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::http_query_stop_words: Failed to invoke_command, return "
                          "code= 5\n"),
              1);
}

// Entries may share their text: such a list loads. What it decodes to is
// bounded (word_list_max_bytes, or the reply's size when that is larger), so
// a small reply cannot expand without limit; past the bound it is short.
TEST_F(commands, word_lists_whose_entries_share_one_string_load_up_to_the_bound) {
    const std::string word = "abcdefghijklmnopqrstuvwxyz012345";
    const std::string text = kit::utf16le(word.c_str());
    const wide_string wide_word(word.begin(), word.end());
    // Two entries, both pointing at the same 64 bytes after the table.
    const std::string twice = le64_bytes(2) + ref(32, 64) + ref(16, 64) + text + zeros(2);
    host.push_reply(zc::http_query_stop_words, twice);
    io::wide_list words{L"keep"};
    ASSERT_TRUE(io::http_query_stop_words(words));
    EXPECT_EQ(words, (io::wide_list{wide_word, wide_word}));

    std::uint8_t flag = 0;
    std::string many = le64_bytes(40) + "\x01";
    for (int i = 0; i < 40; ++i) many += ref((40 - i) * 16, 64);
    host.push_reply(zc::http_query_ads_block_words, many + text + zeros(2));
    ASSERT_TRUE(io::http_query_ads_block_words(words, flag));
    EXPECT_EQ(words, io::wide_list(40, wide_word));

    // One 4 KiB word shared by exactly as many entries as the bound holds,
    // then by one more.
    const std::string big = kit::utf16le(std::string(2048, 'w').c_str());
    const std::size_t fit = io::word_list_max_bytes / big.size();
    auto shared = [&](std::size_t n) {
        std::string r = le64_bytes(n) + "\x01";
        for (std::size_t i = 0; i < n; ++i) r += ref((n - i) * 16, big.size());
        return r + big + zeros(2);
    };
    host.push_reply(zc::http_query_ads_block_words, shared(fit));
    ASSERT_TRUE(io::http_query_ads_block_words(words, flag));
    EXPECT_EQ(words.size(), fit);
    host.push_reply(zc::http_query_ads_block_words, shared(fit + 1));
    EXPECT_FALSE(io::http_query_ads_block_words(words, flag));
    EXPECT_EQ(words.size(), fit);  // left as it was
    EXPECT_EQ(count_lines("http_query_ads_block_words: Wrong return data, size="), 1);
}

TEST_F(commands, ads_words_skip_empty_entries_and_carry_the_flag) {
    // Entries start right after the flag byte, unaligned.
    std::string reply = word_reply(9, le64_bytes(3) + "\x01", {"ads", nullptr, "banner"});
    host.set_reply(zc::http_query_ads_block_words, reply);
    io::wide_list words{L"stale"};
    std::uint8_t flag = 0;
    ASSERT_TRUE(io::http_query_ads_block_words(words, flag));
    EXPECT_EQ(words, (io::wide_list{L"ads", L"banner"}));
    EXPECT_EQ(flag, 1);

    // Length without offset: an empty word that is kept.
    host.set_reply(zc::http_query_ads_block_words, le64_bytes(1) + std::string(1, '\0') + ref(0, 6));
    ASSERT_TRUE(io::http_query_ads_block_words(words, flag));
    EXPECT_EQ(words, io::wide_list{L""});
    EXPECT_EQ(flag, 0);
}

TEST_F(commands, ads_words_short_replies_are_logged) {
    const std::string bad[] = {
        le64_bytes(0) + "\x01" + zeros(15),                 // 24 bytes
        le64_bytes(1ull << 63) + "\x01" + zeros(16),        // absurd count
        le64_bytes(2) + "\x01" + ref(16, 2) + zeros(2),     // second entry missing
        le64_bytes(1) + "\x01" + ref(16, 1000) + zeros(4),  // string too long
    };
    for (const auto& reply : bad) {
        host.push_reply(zc::http_query_ads_block_words, reply);
        io::wide_list words{L"keep"};
        std::uint8_t flag = 7;
        m_log->clear();
        EXPECT_FALSE(io::http_query_ads_block_words(words, flag));
        EXPECT_EQ(words, io::wide_list{L"keep"});
        EXPECT_EQ(flag, 7);
        EXPECT_EQ(count_lines("Erorr!!! common/inc/lsp_io_wrappers ln:"), 1);
        EXPECT_EQ(
            count_lines("http_query_ads_block_words: Wrong return data, size=" + std::to_string(reply.size()) + "\n"),
            1);
    }
}

// ---- http_query_ads_block_sizes ----------------------------------------

std::string size_reply(std::uint64_t n, std::size_t pairs, std::size_t extra = 0) {
    std::string r = le64_bytes(n);
    for (std::size_t i = 0; i < pairs; ++i)
        r += le32_bytes(static_cast<std::uint32_t>(100 + i)) + le32_bytes(static_cast<std::uint32_t>(10 + i));
    return r + zeros(8) + zeros(extra);
}

TEST_F(commands, sizes_exact_reply_is_silent) {
    host.set_reply(zc::http_query_ads_block_sizes, size_reply(2, 2));
    io::size_list sizes{{1, 1}};
    ASSERT_TRUE(io::http_query_ads_block_sizes(sizes));
    EXPECT_EQ(sizes, (io::size_list{{100, 10}, {101, 11}}));
    EXPECT_EQ(count_lines("Erorr!!!"), 0);
    EXPECT_EQ(count_lines("BLOCK_SIZE_ARRAY:"), 1);
    EXPECT_EQ(count_lines("cnt:0\t\t100 x 10"), 1);
    EXPECT_EQ(count_lines("cnt:1\t\t101 x 11"), 1);
}

TEST_F(commands, sizes_longer_reply_goes_on_after_the_mismatch_line) {
    host.set_reply(zc::http_query_ads_block_sizes, size_reply(2, 2, 8));
    io::size_list sizes;
    ASSERT_TRUE(io::http_query_ads_block_sizes(sizes));
    EXPECT_EQ(sizes.size(), 2u);
    EXPECT_EQ(count_lines("http_query_ads_block_sizes: Wrong return data, (exact size mismatch )size returned=40 "
                          "expected size=32 Element size =8 Struct Size= 16\n"),
              1);
}

TEST_F(commands, sizes_shorter_reply_fails_with_an_empty_list) {
    host.set_reply(zc::http_query_ads_block_sizes, size_reply(2, 1));
    io::size_list sizes{{1, 1}};
    EXPECT_FALSE(io::http_query_ads_block_sizes(sizes));
    EXPECT_TRUE(sizes.empty());
    EXPECT_EQ(count_lines("(exact size mismatch )size returned=24 expected size=32 Element size =8 Struct Size= 16"),
              1);
    EXPECT_EQ(count_lines("Erorr!!!"), 1);
}

TEST_F(commands, sizes_hostile_counts) {
    host.push_reply(zc::http_query_ads_block_sizes, size_reply(1ull << 63, 0));
    io::size_list sizes{{1, 1}};
    EXPECT_FALSE(io::http_query_ads_block_sizes(sizes));
    EXPECT_TRUE(sizes.empty());
    EXPECT_EQ(count_lines("size returned=16 expected size=18446744073709551615 "), 1);

    // 16 + 8 * N wraps to 16 for this N; it must not pass as exact.
    host.push_reply(zc::http_query_ads_block_sizes, size_reply(1ull << 61, 0));
    EXPECT_FALSE(io::http_query_ads_block_sizes(sizes));
    EXPECT_TRUE(sizes.empty());

    host.push_reply(zc::http_query_ads_block_sizes, zeros(15));
    EXPECT_FALSE(io::http_query_ads_block_sizes(sizes));
    EXPECT_EQ(count_lines("http_query_ads_block_sizes: Wrong return data, size=15\n"), 1);

    host.push_reply(zc::http_query_ads_block_sizes, "", 2);
    EXPECT_FALSE(io::http_query_ads_block_sizes(sizes));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::http_query_ads_block_sizes: Failed to invoke_command, "
                          "return code= 2\n"),
              1);
}

// ---- narrow texts: block page and transparent image ----------------------

TEST_F(commands, narrow_text_stops_at_nul) {
    host.set_reply(zc::http_query_transparent_gif, ref(16, 9) + std::string("C:\\a\0b.gif\0", 11));
    byte_string text = "old";
    ASSERT_TRUE(io::http_query_transparent_gif(text));
    EXPECT_EQ(text, "C:\\a");
    EXPECT_EQ(only_request(zc::http_query_transparent_gif), "");
}

TEST_F(commands, narrow_text_last_byte_is_a_terminator) {
    // No NUL of its own: the reply's last byte is cleared before reading.
    host.set_reply(zc::http_query_block_message_html, ref(16, 6) + "<html>");
    byte_string text;
    ASSERT_TRUE(io::http_query_block_message_html(text));
    EXPECT_EQ(text, "<html");
}

TEST_F(commands, narrow_text_empty_reference_and_bad_replies) {
    host.push_reply(zc::http_query_block_message_html, ref(0, 5) + "abcde");
    byte_string text = "old";
    ASSERT_TRUE(io::http_query_block_message_html(text));
    EXPECT_EQ(text, "");

    const std::string bad[] = {zeros(15), ref(17, 1) + "x", ref(1ull << 62, 3) + "abc"};
    for (const auto& reply : bad) {
        host.push_reply(zc::http_query_block_message_html, reply);
        text = "keep";
        m_log->clear();
        EXPECT_FALSE(io::http_query_block_message_html(text));
        EXPECT_EQ(text, "keep");
        EXPECT_EQ(count_lines("http_query_block_message_html: Wrong return data, size=" + std::to_string(reply.size()) +
                              "\n"),
                  1);
    }
    host.push_reply(zc::http_query_block_message_html, "", 4);
    EXPECT_FALSE(io::http_query_block_message_html(text));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::http_query_block_messahe_html: Failed to invoke_command, "
                          "return code= 4\n"),
              1);
    host.push_reply(zc::http_query_transparent_gif, zeros(3));
    EXPECT_FALSE(io::http_query_transparent_gif(text));
    EXPECT_EQ(count_lines("http_query_transparent_gif: Wrong return data, size=3\n"), 1);
    host.push_reply(zc::http_query_transparent_gif, "", 9);
    EXPECT_FALSE(io::http_query_transparent_gif(text));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::http_query_transparent_gif: Failed to invoke_command, return "
                          "code= 9\n"),
              1);
}

// ---- firewall_allow_connection ----------------------------------------

TEST_F(commands, firewall_request_and_result) {
    host.set_reply(zc::firewall_allow_connection, "");
    std::uint64_t t0 = platform::filetime_now();
    ASSERT_TRUE(io::firewall_allow_connection(&feedback, 0xC0A80001, 21));
    std::uint64_t t1 = platform::filetime_now();
    std::string m = only_request(zc::firewall_allow_connection);
    expect_header(m, 36, true, t0, t1);
    EXPECT_EQ(m.substr(28, 4), std::string("\x01\x00\xA8\xC0", 4));
    EXPECT_EQ(le32(m, 32), 21u);

    host.set_reply(zc::firewall_allow_connection, "", -2);
    EXPECT_FALSE(io::firewall_allow_connection(nullptr, 1, 2));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::firewall_allow_connection: Failed to invoke_command, return "
                          "code= -2\n"),
              1);
}

// ---- http_check_script -------------------------------------------------

std::string script_reply(char flag, std::uint32_t off, std::uint32_t len, const std::string& tail) {
    return std::string(1, flag) + le32_bytes(off) + le32_bytes(len) + tail;
}

TEST_F(commands, script_request_carries_the_address_of_the_text) {
    byte_string script = "alert(1)";
    host.set_reply(zc::http_check_script, script_reply(0, 0, 0, ""));
    const std::uintptr_t where = reinterpret_cast<std::uintptr_t>(script.data());
    std::uint64_t t0 = platform::filetime_now();
    ASSERT_TRUE(io::http_check_script(script, &feedback, 99));
    std::uint64_t t1 = platform::filetime_now();
    std::string m = only_request(zc::http_check_script);
    expect_header(m, 52, true, t0, t1);
    EXPECT_EQ(le64(m, 28), 99u);
    EXPECT_EQ(le64(m, 36), static_cast<std::uint64_t>(where));
    EXPECT_EQ(le64(m, 44), 8u);
    EXPECT_EQ(script, "alert(1)");
}

TEST_F(commands, script_replies) {
    byte_string script = "evil()";
    host.push_reply(zc::http_check_script, script_reply(1, 9, 4, "good"));
    ASSERT_TRUE(io::http_check_script(script, nullptr, 0));
    EXPECT_EQ(script, "good");

    host.push_reply(zc::http_check_script, script_reply(1, 0, 4, "gone"));
    ASSERT_TRUE(io::http_check_script(script, nullptr, 0));
    EXPECT_EQ(script, "");

    script = "same";
    host.push_reply(zc::http_check_script, script_reply(0, 9, 4, "nope"));
    ASSERT_TRUE(io::http_check_script(script, nullptr, 0));
    EXPECT_EQ(script, "same");

    const std::string bad[] = {script_reply(1, 9, 5, "four"), script_reply(1, 0xFFFFFFFF, 0xFFFFFFFF, ""),
                               script_reply(1, 0, 0, "").substr(0, 8)};
    for (const auto& reply : bad) {
        host.push_reply(zc::http_check_script, reply);
        m_log->clear();
        EXPECT_FALSE(io::http_check_script(script, nullptr, 0));
        EXPECT_EQ(script, "same");
        EXPECT_EQ(count_lines("http_check_script: Wrong return data, size=" + std::to_string(reply.size()) + "\n"), 1);
    }
    host.push_reply(zc::http_check_script, "", 6);
    EXPECT_FALSE(io::http_check_script(script, nullptr, 0));
    EXPECT_EQ(count_lines("io_type::http_check_script: Failed to invoke_command, return code= 6\n"), 1);
}

TEST_F(commands, wide_script_goes_through_the_code_page_only_when_replaced) {
    wide_string script = L"x=\x4E2D;";  // not representable in the ANSI code page
    host.push_reply(zc::http_check_script, script_reply(0, 0, 0, ""));
    ASSERT_TRUE(io::http_check_script(script, nullptr, 0));
    EXPECT_EQ(script, L"x=\x4E2D;");
    std::string sent = only_request(zc::http_check_script);
    EXPECT_EQ(le64(sent, 44), 4u);

    host.push_reply(zc::http_check_script, script_reply(1, 9, 3, "\xE9t\xE9"));
    ASSERT_TRUE(io::http_check_script(script, nullptr, 0));
    EXPECT_EQ(script, L"\x00E9t\x00E9");
}

// ---- general_query_config_cookie ----------------------------------------

TEST_F(commands, config_cookie) {
    std::string c = "0123456789abcdefXYZ";
    host.push_reply(zc::general_query_config_cookie, c);
    io::config_cookie cookie;
    ASSERT_TRUE(io::general_query_config_cookie(cookie));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cookie.bytes), 16), c.substr(0, 16));
    EXPECT_EQ(only_request(zc::general_query_config_cookie), "");

    host.push_reply(zc::general_query_config_cookie, zeros(15));
    EXPECT_FALSE(io::general_query_config_cookie(cookie));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cookie.bytes), 16), c.substr(0, 16));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::general_query_config_cookie: Wrong return data, size=15\n"), 1);
    host.push_reply(zc::general_query_config_cookie, "", 1);
    EXPECT_FALSE(io::general_query_config_cookie(cookie));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::general_query_config_cookie: Failed to invoke_command, return "
                          "code= 1\n"),
              1);
}

// ---- without a host ----------------------------------------------------

TEST_F(commands, without_a_host_every_command_fails) {
    zem_io_commands::set_host_iface(nullptr);
    std::int32_t perms[26];
    for (auto& p : perms) p = 1;
    byte_string text = "t";
    EXPECT_FALSE(io::general_query_permission_array("h", "a", &feedback, perms, 1, text));
    for (int i = 0; i < 22; ++i) EXPECT_EQ(perms[i], 0);
    EXPECT_EQ(text, "t");
    bool allow = false;
    std::int32_t next = 5;
    EXPECT_FALSE(io::do_learn_for_index("h", allow, &feedback, 1, 1, next));
    EXPECT_EQ(next, 5);
    io::wide_list words{L"w"};
    std::uint8_t flag = 3;
    EXPECT_FALSE(io::http_query_stop_words(words));
    EXPECT_FALSE(io::http_query_ads_block_words(words, flag));
    EXPECT_EQ(words, io::wide_list{L"w"});
    io::size_list sizes{{1, 2}};
    EXPECT_FALSE(io::http_query_ads_block_sizes(sizes));
    EXPECT_TRUE(sizes.empty());
    EXPECT_FALSE(io::http_query_block_message_html(text));
    EXPECT_FALSE(io::http_query_transparent_gif(text));
    EXPECT_FALSE(io::firewall_allow_connection(&feedback, 1, 2));
    byte_string script = "s";
    EXPECT_FALSE(io::http_check_script(script, &feedback, 1));
    EXPECT_EQ(script, "s");
    io::config_cookie cookie;
    EXPECT_FALSE(io::general_query_config_cookie(cookie));
    EXPECT_EQ(host.command_count(), 0u);

    auto all = lines();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(all[0].find("ipc_permission_qualifier_t::general_query_permission_array: Failed to get from "
                          "\"zem_server\", initialized by default\n"),
              std::string::npos);
    EXPECT_NE(all[1].find("ipc_permission_qualifier_t::general_query_config_cookie: Failed to get from "
                          "\"zem_server\", initialized by default\n"),
              std::string::npos);

    // The two lines have verbosity 2.
    log_space::m_level = 1;
    m_log->clear();
    EXPECT_FALSE(io::general_query_config_cookie(cookie));
    EXPECT_EQ(lines().size(), 0u);
}

TEST_F(commands, version_codes) {
    EXPECT_EQ(io::version_code(1, 0), 1u);
    EXPECT_EQ(io::version_code(1, 1), 2u);
    EXPECT_EQ(io::version_code(1, 2), 3u);
    EXPECT_EQ(io::version_code(0, 9), 3u);
    EXPECT_EQ(io::version_code(2, 0), 3u);
}

}  // namespace
