// The host's side of the command channel: requests built byte by byte at their
// documented offsets, replies checked at theirs, and hostile messages.
#include "wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "event_log.h"
#include "host_channel.h"
#include "kit/kit.h"
#include "policy.h"

namespace {

using kit::le32;
using kit::le64;
using kit::put_le32;
using kit::put_le64;
using nlohmann::json;

std::string header(std::size_t total, std::uint32_t id0 = 7, std::uint32_t id1 = 8, std::uint32_t id2 = 9) {
    std::string h(28, '\0');
    put_le32(h, 0, static_cast<std::uint32_t>(total));
    put_le64(h, 8, 0x01D9000000000000ull);
    put_le32(h, 16, id0);
    put_le32(h, 20, id1);
    put_le32(h, 24, id2);
    return h;
}

// Appends a terminated string and points the string_ref at ref_off to it.
void add_string(std::string& msg, std::size_t ref_off, const std::string& bytes, std::size_t term) {
    put_le64(msg, ref_off, msg.size() - ref_off);
    put_le64(msg, ref_off + 8, bytes.size());
    msg += bytes;
    msg.append(term, '\0');
}

void fix_total(std::string& msg) { put_le32(msg, 0, static_cast<std::uint32_t>(msg.size())); }

std::string permission_request(const std::string& host, const std::string& address) {
    std::string m = header(0);
    m.resize(324, '\0');
    put_le64(m, 28, 0x1122334455667788ull);
    for (int k = 0; k < 128; ++k) m[static_cast<std::size_t>(196 + k)] = 0;  // address_a
    add_string(m, 36, kit::utf16le(host), 2);
    add_string(m, 52, kit::utf16le(address), 2);
    fix_total(m);
    return m;
}

// ---- text ------------------------------------------------------------------------

TEST(zemhost_text, utf16_and_utf8_round_trip_with_surrogates) {
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
    const std::string w = zem_host::utf8_to_utf16le(utf8);
    EXPECT_EQ(w, std::string("a\0\xE9\0\xAC\x20\x3D\xD8\x00\xDE", 10));
    EXPECT_EQ(zem_host::utf16le_to_utf8(w.data(), w.size()), utf8);
    // A lone high surrogate becomes U+FFFD instead of invalid UTF-8.
    const std::string lone(
        "\x3D\xD8"
        "A\0",
        4);
    EXPECT_EQ(zem_host::utf16le_to_utf8(lone.data(), lone.size()),
              "\xEF\xBF\xBD"
              "A");
    // Malformed UTF-8 (truncated, overlong) becomes U+FFFD.
    EXPECT_EQ(zem_host::utf8_to_utf16le("\xC3"), std::string("\xFD\xFF", 2));
    EXPECT_EQ(zem_host::utf8_to_utf16le("\xC0\xAF"), std::string("\xFD\xFF\xFD\xFF", 4));
}

TEST(zemhost_text, ansi_is_windows_1252) {
    EXPECT_EQ(zem_host::ansi_to_utf8("\x80\xE9\x81"), "\xE2\x82\xAC\xC3\xA9\xC2\x81");
    EXPECT_TRUE(zem_host::valid_utf8(zem_host::ansi_to_utf8(std::string("\x00\xFF\x9F", 3))));
}

// ---- requests ----------------------------------------------------------------------

TEST(zemhost_wire, permission_request_fields) {
    std::string m = permission_request("www.Example.com", "www.example.com/a?b");
    for (int k = 0; k < 128; ++k) {
        m[static_cast<std::size_t>(68 + k)] = static_cast<char>(k);
        m[static_cast<std::size_t>(196 + k)] = static_cast<char>(255 - k);
    }
    zem_host::permission_request q;
    ASSERT_EQ(zem_host::decode(m.data(), m.size(), q), "");
    EXPECT_EQ(q.hdr.id0, 7u);
    EXPECT_EQ(q.hdr.id2, 9u);
    EXPECT_EQ(q.request_id, 0x1122334455667788ull);
    EXPECT_EQ(q.host, "www.Example.com");
    EXPECT_EQ(q.address, "www.example.com/a?b");
    EXPECT_EQ(q.address_b[5], 5);
    EXPECT_EQ(static_cast<unsigned char>(q.address_a[5]), 250);
}

TEST(zemhost_wire, hostile_requests_are_refused) {
    const std::string good = permission_request("h", "h/");
    zem_host::permission_request q;
    // Every truncation of the fixed part.
    for (std::size_t n = 0; n < 324; ++n) EXPECT_NE(zem_host::decode(good.data(), n, q), "") << n;
    // A total size that claims more than was received.
    std::string m = good;
    put_le32(m, 0, static_cast<std::uint32_t>(m.size() + 1));
    EXPECT_NE(zem_host::decode(m.data(), m.size(), q), "");
    // A reference past the end, one whose offset + length overflows, an odd wide length.
    m = good;
    put_le64(m, 44, 1000);
    EXPECT_NE(zem_host::decode(m.data(), m.size(), q), "");
    m = good;
    put_le64(m, 36, 0xFFFFFFFFFFFFFFF0ull);
    EXPECT_NE(zem_host::decode(m.data(), m.size(), q), "");
    m = good;
    put_le64(m, 52, 16);
    put_le64(m, 60, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_NE(zem_host::decode(m.data(), m.size(), q), "");
    m = good;
    put_le64(m, 44, 3);
    EXPECT_NE(zem_host::decode(m.data(), m.size(), q), "");
    // The string must lie inside the declared total size, not just the buffer.
    m = good;
    put_le32(m, 0, 324);
    EXPECT_NE(zem_host::decode(m.data(), m.size(), q), "");
    // A zero reference is "no string".
    m = good;
    put_le64(m, 36, 0);
    ASSERT_EQ(zem_host::decode(m.data(), m.size(), q), "");
    EXPECT_EQ(q.host, "");
}

TEST(zemhost_wire, learn_attach_firewall_script_requests) {
    std::string m = header(0);
    m.resize(64, '\0');
    put_le64(m, 28, 42);
    put_le32(m, 52, 13);
    put_le64(m, 56, static_cast<std::uint64_t>(-5));
    add_string(m, 36, kit::utf16le("pop.example"), 2);
    fix_total(m);
    zem_host::learn_request l;
    ASSERT_EQ(zem_host::decode(m.data(), m.size(), l), "");
    EXPECT_EQ(l.request_id, 42u);
    EXPECT_EQ(l.host, "pop.example");
    EXPECT_EQ(l.index, 13u);
    EXPECT_EQ(l.context, -5);

    const std::string body = "MZ payload";
    m = header(0);
    m.resize(132, '\0');
    put_le64(m, 28, 3);
    put_le64(m, 36, 4);
    put_le64(m, 44, reinterpret_cast<std::uintptr_t>(body.data()));
    put_le64(m, 52, body.size());
    put_le32(m, 124, 2);
    put_le32(m, 128, 1);
    add_string(m, 60, kit::utf16le("a.exe"), 2);
    add_string(m, 76, kit::utf16le("from@x"), 2);
    add_string(m, 92, kit::utf16le("to@y"), 2);
    add_string(m, 108, kit::utf16le("hello"), 2);
    fix_total(m);
    zem_host::attach_request a;
    ASSERT_EQ(zem_host::decode(m.data(), m.size(), a), "");
    EXPECT_EQ(a.object_id, 3u);
    EXPECT_EQ(a.message_id, 4u);
    EXPECT_EQ(a.body_length, body.size());
    EXPECT_EQ(a.name, "a.exe");
    EXPECT_EQ(a.from, "from@x");
    EXPECT_EQ(a.to, "to@y");
    EXPECT_EQ(a.subject, "hello");
    EXPECT_EQ(a.protocol, 2u);
    EXPECT_EQ(a.outgoing, 1u);
    put_le64(m, 44, 0);  // a length without an address
    EXPECT_NE(zem_host::decode(m.data(), m.size(), a), "");

    m = header(36);
    m.resize(36, '\0');
    put_le32(m, 28, 0xC0A80102);
    put_le32(m, 32, 20021);
    zem_host::firewall_request f;
    ASSERT_EQ(zem_host::decode(m.data(), m.size(), f), "");
    EXPECT_EQ(zem_host::ipv4_text(f.address), "192.168.1.2");
    EXPECT_EQ(f.port, 20021u);
    EXPECT_NE(zem_host::decode(m.data(), 35, f), "");
}

// ---- replies ----------------------------------------------------------------------

TEST(zemhost_wire, permission_reply_layout) {
    std::int32_t a[22] = {};
    a[0] = 1;
    a[13] = 2;
    a[21] = -1;
    const std::string r = zem_host::encode_permission_reply(a, "http://x/");
    ASSERT_EQ(r.size(), 104u + 18u + 2u);
    EXPECT_EQ(le32(r, 0), 1u);
    EXPECT_EQ(le32(r, 52), 2u);
    EXPECT_EQ(le32(r, 84), 0xFFFFFFFFu);
    EXPECT_EQ(le64(r, 88), 16u);  // relative to the reference at +88
    EXPECT_EQ(le64(r, 96), 18u);
    EXPECT_EQ(r.substr(104, 18), kit::utf16le("http://x/"));
    EXPECT_EQ(r.substr(122, 2), std::string(2, '\0'));
    const std::string e = zem_host::encode_permission_reply(a, "");
    ASSERT_EQ(e.size(), 104u);
    EXPECT_EQ(e.substr(88), std::string(16, '\0'));
}

TEST(zemhost_wire, word_lists_and_sizes) {
    const std::string w = zem_host::encode_word_list({"ab", "c"});
    ASSERT_EQ(w.size(), 8u + 32u + 6u + 4u);
    EXPECT_EQ(le64(w, 0), 2u);
    EXPECT_EQ(le64(w, 8), 32u);  // entry 0 at +8, string at +40
    EXPECT_EQ(le64(w, 16), 4u);
    EXPECT_EQ(w.substr(40, 6), std::string("a\0b\0\0\0", 6));
    EXPECT_EQ(le64(w, 24), 46u - 24u);  // entry 1 at +24, string at +46
    EXPECT_EQ(le64(w, 32), 2u);
    EXPECT_EQ(w.substr(46, 4), std::string("c\0\0\0", 4));
    // An empty list still meets the minimum of 24 bytes.
    const std::string e = zem_host::encode_word_list({});
    EXPECT_EQ(e, std::string(24, '\0'));

    const std::string f = zem_host::encode_flagged_word_list({"ad"}, 7);
    ASSERT_EQ(f.size(), 9u + 16u + 6u);
    EXPECT_EQ(le64(f, 0), 1u);
    EXPECT_EQ(f[8], 7);
    EXPECT_EQ(le64(f, 9), 16u);  // entry at +9 (no padding), string at +25
    EXPECT_EQ(le64(f, 17), 4u);
    EXPECT_EQ(f.substr(25), std::string("a\0d\0\0\0", 6));
    EXPECT_EQ(zem_host::encode_flagged_word_list({}, 1).size(), 25u);

    const std::string s = zem_host::encode_size_list({{468, 60}, {728, 90}});
    ASSERT_EQ(s.size(), 16u + 8u * 2u);
    EXPECT_EQ(le64(s, 0), 2u);
    EXPECT_EQ(le32(s, 8), 468u);
    EXPECT_EQ(le32(s, 12), 60u);
    EXPECT_EQ(le32(s, 16), 728u);
    EXPECT_EQ(le32(s, 20), 90u);
    EXPECT_EQ(zem_host::encode_size_list({}), std::string(16, '\0'));
}

TEST(zemhost_wire, narrow_learn_attach_script_cookie_replies) {
    const std::string n = zem_host::encode_narrow_string("<b>x</b>");
    ASSERT_EQ(n.size(), 16u + 8u + 1u);
    EXPECT_EQ(le64(n, 0), 16u);
    EXPECT_EQ(le64(n, 8), 8u);
    EXPECT_EQ(n.substr(16), std::string("<b>x</b>\0", 9));
    EXPECT_EQ(zem_host::encode_narrow_string(""), std::string(16, '\0'));

    const std::string l = zem_host::encode_learn_reply(true, 1);
    EXPECT_EQ(l, std::string("\x01\x01\x00\x00\x00", 5));

    const std::string a = zem_host::encode_attach_reply(2, "r.txt", "BODY");
    ASSERT_EQ(a.size(), 28u + 12u + 4u);
    EXPECT_EQ(le32(a, 0), 2u);
    EXPECT_EQ(le64(a, 4), 24u);  // relative to +4: the name starts at +28
    EXPECT_EQ(le64(a, 12), 10u);
    EXPECT_EQ(a.substr(28, 10), kit::utf16le("r.txt"));
    EXPECT_EQ(le32(a, 20), 40u);  // from the reply's start
    EXPECT_EQ(le32(a, 24), 4u);
    EXPECT_EQ(a.substr(40), "BODY");
    const std::string cut = zem_host::encode_attach_reply(1, "", "");
    EXPECT_EQ(cut, std::string("\x01\0\0\0", 4) + std::string(24, '\0'));

    const std::string s = zem_host::encode_script_reply(true, "/**/");
    ASSERT_EQ(s.size(), 13u);
    EXPECT_EQ(s[0], 1);
    EXPECT_EQ(le32(s, 1), 9u);
    EXPECT_EQ(le32(s, 5), 4u);
    EXPECT_EQ(s.substr(9), "/**/");
    EXPECT_EQ(zem_host::encode_script_reply(true, ""), std::string("\x01", 1) + std::string(8, '\0'));
    EXPECT_EQ(zem_host::encode_script_reply(false, "x"), std::string(9, '\0'));
}

// ---- the channel as the engine sees it ------------------------------------------------

class zemhost_channel : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(store.load_text(R"({
            "default": {"idx_popups": "block", "idx_jscript": "learn"},
            "hosts": {"ads.example": {"idx_host_enable": "block", "redirect": "http://safe/"}},
            "learn": {"allow_now": false, "next": "block"},
            "ads": {"keywords": ["banner", "/ads/"], "list_flag": 3},
            "banner_sizes": [[468, 60]],
            "stop_words": ["verboten"],
            "block_page": "<p>no</p>",
            "replacement_image": "/srv/t.gif",
            "attachments": [{"name": "*.EXE", "action": "cut"},
                            {"name": "*.vbs", "action": "replace", "body": "gone", "new_name": "gone.txt"}],
            "scripts": [{"contains": "eval(", "replace": "/*x*/"}]
        })",
                                    err))
            << err;
        log_path = ::testing::TempDir() + "zemhost_channel_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".jsonl";
        std::remove(log_path.c_str());
        ASSERT_TRUE(log.open(log_path, err)) << err;
    }

    int invoke(int code, const std::string& req, std::string& out) {
        zem::mem_slice rq, rp;
        if (!req.empty()) rq.assign(req.data(), static_cast<int>(req.size()));
        const int rc = ch.invoke_command(&zem::channel_guid, code, &rq, &rp);
        int len = 0;
        const char* p = rp.data(&len);
        out.assign(p ? p : "", static_cast<std::size_t>(len));
        return rc;
    }

    std::vector<json> lines() {
        log.flush();
        std::vector<json> v;
        std::ifstream f(log_path);
        std::string line;
        while (std::getline(f, line)) v.push_back(json::parse(line));
        return v;
    }

    zem_host::policy_store store;
    zem_host::event_log log;
    zem_host::host_channel ch{store, &log};
    std::string log_path;
};

