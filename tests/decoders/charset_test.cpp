// UTF-7 and UTF-16 big-endian adapters in front of a wide handler.
#include <gtest/gtest.h>

#include <memory>

#include "http/http_charset_encoding.h"
#include "kit/decoders.h"
#include "kit/kit.h"
#include "platform/codepage.h"

namespace {

std::string le_units(std::initializer_list<unsigned> units) {
    std::string s;
    for (unsigned u : units) {
        s += static_cast<char>(u & 0xff);
        s += static_cast<char>(u >> 8);
    }
    return s;
}

std::string be_units(std::initializer_list<unsigned> units) {
    std::string s;
    for (unsigned u : units) {
        s += static_cast<char>(u >> 8);
        s += static_cast<char>(u & 0xff);
    }
    return s;
}

// "Hi abc, 日本語 end" as UTF-7 (U+65E5 U+672C U+8A9E in one run).
const std::string utf7_page = "Hi +AGEAYgBj-, +ZeVnLIqe- end";
const std::string utf8_page = "Hi abc, \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E end";
const std::string utf16_page =
    le_units({'H', 'i', ' ', 'a', 'b', 'c', ',', ' ', 0x65E5, 0x672C, 0x8A9E, ' ', 'e', 'n', 'd'});

struct run_out {
    std::string out;
    bool all_true = true;
};

run_out feed(i_sub_handler& h, const std::vector<std::string>& chunks) {
    run_out r;
    for (const std::string& c : chunks) {
        std::string p = c;
        if (!h.update_in(p)) r.all_true = false;
        r.out += p;
    }
    std::string tail;
    h.stop(tail);
    r.out += tail;
    return r;
}

TEST(utf7_adapter, decodes_for_the_wide_handler_and_writes_utf8_at_every_split) {
    for (std::size_t at = 0; at <= utf7_page.size(); ++at) {
        auto t = std::make_shared<kit::recording_target>();
        http_charset_utf7_encoder e(t, true);
        run_out r = feed(e, kit::split_at(utf7_page, at));
        ASSERT_TRUE(r.all_true);
        ASSERT_EQ(t->seen, utf16_page) << "split " << at;
        ASSERT_EQ(r.out, utf8_page) << "split " << at;
        ASSERT_EQ(t->stops, 1);
        for (const std::string& p : t->pieces) ASSERT_EQ(p.size() % 2, 0u);
    }
    auto t = std::make_shared<kit::recording_target>();
    http_charset_utf7_encoder e(t, true);
    EXPECT_EQ(feed(e, kit::one_byte_chunks(utf7_page)).out, utf8_page);
    EXPECT_EQ(t->seen, utf16_page);
}

TEST(utf7_adapter, an_unfinished_run_waits_for_the_next_piece) {
    auto t = std::make_shared<kit::recording_target>();
    http_charset_utf7_encoder e(t.get(), true);
    std::string a = "Hi +AGEA";
    EXPECT_TRUE(e.update_in(a));
    EXPECT_EQ(a, "Hi ");
    ASSERT_EQ(t->pieces.size(), 1u);
    EXPECT_EQ(t->pieces[0], le_units({'H', 'i', ' '}));
    EXPECT_EQ(e.held(), 5u);
    std::string b = "YgBj-!";
    EXPECT_TRUE(e.update_in(b));
    EXPECT_EQ(b, "abc!");
    EXPECT_EQ(t->pieces[1], le_units({'a', 'b', 'c', '!'}));
    EXPECT_EQ(e.held(), 0u);
}

TEST(utf7_adapter, a_run_ends_at_any_non_base64_byte_and_plus_minus_is_a_plus) {
    auto t = std::make_shared<kit::recording_target>();
    http_charset_utf7_encoder e(t, true);
    std::string a = "1 +- 2 +AGE.";
    EXPECT_TRUE(e.update_in(a));
    EXPECT_EQ(a, "1 + 2 a.");
    EXPECT_EQ(e.held(), 0u);
}

TEST(utf7_adapter, utf7_output_reads_back_as_the_same_text) {
    const std::string direct = "Hello world, (plain) text: 1.2/3?";
    auto t = std::make_shared<kit::recording_target>();
    http_charset_utf7_encoder e(t, false);
    EXPECT_EQ(feed(e, kit::one_byte_chunks(direct)).out, direct);

    auto t2 = std::make_shared<kit::recording_target>();
    http_charset_utf7_encoder e2(t2, false);
    run_out r = feed(e2, kit::random_chunks(utf7_page, kit::test_seed(), 5));
    std::wstring back;
    ASSERT_TRUE(platform::multibyte_to_wide(platform::cp_utf7, r.out, back));
    EXPECT_EQ(platform::wide_to_utf16le(back), utf16_page);
}

TEST(utf7_adapter, handler_output_and_final_flush_reach_the_client) {
    struct doubling : i_sub_handler {
        bool update_in(byte_string& d) override {
            d += d;
            return true;
        }
        void stop(byte_string& d) override { d += le_units({'<', 0x00E9, '>'}); }
    } h;
    http_charset_utf7_encoder e(&h, true);
    run_out r = feed(e, {"ab+AGM-"});
    EXPECT_EQ(r.out, "abcabc<\xC3\xA9>");
}

TEST(utf7_adapter, an_unfinished_run_at_the_end_of_the_body_is_not_lost) {
    auto t = std::make_shared<kit::recording_target>();
    http_charset_utf7_encoder e(t, true);
    run_out r = feed(e, {"x+AGEAYgBj"});
    EXPECT_EQ(r.out, "xabc");
    EXPECT_EQ(t->seen, le_units({'x', 'a', 'b', 'c'}));
}

TEST(utf7_adapter, an_endless_run_is_converted_in_groups_and_held_bounded) {
    std::string run = "+";
    std::string expect;
    for (int i = 0; i < 3000; ++i) {
        run += "AGEAYgBj";
        expect += "abc";
    }
    run += "-z";
    expect += "z";
    auto t = std::make_shared<kit::recording_target>();
    http_charset_utf7_encoder e(t, true);
    std::string out;
    for (const std::string& c : kit::random_chunks(run, kit::test_seed(), 700)) {
        std::string p = c;
        ASSERT_TRUE(e.update_in(p));
        ASSERT_LE(e.held(), utf7_run_hold_bound + 700);
        out += p;
    }
    std::string tail;
    e.stop(tail);
    EXPECT_EQ(out + tail, expect);
}

TEST(utf7_adapter, without_a_handler_it_declines_and_leaves_the_piece) {
    http_charset_utf7_encoder e(static_cast<i_sub_handler*>(nullptr), true);
    std::string p = "+AGE-";
    EXPECT_FALSE(e.update_in(p));
    EXPECT_EQ(p, "+AGE-");
    std::string tail = "x";
    e.stop(tail);
    EXPECT_EQ(tail, "x");
}

TEST(utf7_adapter, a_declining_handler_leaves_the_page_in_one_code_page) {
    auto t = std::make_shared<kit::recording_target>();
    t->decline_after = 0;
    t->stop_tail = "zz";
    http_charset_utf7_encoder e(t, true);
    run_out r = feed(e, kit::split_at(utf7_page, 4));
    EXPECT_TRUE(r.all_true);
    EXPECT_TRUE(e.target_declined());
    EXPECT_EQ(r.out, utf8_page);
    EXPECT_EQ(t->stops, 0);
}

// ---- UTF-16 big-endian ----

const std::string be_page = be_units({'<', 'p', '>', 0x65E5, 0x672C, '<', '/', 'p', '>'});
const std::string le_page = le_units({'<', 'p', '>', 0x65E5, 0x672C, '<', '/', 'p', '>'});

TEST(utf16be_adapter, the_handler_sees_little_endian_and_the_client_big_endian_at_every_split) {
    for (std::size_t at = 0; at <= be_page.size(); ++at) {
        auto t = std::make_shared<kit::recording_target>();
        big_endian_to_little_endian s;
        s.set_target(t);
        run_out r = feed(s, kit::split_at(be_page, at));
        ASSERT_TRUE(r.all_true) << at;
        ASSERT_EQ(t->seen, le_page) << at;
        ASSERT_EQ(r.out, be_page) << at;
        for (const std::string& p : t->pieces) ASSERT_EQ(p.size() % 2, 0u);
    }
    auto t = std::make_shared<kit::recording_target>();
    big_endian_to_little_endian s(t.get());
    EXPECT_EQ(feed(s, kit::one_byte_chunks(be_page)).out, be_page);
    EXPECT_EQ(t->seen, le_page);
}

TEST(utf16be_adapter, handler_changes_come_back_big_endian) {
    struct p_to_b : i_sub_handler {
        bool update_in(byte_string& d) override {
            for (std::size_t i = 0; i + 1 < d.size(); i += 2)
                if (d[i] == 'p' && d[i + 1] == 0) d[i] = 'b';
            return true;
        }
        void stop(byte_string& d) override { d += le_units({0x263A}); }
    } h;
    big_endian_to_little_endian s(&h);
    run_out r = feed(s, kit::random_chunks(be_page, kit::test_seed(), 3));
    EXPECT_EQ(r.out, be_units({'<', 'b', '>', 0x65E5, 0x672C, '<', '/', 'b', '>', 0x263A}));
}

TEST(utf16be_adapter, an_odd_last_byte_is_not_lost) {
    auto t = std::make_shared<kit::recording_target>();
    big_endian_to_little_endian s(t.get());
    run_out r = feed(s, {be_page + "X"});
    EXPECT_EQ(r.out, be_page + "X");
    EXPECT_EQ(t->seen, le_page);
}

TEST(utf16be_adapter, empty_pieces_and_missing_targets) {
    big_endian_to_little_endian none;
    std::string p = "ab";
    EXPECT_FALSE(none.update_in(p));
    EXPECT_EQ(p, "ab");
    auto t = std::make_shared<kit::recording_target>();
    big_endian_to_little_endian s(t.get());
    std::string empty;
    EXPECT_TRUE(s.update_in(empty));
    EXPECT_TRUE(t->pieces.empty());
}

TEST(utf16be_adapter, a_declining_handler_gets_the_held_byte_back_to_the_client) {
    auto t = std::make_shared<kit::recording_target>();
    t->decline_after = 0;
    big_endian_to_little_endian s(t.get());
    std::string p = be_units({'a', 'b'}) + "Z";
    EXPECT_FALSE(s.update_in(p));
    EXPECT_EQ(p, be_units({'a', 'b'}) + "Z");
}

TEST(utf16be_adapter, reset_forgets_the_last_responses_byte) {
    auto t = std::make_shared<kit::recording_target>();
    big_endian_to_little_endian s(t.get());
    std::string p = "Q";
    EXPECT_TRUE(s.update_in(p));
    EXPECT_EQ(p, "");
    s.reset();
    std::string q = be_units({'o', 'k'});
    EXPECT_TRUE(s.update_in(q));
    EXPECT_EQ(q, be_units({'o', 'k'}));
    EXPECT_EQ(t->seen, le_units({'o', 'k'}));
}

}  // namespace
