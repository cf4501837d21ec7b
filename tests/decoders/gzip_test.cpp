// The gzip/deflate body decoder: decoded text byte-exact at every chunking,
// hostile and broken streams, and the bound on what one call hands out.
#include <gtest/gtest.h>

#include <memory>

#include "http/content_encoding_gzip.h"
#include "kit/decoders.h"
#include "kit/kit.h"

namespace {

struct outcome {
    std::string out;        // everything handed back, stop included
    bool declined = false;  // some update_in returned false
    int end_calls = 0;
    std::size_t largest = 0;  // largest single hand-out
};

outcome run(bool deflate, const std::vector<std::string>& chunks, const std::shared_ptr<kit::recording_target>& t,
            std::size_t bound = 0, bool pull = true) {
    outcome r;
    content_encoding_gzip d(
        deflate, t, [&r] { ++r.end_calls; }, "host.example");
    if (bound) d.set_output_bound(bound);
    for (const std::string& c : chunks) {
        std::string piece = c;
        if (r.declined) {
            // The HTTP filter passes the rest unchanged once the decoder declines.
            r.out += piece;
            continue;
        }
        if (!d.update_in(piece)) r.declined = true;
        r.largest = std::max(r.largest, piece.size());
        r.out += piece;
        while (pull && !r.declined && d.has_pending_output()) {
            std::string more;
            EXPECT_TRUE(d.update_in(more));
            r.largest = std::max(r.largest, more.size());
            r.out += more;
        }
    }
    if (!r.declined) {
        std::string tail;
        d.stop(tail);
        r.largest = std::max(r.largest, tail.size());
        r.out += tail;
    }
    return r;
}

std::vector<std::string> whole(const std::string& s) { return {s}; }

TEST(gzip_decoder, each_wrapping_decodes_whole_and_ends_the_stream) {
    const std::string page = kit::sample_page(5000);
    for (auto w : {kit::zwrap::gzip, kit::zwrap::zlib}) {
        auto t = std::make_shared<kit::recording_target>();
        outcome r = run(w == kit::zwrap::zlib, whole(kit::compress(page, w)), t);
        EXPECT_FALSE(r.declined);
        EXPECT_EQ(r.out, page);
        EXPECT_EQ(t->seen, page);
        EXPECT_EQ(t->stops, 1);
        EXPECT_EQ(r.end_calls, 1);
    }
}

TEST(gzip_decoder, every_split_offset_gives_the_same_text) {
    const std::string page = kit::sample_page(3000);
    for (auto w : {kit::zwrap::gzip, kit::zwrap::zlib, kit::zwrap::raw}) {
        const std::string z = kit::compress(page, w);
        for (std::size_t at = 0; at <= z.size(); ++at) {
            auto t = std::make_shared<kit::recording_target>();
            outcome r = run(w != kit::zwrap::gzip, kit::split_at(z, at), t);
            ASSERT_FALSE(r.declined) << "wrap " << int(w) << " split " << at;
            ASSERT_EQ(r.out, page) << "wrap " << int(w) << " split " << at;
            ASSERT_EQ(t->seen, page);
            ASSERT_EQ(t->stops, 1);
            // The raw stream carries no trailer, so only the wrapped ones end.
            ASSERT_EQ(r.end_calls, w == kit::zwrap::raw ? 0 : 1) << "split " << at;
        }
    }
}

TEST(gzip_decoder, one_byte_at_a_time_and_random_chunks) {
    const std::string page = kit::sample_page(20000);
    for (auto w : {kit::zwrap::gzip, kit::zwrap::zlib, kit::zwrap::raw}) {
        const std::string z = kit::compress(page, w);
        auto t = std::make_shared<kit::recording_target>();
        EXPECT_EQ(run(w != kit::zwrap::gzip, kit::one_byte_chunks(z), t).out, page);
        auto t2 = std::make_shared<kit::recording_target>();
        EXPECT_EQ(run(w != kit::zwrap::gzip, kit::random_chunks(z, kit::test_seed(), 300), t2).out, page);
    }
}

TEST(gzip_decoder, output_is_what_the_target_makes_of_it) {
    const std::string page = "<html><body>hello world</body></html>";
    auto t = std::make_shared<kit::recording_target>();
    t->upper = true;
    t->stop_tail = "<!--end-->";
    outcome r = run(false, kit::one_byte_chunks(kit::compress(page, kit::zwrap::gzip)), t);
    EXPECT_EQ(r.out, "<HTML><BODY>HELLO WORLD</BODY></HTML><!--end-->");
    EXPECT_EQ(t->seen, page);
    for (const std::string& p : t->pieces) EXPECT_FALSE(p.empty());
}

TEST(gzip_decoder, plain_text_labelled_gzip_comes_back_unchanged_at_every_split) {
    const std::string text = "<html><body>This was never compressed.</body></html>\r\n";
    for (std::size_t at = 0; at <= text.size(); ++at) {
        auto t = std::make_shared<kit::recording_target>();
        outcome r = run(false, kit::split_at(text, at), t);
        ASSERT_EQ(r.out, text) << "split " << at;
        if (text.size() >= 2) {
            ASSERT_TRUE(r.declined) << "split " << at;
        }
        ASSERT_TRUE(t->seen.empty());
    }
    auto t = std::make_shared<kit::recording_target>();
    outcome r = run(false, kit::one_byte_chunks(text), t);
    EXPECT_TRUE(r.declined);
    EXPECT_EQ(r.out, text);
}

TEST(gzip_decoder, a_gzip_header_followed_by_garbage_is_handed_back_whole) {
    // zlib eats the ten header bytes before it meets the bad block type.
    std::string body("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    body += std::string("\xff\xff\xff\xff", 4) + "tail";
    for (std::size_t at = 0; at <= body.size(); ++at) {
        auto t = std::make_shared<kit::recording_target>();
        outcome r = run(false, kit::split_at(body, at), t);
        ASSERT_TRUE(r.declined) << at;
        ASSERT_EQ(r.out, body) << at;
    }
}

TEST(gzip_decoder, too_short_to_tell_goes_on_as_it_came) {
    auto t = std::make_shared<kit::recording_target>();
    outcome r = run(false, whole("a"), t);
    EXPECT_FALSE(r.declined);
    EXPECT_EQ(r.out, "a");
    EXPECT_TRUE(t->seen.empty());
}

TEST(gzip_decoder, empty_compressed_body_yields_nothing) {
    auto t = std::make_shared<kit::recording_target>();
    outcome r = run(false, whole(kit::compress("", kit::zwrap::gzip)), t);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.end_calls, 1);
    EXPECT_EQ(t->stops, 1);
}

TEST(gzip_decoder, concatenated_members_decode_as_one_body) {
    const std::string a = kit::sample_page(1500), b = "<p>second member</p>";
    const std::string z = kit::compress(a, kit::zwrap::gzip) + kit::compress(b, kit::zwrap::gzip);
    for (std::size_t at = 0; at <= z.size(); at += 7) {
        auto t = std::make_shared<kit::recording_target>();
        outcome r = run(false, kit::split_at(z, at), t);
        ASSERT_EQ(r.out, a + b) << at;
    }
}

TEST(gzip_decoder, bytes_after_the_stream_are_dropped_and_the_end_is_signalled) {
    const std::string page = kit::sample_page(800);
    const std::string z = kit::compress(page, kit::zwrap::zlib) + "JUNK AFTER";
    auto t = std::make_shared<kit::recording_target>();
    outcome r = run(true, whole(z), t);
    EXPECT_FALSE(r.declined);
    EXPECT_EQ(r.out, page);
    EXPECT_EQ(r.end_calls, 1);
}

TEST(gzip_decoder, truncated_stream_gives_the_decodable_prefix) {
    const std::string page = kit::sample_page(10000);
    const std::string z = kit::compress(page, kit::zwrap::gzip, 6, 6000, true);
    // Cut inside the part after the flush point: the first 6000 bytes decode whole.
    const std::string first = kit::compress(page.substr(0, 6000), kit::zwrap::gzip, 6, std::string::npos, false);
    const std::string cut = z.substr(0, first.size() + 3);
    auto t = std::make_shared<kit::recording_target>();
    outcome r = run(false, kit::one_byte_chunks(cut), t);
    EXPECT_FALSE(r.declined);
    EXPECT_EQ(r.end_calls, 0);
    ASSERT_GE(r.out.size(), 6000u);
    EXPECT_EQ(r.out, page.substr(0, r.out.size()));
    EXPECT_EQ(t->stops, 1);
}

TEST(gzip_decoder, corruption_after_output_never_leaks_compressed_bytes) {
    const std::string page = kit::sample_page(4000);
    // A flushed first part, then a block of the reserved type 3.
    std::string z = kit::compress(page.substr(0, 2500), kit::zwrap::gzip, 6, std::string::npos, false);
    z += std::string("\xff\xee\xdd", 3) + "more bytes that must not reach the client";
    for (std::size_t at = 0; at <= z.size(); ++at) {
        auto t = std::make_shared<kit::recording_target>();
        outcome r = run(false, kit::split_at(z, at), t);
        ASSERT_FALSE(r.declined) << at;
        ASSERT_EQ(r.out, page.substr(0, 2500)) << at;
    }
}

TEST(gzip_decoder, bad_checksum_keeps_the_decoded_text) {
    const std::string page = kit::sample_page(3000);
    std::string z = kit::compress(page, kit::zwrap::gzip);
    z[z.size() - 6] ^= 0x55;  // inside the CRC32 of the trailer
    auto t = std::make_shared<kit::recording_target>();
    outcome r = run(false, whole(z), t);
    EXPECT_FALSE(r.declined);
    EXPECT_EQ(r.out, page);
    EXPECT_EQ(r.end_calls, 0);
}

TEST(gzip_decoder, raw_deflate_is_decoded_by_the_deflate_mode_only) {
    const std::string page = kit::sample_page(2000);
    const std::string raw = kit::compress(page, kit::zwrap::raw);
    auto t = std::make_shared<kit::recording_target>();
    EXPECT_EQ(run(true, whole(raw), t).out, page);
    auto t2 = std::make_shared<kit::recording_target>();
    outcome g = run(false, whole(raw), t2);
    EXPECT_TRUE(g.declined);
    EXPECT_EQ(g.out, raw);
}

// An empty page compressed as raw deflate is two bytes that decode to
// nothing; they must not reach the client as if they were the page. A raw
// stream cut short, which also decodes to nothing, still goes on as it came.
TEST(gzip_decoder, an_empty_raw_deflate_body_decodes_to_nothing_at_every_split) {
    const std::string raw = kit::compress("", kit::zwrap::raw);
    ASSERT_GE(raw.size(), 2u);
    for (std::size_t cut = 0; cut <= raw.size(); ++cut) {
        auto t = std::make_shared<kit::recording_target>();
        outcome r = run(true, kit::split_at(raw, cut), t);
        EXPECT_FALSE(r.declined) << cut;
        EXPECT_EQ(r.out, "") << cut;
    }
    // Bytes after the empty stream, short of and past a checksum's four.
    for (const std::string& junk : {std::string("\x1f\x22"), std::string("\x1f\x22\x00\x3d\x01\x00\x00\x33")}) {
        for (std::size_t cut = 0; cut <= raw.size() + junk.size(); ++cut) {
            auto t = std::make_shared<kit::recording_target>();
            outcome r = run(true, kit::split_at(raw + junk, cut), t);
            EXPECT_FALSE(r.declined) << cut;
            EXPECT_EQ(r.out, "") << cut;
        }
    }
    // Stored block header of a stream that never finishes: not empty, not
    // decodable, handed on unchanged.
    const std::string cut("\x00\x05\x00\xfa", 4);
    auto t = std::make_shared<kit::recording_target>();
    EXPECT_EQ(run(true, whole(cut), t).out, cut);
}

TEST(gzip_decoder, a_bomb_is_handed_out_in_bounded_parts_and_whole) {
    const std::size_t n = std::size_t(20) << 20;
    const std::string zeros(n, '\0');
    const std::string z = kit::compress(zeros, kit::zwrap::gzip, 9);
    ASSERT_LT(z.size(), std::size_t(100) << 10);
    auto t = std::make_shared<kit::recording_target>();
    t->decline_after = 0;  // the sniffer gives up on binary at once
    outcome r = run(false, whole(z), t, 1 << 20);
    EXPECT_FALSE(r.declined);
    EXPECT_LE(r.largest, std::size_t(1) << 20);
    ASSERT_EQ(r.out.size(), n);
    EXPECT_EQ(r.out.find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(r.end_calls, 1);
}

TEST(gzip_decoder, default_bound_limits_one_call_and_stop_drains_the_rest) {
    const std::size_t n = decoded_body_bound + (std::size_t(3) << 20);
    const std::string z = kit::compress(std::string(n, 'x'), kit::zwrap::gzip, 9);
    auto t = std::make_shared<kit::recording_target>();
    t->decline_after = 0;
    content_encoding_gzip d(false, t);
    std::string piece = z;
    ASSERT_TRUE(d.update_in(piece));
    EXPECT_EQ(piece.size(), decoded_body_bound);
    EXPECT_TRUE(d.has_pending_output());
    std::string tail;
    d.stop(tail);
    EXPECT_EQ(piece.size() + tail.size(), n);
    EXPECT_EQ((piece + tail).find_first_not_of('x'), std::string::npos);
    EXPECT_TRUE(d.stream_ended());
}

TEST(gzip_decoder, a_header_that_never_ends_is_handed_back_at_the_hold_bound) {
    std::string body("\x1f\x8b\x08\x10\x00\x00\x00\x00\x00\x03", 10);  // FCOMMENT set
    body += std::string(undecoded_hold_bound + 4096, 'c');
    auto t = std::make_shared<kit::recording_target>();
    outcome r = run(false, kit::random_chunks(body, kit::test_seed(), 65536), t);
    EXPECT_TRUE(r.declined);
    EXPECT_EQ(r.out, body);
}

TEST(gzip_decoder, an_empty_member_then_a_real_one) {
    const std::string page = kit::sample_page(700);
    const std::string z = kit::compress("", kit::zwrap::gzip) + kit::compress(page, kit::zwrap::gzip);
    for (std::size_t at = 0; at <= z.size(); ++at) {
        auto t = std::make_shared<kit::recording_target>();
        outcome r = run(false, kit::split_at(z, at), t);
        ASSERT_FALSE(r.declined) << at;
        ASSERT_EQ(r.out, page) << at;
    }
}

TEST(gzip_decoder, an_endless_header_after_an_empty_member_is_not_kept) {
    content_encoding_gzip d(false, std::make_shared<kit::recording_target>());
    std::string first = kit::compress("", kit::zwrap::gzip) + std::string("\x1f\x8b\x08\x10\0\0\0\0\0\x03", 10);
    ASSERT_TRUE(d.update_in(first));
    EXPECT_EQ(first, "");
    for (int i = 0; i < 64; ++i) {
        std::string p(65536, 'c');
        ASSERT_TRUE(d.update_in(p));
        ASSERT_EQ(p, "");
        ASSERT_LE(d.held(), 65536u);
    }
}

TEST(gzip_decoder, a_declining_target_leaves_decoding_on) {
    const std::string page = kit::sample_page(30000);
    const std::string z = kit::compress(page, kit::zwrap::gzip);
    auto t = std::make_shared<kit::recording_target>();
    t->decline_after = 100;
    t->stop_tail = "never";
    t->upper = true;
    outcome r = run(false, kit::random_chunks(z, kit::test_seed(), 500), t);
    EXPECT_FALSE(r.declined);
    EXPECT_TRUE(t->declined);
    EXPECT_EQ(t->stops, 0);
    // What the target saw came back upper-cased; the rest is plain decoded text.
    std::string upper_part = t->seen;
    for (char& c : upper_part)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    EXPECT_EQ(r.out, upper_part + page.substr(t->seen.size()));
}

TEST(gzip_decoder, nothing_after_a_decline_is_touched) {
    content_encoding_gzip d(false, std::make_shared<kit::recording_target>());
    std::string a = "not gzip at all";
    EXPECT_FALSE(d.update_in(a));
    EXPECT_EQ(a, "not gzip at all");
    EXPECT_TRUE(d.not_compressed());
    std::string b = "more";
    EXPECT_FALSE(d.update_in(b));
    EXPECT_EQ(b, "more");
}

}  // namespace
