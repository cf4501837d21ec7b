// Damaged input through every decoder at random chunkings: nothing crashes,
// and where the rules say the bytes pass untouched, they do.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "host/host_link.h"
#include "http/content_encoding_gzip.h"
#include "http/gif_filter.h"
#include "http/http_charset_encoding.h"
#include "kit/decoders.h"
#include "kit/kit.h"

namespace {

std::string mutate(std::string s, std::mt19937& rng) {
    std::uniform_int_distribution<int> kind(0, 3);
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !s.empty(); ++e) {
        std::size_t at = rng() % s.size();
        switch (kind(rng)) {
            case 0:
                s[at] = static_cast<char>(rng());
                break;
            case 1:
                s.erase(at, 1 + rng() % 8);
                break;
            case 2:
                s.insert(at, std::string(1 + rng() % 8, static_cast<char>(rng())));
                break;
            default:
                s.resize(at);
                break;
        }
    }
    return s;
}

TEST(damaged_input, gif_with_tail_frames_allowed_passes_every_byte) {
    const std::string gif =
        "GIF89a" + kit::bytes({0x08, 0x00, 0x08, 0x00, 0xF0, 0x00, 0x00}) + std::string(6, '\x44') +
        kit::bytes({0x21, 0xF9, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00}) +
        kit::bytes({0x2C, 0, 0, 0, 0, 8, 0, 8, 0, 0x80, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x02, 0x02, 0x4C, 0x01, 0x00}) +
        kit::bytes({0x2C, 1, 0, 1, 0, 2, 0, 2, 0, 0, 0x02, 0x03, 1, 2, 3, 0x00, 0x3B});
    kit::fake_host host;
    zem_io_commands::set_host_iface(&host);
    std::mt19937 rng(kit::test_seed());
    for (int round = 0; round < 2000; ++round) {
        const std::string in = mutate(gif, rng);
        gif_filter f(nullptr, "host/pic.png", nullptr);
        std::string out;
        bool passing = false;
        for (const std::string& c : kit::random_chunks(in, static_cast<std::uint32_t>(rng()), 13)) {
            std::string p = c;
            if (!passing && !f.update_in(p)) passing = true;
            out += p;
        }
        if (!passing) {
            std::string tail;
            f.stop(tail);
            out += tail;
        }
        ASSERT_EQ(out, in) << "round " << round;
    }
    EXPECT_EQ(host.notification_count(), 0u);
    zem_io_commands::set_host_iface(nullptr);
}

TEST(damaged_input, gzip_either_decodes_or_hands_back_every_byte) {
    const std::string page = kit::sample_page(4000);
    const std::string z = kit::compress(page, kit::zwrap::gzip);
    std::mt19937 rng(kit::test_seed() + 1);
    for (int round = 0; round < 1500; ++round) {
        const std::string in = mutate(z, rng);
        for (bool deflate : {false, true}) {
            auto t = std::make_shared<kit::recording_target>();
            content_encoding_gzip d(deflate, t);
            d.set_output_bound(1024);
            std::string out;
            bool declined = false;
            for (const std::string& c : kit::random_chunks(in, static_cast<std::uint32_t>(rng()), 200)) {
                std::string p = c;
                if (declined) {
                    out += p;
                    continue;
                }
                if (!d.update_in(p)) declined = true;
                ASSERT_LE(p.size(), 1024u);
                out += p;
                while (!declined && d.has_pending_output()) {
                    std::string more;
                    ASSERT_TRUE(d.update_in(more));
                    ASSERT_LE(more.size(), 1024u);
                    out += more;
                }
            }
            if (!declined) {
                std::string tail;
                d.stop(tail);
                out += tail;
                // Decoded text, all of it through the target; or, when nothing
                // ever decoded, the bytes as they came.
                if (t->seen.empty() && !d.stream_ended())
                    ASSERT_EQ(out, in) << "round " << round;
                else
                    ASSERT_EQ(out, t->seen) << "round " << round;
            } else {
                ASSERT_EQ(out, in) << "round " << round;
                ASSERT_TRUE(t->seen.empty());
            }
        }
    }
}

TEST(damaged_input, utf16be_with_a_passing_handler_is_transparent) {
    std::mt19937 rng(kit::test_seed() + 2);
    for (int round = 0; round < 500; ++round) {
        std::string in(rng() % 64, '\0');
        for (char& c : in) c = static_cast<char>(rng());
        auto t = std::make_shared<kit::recording_target>();
        big_endian_to_little_endian s(t.get());
        std::string out;
        for (const std::string& c : kit::random_chunks(in, static_cast<std::uint32_t>(rng()), 7)) {
            std::string p = c;
            ASSERT_TRUE(s.update_in(p));
            out += p;
        }
        std::string tail;
        s.stop(tail);
        ASSERT_EQ(out + tail, in);
    }
}

TEST(damaged_input, utf7_of_any_bytes_never_loses_the_plain_ascii) {
    std::mt19937 rng(kit::test_seed() + 3);
    const std::string alphabet = "ab+-/AZ09 .<>\xE9";
    for (int round = 0; round < 500; ++round) {
        std::string in(rng() % 80, 'a');
        for (char& c : in) c = alphabet[rng() % alphabet.size()];
        // The same text converted in one piece is what any chunking must give.
        auto t1 = std::make_shared<kit::recording_target>();
        http_charset_utf7_encoder whole(t1, true);
        std::string expect = in;
        ASSERT_TRUE(whole.update_in(expect));
        std::string tail1;
        whole.stop(tail1);
        expect += tail1;

        auto t2 = std::make_shared<kit::recording_target>();
        http_charset_utf7_encoder e(t2, true);
        std::string out;
        for (const std::string& c : kit::random_chunks(in, static_cast<std::uint32_t>(rng()), 9)) {
            std::string p = c;
            ASSERT_TRUE(e.update_in(p));
            out += p;
        }
        std::string tail;
        e.stop(tail);
        ASSERT_EQ(out + tail, expect) << "input " << in;
    }
}

}  // namespace
