// The kit's host replies and codings, checked against the byte layout
// written out here and against the engine's own readers and zlib.
#include <gtest/gtest.h>
#include <zlib.h>

#include "host/permissions.h"
#include "host/zem_io_commands.h"
#include "kit/codings.h"
#include "kit/hosted_test.h"
#include "kit/kit.h"

namespace {

class kit_replies : public kit::hosted_test {};

TEST_F(kit_replies, word_list_reply_has_the_host_layout) {
    const std::string r = kit::word_list_reply({"ab"});
    // count, then one reference at 8 (offset from itself, byte length), text.
    ASSERT_GE(r.size(), 28u);
    EXPECT_EQ(kit::le64(r, 0), 1u);
    EXPECT_EQ(kit::le64(r, 8), 16u);
    EXPECT_EQ(kit::le64(r, 16), 4u);
    EXPECT_EQ(r.substr(24, 4), std::string("a\0b\0", 4));
    zem_io_commands::wide_list words;
    host.set_reply(zem::codes::http_query_stop_words, r);
    ASSERT_TRUE(zem_io_commands::http_query_stop_words(words));
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(words.front(), L"ab");
}

TEST_F(kit_replies, permission_reply_has_the_host_layout) {
    std::int32_t perms[permission_array_words] = {};
    perms[idx_referers] = content_action_block;
    perms[idx_check_script] = content_action_learn;
    const std::string r = kit::permission_reply_of(perms);
    ASSERT_EQ(r.size(), 104u);
    EXPECT_EQ(kit::le32(r, 12), 1u);
    EXPECT_EQ(kit::le32(r, 84), 2u);
    host.set_reply(zem::codes::general_query_permission_array, r);
    std::int32_t got[permission_array_words] = {};
    byte_string text;
    ASSERT_TRUE(zem_io_commands::general_query_permission_array("h", "h/", nullptr, got, 1, text));
    EXPECT_EQ(got[idx_referers], content_action_block);
    EXPECT_EQ(got[idx_check_script], content_action_learn);
    EXPECT_EQ(got[idx_cookies], content_action_allow);
}

TEST(kit_codings, chunked_sizes_are_lower_case_hex_and_the_last_chunk_ends_it) {
    EXPECT_EQ(kit::chunked(std::string(26, 'a'), 16),
              "10\r\n" + std::string(16, 'a') + "\r\na\r\n" + std::string(10, 'a') + "\r\n0\r\n\r\n");
    EXPECT_EQ(kit::chunked("", 5), "0\r\n\r\n");
    int calls = 0;
    EXPECT_EQ(kit::chunked("abcdef", [&calls] { return std::size_t(++calls); }),
              "1\r\na\r\n2\r\nbc\r\n3\r\ndef\r\n0\r\n\r\n");
}

TEST(kit_codings, every_wrapping_inflates_back_with_zlib) {
    const std::string text = "<p>" + std::string(5000, 'x') + "</p>";
    const struct {
        kit::zwrap w;
        int bits;
    } cases[] = {{kit::zwrap::gzip, 31}, {kit::zwrap::zlib, 15}, {kit::zwrap::raw, -15}};
    for (const auto& c : cases) {
        for (std::size_t cut : {std::string::npos, std::size_t(100)}) {
            const std::string z = kit::compress(text, c.w, 6, cut);
            if (c.w == kit::zwrap::gzip) {
                EXPECT_EQ(z.substr(0, 2), "\x1f\x8b");
            }
            z_stream s{};
            ASSERT_EQ(inflateInit2(&s, c.bits), Z_OK);
            std::string out(text.size() + 16, '\0');
            s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data()));
            s.avail_in = static_cast<uInt>(z.size());
            s.next_out = reinterpret_cast<Bytef*>(&out[0]);
            s.avail_out = static_cast<uInt>(out.size());
            EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END) << c.bits << " " << cut;
            out.resize(s.total_out);
            inflateEnd(&s);
            EXPECT_EQ(out, text) << c.bits << " " << cut;
        }
    }
}

}  // namespace