TEST_F(zemhost_channel, permission_array_per_host_and_logged) {
    std::string out;
    ASSERT_EQ(invoke(1000, permission_request("ADS.example:8080", "ads.example/x"), out), 0);
    ASSERT_EQ(out.size(), 104u + 24u + 2u);
    EXPECT_EQ(le32(out, 4 * 14), 1u);  // idx_host_enable
    EXPECT_EQ(le32(out, 4 * 13), 1u);  // inherited idx_popups
    EXPECT_EQ(le32(out, 4 * 9), 2u);   // inherited learn
    EXPECT_EQ(le32(out, 0), 0u);
    EXPECT_EQ(out.substr(104, 24), kit::utf16le("http://safe/"));

    ASSERT_EQ(invoke(1000, permission_request("other.example", "other.example/"), out), 0);
    ASSERT_EQ(out.size(), 104u);
    EXPECT_EQ(le32(out, 4 * 14), 0u);
    EXPECT_EQ(le64(out, 88), 0u);

    const auto v = lines();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]["command"], "general_query_permission_array");
    EXPECT_EQ(v[0]["request"]["host"], "ADS.example:8080");
    EXPECT_EQ(v[0]["id0"], 7);
    EXPECT_EQ(v[0]["answer"]["restricted"]["idx_host_enable"], "content_action_block");
    EXPECT_EQ(v[0]["answer"]["redirect"], "http://safe/");
    EXPECT_EQ(v[0]["rc"], 0);
}

TEST_F(zemhost_channel, every_empty_request_command) {
    std::string out;
    ASSERT_EQ(invoke(1002, "", out), 0);
    EXPECT_EQ(le64(out, 0), 1u);
    EXPECT_EQ(out.substr(24, 16), kit::utf16le("verboten"));
    ASSERT_EQ(invoke(1003, "", out), 0);
    EXPECT_EQ(le64(out, 0), 2u);
    EXPECT_EQ(out[8], 3);
    EXPECT_EQ(out.substr(9 + 32, 12), kit::utf16le("banner"));
    ASSERT_EQ(invoke(1004, "", out), 0);
    EXPECT_EQ(out.size(), 24u);
    EXPECT_EQ(le32(out, 8), 468u);
    ASSERT_EQ(invoke(1005, "", out), 0);
    EXPECT_EQ(out.substr(16), std::string("<p>no</p>\0", 10));
    ASSERT_EQ(invoke(1007, "", out), 0);
    EXPECT_EQ(out.substr(16), std::string("/srv/t.gif\0", 11));
    std::string cookie;
    ASSERT_EQ(invoke(1010, "", cookie), 0);
    EXPECT_EQ(cookie.size(), 16u);
    ASSERT_EQ(invoke(1010, "", out), 0);
    EXPECT_EQ(out, cookie);  // stable while the policy stays
}

TEST_F(zemhost_channel, learn_attach_script_and_firewall) {
    std::string m = header(0);
    m.resize(64, '\0');
    put_le32(m, 52, 9);
    fix_total(m);
    std::string out;
    ASSERT_EQ(invoke(1001, m, out), 0);
    EXPECT_EQ(out, std::string("\x00\x01\x00\x00\x00", 5));

    auto attach = [&](const std::string& name) {
        std::string a = header(0);
        a.resize(132, '\0');
        add_string(a, 60, kit::utf16le(name), 2);
        fix_total(a);
        return a;
    };
    ASSERT_EQ(invoke(1006, attach("setup.exe"), out), 0);
    EXPECT_EQ(le32(out, 0), 1u);
    EXPECT_EQ(out.substr(28, 18), kit::utf16le("setup.exe"));  // the name is echoed, not emptied
    ASSERT_EQ(invoke(1006, attach("x.VBS"), out), 0);
    EXPECT_EQ(le32(out, 0), 2u);
    EXPECT_EQ(out.substr(28, 16), kit::utf16le("gone.txt"));
    EXPECT_EQ(out.substr(le32(out, 20), le32(out, 24)), "gone");
    ASSERT_EQ(invoke(1006, attach("notes.txt"), out), 0);
    EXPECT_EQ(le32(out, 0), 0u);
    EXPECT_EQ(out.substr(28, 18), kit::utf16le("notes.txt"));

    const std::string script = "var a = eval(b);";
    std::string s = header(52);
    s.resize(52, '\0');
    put_le64(s, 36, reinterpret_cast<std::uintptr_t>(script.data()));
    put_le64(s, 44, script.size());
    ASSERT_EQ(invoke(1009, s, out), 0);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out.substr(9), "/*x*/");
    const std::string plain = "var a = 1;";
    put_le64(s, 36, reinterpret_cast<std::uintptr_t>(plain.data()));
    put_le64(s, 44, plain.size());
    ASSERT_EQ(invoke(1009, s, out), 0);
    EXPECT_EQ(out, std::string(9, '\0'));

    std::string f = header(36);
    f.resize(36, '\0');
    put_le32(f, 28, 0x0A000001);
    put_le32(f, 32, 2121);
    ASSERT_EQ(invoke(1008, f, out), 0);
    const auto v = lines();
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(v.back()["command"], "firewall_allow_connection");
    EXPECT_EQ(v.back()["request"]["address"], "10.0.0.1");
    EXPECT_EQ(v.back()["request"]["port"], 2121);
}

TEST_F(zemhost_channel, malformed_commands_fail_and_leave_the_reply_alone) {
    std::string out;
    const std::string good = permission_request("h", "h/");
    for (std::size_t n = 0; n < 324; n += 7)
        EXPECT_EQ(invoke(1000, good.substr(0, n), out), zem_host::host_channel::rc_malformed) << n;
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(invoke(1001, std::string(63, '\0'), out), zem_host::host_channel::rc_malformed);
    EXPECT_EQ(invoke(1006, std::string(131, '\0'), out), zem_host::host_channel::rc_malformed);
    EXPECT_EQ(invoke(1008, std::string(10, '\0'), out), zem_host::host_channel::rc_malformed);
    EXPECT_EQ(invoke(1009, std::string(51, '\0'), out), zem_host::host_channel::rc_malformed);
    EXPECT_EQ(invoke(999, "", out), zem_host::host_channel::rc_unknown_command);
    zem::GUID other = zem::channel_guid;
    other.Data4[7] ^= 1;
    zem::mem_slice rq, rp;
    EXPECT_EQ(ch.invoke_command(&other, 1002, &rq, &rp), zem_host::host_channel::rc_wrong_channel);
    EXPECT_EQ(ch.invoke_command(&zem::channel_guid, 1002, &rq, nullptr), zem_host::host_channel::rc_no_reply);
    EXPECT_GE(ch.malformed(), 5u);
    for (const auto& l : lines())
        if (l["rc"] != 0) {
            EXPECT_TRUE(l.contains("error"));
        }
}

TEST_F(zemhost_channel, notifications_are_decoded_into_the_log) {
    auto notify = [&](int code, const std::string& m) {
        zem::mem_slice d;
        if (!m.empty()) d.assign(m.data(), static_cast<int>(m.size()));
        return ch.notify_event(&zem::channel_guid, code, &d);
    };
    std::string r = header(0);
    r.resize(72, '\0');
    put_le64(r, 28, 5);
    put_le32(r, 36, 2);
    add_string(r, 40, kit::utf16le("www.example.com"), 2);
    add_string(r, 56, kit::utf16le("/index.html"), 2);
    fix_total(r);
    EXPECT_TRUE(notify(200, r));

    std::string b = header(0);
    b.resize(100, '\0');
    put_le64(b, 28, 5);
    put_le64(b, 36, 12);
    put_le32(b, 44, 15);
    put_le32(b, 48, 1);
    add_string(b, 52, kit::utf16le("<IMG SRC=\"/ads/b.gif\">"), 2);
    add_string(b, 68, "/ads/", 1);
    add_string(b, 84, "www.example.com/\xE9", 1);
    fix_total(b);
    std::vector<json> seen;
    ch.on_blocked([&seen](const json& j) { seen.push_back(j); });
    EXPECT_TRUE(notify(202, b));

    std::string resp = header(0);
    resp.resize(104, '\0');
    put_le64(resp, 28, 5);
    put_le32(resp, 36, 2);
    add_string(resp, 40, "text/html", 1);
    put_le64(resp, 56, 1234);
    put_le64(resp, 64, 200);
    add_string(resp, 72, "gzip", 1);
    fix_total(resp);
    EXPECT_TRUE(notify(201, resp));

    std::string lg = header(0, 0, 0, 0);
    lg.resize(60, '\0');
    add_string(lg, 28, std::string("line one\0tail", 13), 1);
    fix_total(lg);
    EXPECT_TRUE(notify(0, lg));

    // Hostile: short, a reference out of range, an unknown code.
    EXPECT_FALSE(notify(200, r.substr(0, 71)));
    std::string bad = r;
    put_le64(bad, 64, 1u << 20);
    EXPECT_FALSE(notify(200, bad));
    EXPECT_FALSE(notify(77, r));
    EXPECT_FALSE(notify(202, ""));

    const auto v = lines();
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(v[0]["event"], "http_notify_request");
    EXPECT_EQ(v[0]["host"], "www.example.com");
    EXPECT_EQ(v[0]["uri"], "/index.html");
    EXPECT_EQ(v[0]["version_code"], 2);
    EXPECT_EQ(v[0]["request_id"], 5);
    EXPECT_EQ(v[0]["id1"], 8);
    EXPECT_EQ(v[1]["event"], "general_notify_object_blocked");
    EXPECT_EQ(v[1]["index_name"], "idx_ads_by_link");
    EXPECT_EQ(v[1]["keyword"], "/ads/");
    EXPECT_EQ(v[1]["object"], "<IMG SRC=\"/ads/b.gif\">");
    EXPECT_EQ(v[1]["address"], "www.example.com/\xC3\xA9");  // narrow text arrives as UTF-8
    EXPECT_EQ(v[1]["count"], 12);
    EXPECT_EQ(v[2]["event"], "http_notify_response");
    EXPECT_EQ(v[2]["content_type"], "text/html");
    EXPECT_EQ(v[2]["content_length"], 1234);
    EXPECT_EQ(v[2]["status"], 200);
    EXPECT_EQ(v[2]["content_encoding"], "gzip");
    EXPECT_EQ(v[2]["transfer_encoding"], "");
    EXPECT_EQ(v[3]["event"], "general_notify_log_line");
    EXPECT_EQ(v[3]["line"], "line one");
    for (std::size_t k = 4; k < 8; ++k) EXPECT_TRUE(v[k].contains("error")) << v[k].dump();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0]["index_name"], "idx_ads_by_link");
}

}  // namespace

namespace {

// Without a replacement image in the policy the host answers the
// transparent GIF as a data: address, which a browser shows on any page.
TEST(zemhost_channel_image, builtin_replacement_image_is_a_data_address_of_the_transparent_gif) {
    zem_host::policy_store store;
    std::string err;
    ASSERT_TRUE(store.load_text("{}", err)) << err;
    zem_host::host_channel ch(store, nullptr);
    zem::mem_slice rq, rp;
    ASSERT_EQ(ch.invoke_command(&zem::channel_guid, 1007, &rq, &rp), 0);
    int len = 0;
    const char* p = rp.data(&len);
    ASSERT_GT(len, 16);
    const std::string reply(p, static_cast<std::size_t>(len));
    ASSERT_EQ(le64(reply, 0), 16u);
    const std::string uri = reply.substr(16, le64(reply, 8));
    ASSERT_EQ(reply.back(), '\0');
    const std::string prefix = "data:image/gif;base64,";
    ASSERT_EQ(uri.compare(0, prefix.size(), prefix), 0) << uri;
    using namespace boost::archive::iterators;
    std::string b64 = uri.substr(prefix.size());
    ASSERT_EQ(b64.size() % 4, 0u);
    const std::size_t pad = b64.size() - b64.find_last_not_of('=') - 1;
    std::replace(b64.end() - static_cast<std::ptrdiff_t>(pad), b64.end(), '=', 'A');
    using from_base64 = transform_width<binary_from_base64<std::string::const_iterator>, 8, 6>;
    std::string bytes(from_base64(b64.begin()), from_base64(b64.end()));
    bytes.resize(bytes.size() - pad);
    EXPECT_EQ(bytes, zem_host::transparent_gif_bytes());
    EXPECT_EQ(bytes.substr(0, 6), "GIF89a");

    // A policy may name an address of its own; a plain path is kept as a
    // path, taken from the policy file's folder.
    ASSERT_TRUE(store.load_text("{\"replacement_image\": \"https://img.example/t.gif\"}", err)) << err;
    zem::mem_slice rp2;
    ASSERT_EQ(ch.invoke_command(&zem::channel_guid, 1007, &rq, &rp2), 0);
    const char* q = rp2.data(&len);
    const std::string reply2(q, static_cast<std::size_t>(len));
    EXPECT_EQ(reply2.substr(16, le64(reply2, 8)), "https://img.example/t.gif");
}

}  // namespace

namespace {

TEST(zemhost_channel_lines, encrypted_sessions_read_from_the_engine_line) {
    using zem_host::encrypted_record_of_log_line;
    EXPECT_EQ(encrypted_record_of_log_line("POP3: session went encrypted (STLS).\n"),
              (nlohmann::json{{"protocol", "POP3"}, {"command", "STLS"}}));
    // The log's own copy carries a prefix (process, thread) before the line.
    EXPECT_EQ(encrypted_record_of_log_line("[12:34] 4242 7 IMAP: session went encrypted (STARTTLS).\n"),
              (nlohmann::json{{"protocol", "IMAP"}, {"command", "STARTTLS"}}));
    for (const char* other : {"", "session went encrypted (STLS).", ": session went encrypted (STLS).",
                              "POP3: session went encrypted (", "POP3: session went encrypted ().",
                              "SMTP: session went encrypted (STARTTLS", "IMAP: the session goes compressed"})
        EXPECT_TRUE(encrypted_record_of_log_line(other).empty()) << other;
}

}  // namespace
