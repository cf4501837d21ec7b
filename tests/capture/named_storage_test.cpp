// The packed storage: layouts checked byte by byte, and damaged buffers
// refused cleanly.
#include "capture/named_storage.h"

#include <gtest/gtest.h>

#include <string>

#include "capture/pieces.h"
#include "kit/kit.h"
#include "kit/log_capture.h"

namespace ns = StorageNamed::InMemStorageSpace;

namespace {

const std::string header("\xA2\x49\x4D\xF3\xD9\x1E\x9F\x88\x01", 9);

std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s += static_cast<char>(b);
    return s;
}

std::string size_code(std::uint64_t v) {
    std::string out(8, '\0');
    ns::running_ptr p(&out[0], out.size());
    EXPECT_TRUE(ns::write_size_code(p, v));
    out.resize(p.offset());
    return out;
}

TEST(named_storage, empty_storage_packs_to_header_and_empty_root) {
    ns::CInMemStorage s;
    EXPECT_EQ(ns::save(s), header + bytes({0x01, 0x00}));
}

TEST(named_storage, size_codes_take_their_width_from_the_low_bits) {
    EXPECT_EQ(size_code(0), bytes({0x00}));
    EXPECT_EQ(size_code(63), bytes({0xFC}));
    EXPECT_EQ(size_code(64), bytes({0x01, 0x01}));
    EXPECT_EQ(size_code(0x3FFF), bytes({0xFD, 0xFF}));
    EXPECT_EQ(size_code(0x4000), bytes({0x02, 0x00, 0x01, 0x00}));
    EXPECT_EQ(size_code(0x3FFFFFFF), bytes({0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(size_code(0x40000000), bytes({0x03, 0, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(size_code(0x123456789ull), bytes({0x27, 0x9E, 0x15, 0x8D, 0x04, 0, 0, 0}));
    for (std::uint64_t v : {0ull, 63ull, 64ull, 0x3FFFull, 0x4000ull, 0x3FFFFFFFull, 0x40000000ull, 1ull << 40}) {
        std::string c = size_code(v);
        ns::running_ptr p(c.data(), c.size());
        std::uint64_t back = 0;
        ASSERT_TRUE(ns::read_size_code(p, back));
        EXPECT_EQ(back, v);
        EXPECT_EQ(p.offset(), c.size());
    }
}

// Two pieces as the recorder stores them, laid out by hand.
TEST(named_storage, piece_list_layout) {
    capture::piece_list pieces{{"GET", false}, {"", true}};
    std::string packed;
    ASSERT_TRUE(capture::pack_pieces(pieces, packed));
    const std::string dir = "m_dwrd_val";
    const std::string body = "m_pice_of_transfer";
    std::string expected = header + bytes({0x01, 0x04}) + "storrage" + bytes({0x00, 0x03, 0x08});
    expected +=
        bytes({0x01, 0x08}) + dir + bytes({0, 0x02, 0x01, 0x04, 0x00}) + body + bytes({0, 0x02, 0x02, 0x0C}) + "GET";
    expected += bytes({0x01, 0x08}) + dir + bytes({0, 0x02, 0x01, 0x04, 0x01}) + body + bytes({0, 0x02, 0x02, 0x00});
    EXPECT_EQ(packed, expected);

    capture::piece_list back;
    ASSERT_TRUE(capture::unpack_pieces(packed, back));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].bytes, "GET");
    EXPECT_FALSE(back[0].in);
    EXPECT_EQ(back[1].bytes, "");
    EXPECT_TRUE(back[1].in);
    EXPECT_EQ(capture::readable_form(back), "OUT:GETIN:");
}

TEST(named_storage, names_in_byte_order_and_long_values_with_wide_lengths) {
    ns::CInMemStorage s;
    const std::string big(0x4000, 'x');
    ASSERT_TRUE(ns::set_value(s, nullptr, "b", "1", 1, ns::value_kind::bytes));
    ASSERT_TRUE(ns::set_value(s, nullptr, "B", big.data(), big.size(), ns::value_kind::bytes));
    ASSERT_TRUE(ns::set_value(s, nullptr, "a", "\x2A\x01", 2, ns::value_kind::integer));
    std::string packed = ns::save(s);
    std::string expected = header + bytes({0x01, 0x0C}) + "B" + bytes({0, 0x02, 0x02, 0x02, 0x00, 0x01, 0x00}) + big +
                           "a" + bytes({0, 0x02, 0x01, 0x08, 0x2A, 0x01}) + "b" + bytes({0, 0x02, 0x02, 0x04}) + "1";
    EXPECT_EQ(packed, expected);
    EXPECT_EQ(s.root().size() + 9, packed.size());
    EXPECT_EQ(ns::dump_text(s).substr(10 + 0x4000 + 5), "<a value=\"298\"/>\r\n<b value=\"1\"/>\r\n");
}

TEST(named_storage, values_array_and_nested_sections_load_from_hand_made_bytes) {
    // Root { "L": values array kind 2 ["ab", ""], "S": sections array [ { "v": 7 } ] }
    std::string buf = header + bytes({0x01, 0x08}) + "L" + bytes({0, 0x04, 0x02, 0x08, 0x08}) + "ab" + bytes({0x00}) +
                      "S" + bytes({0, 0x03, 0x04, 0x01, 0x04}) + "v" + bytes({0, 0x02, 0x01, 0x04, 0x07});
    ns::CInMemStorage s;
    ASSERT_EQ(ns::load(s, buf), buf.size());
    std::string v;
    ASSERT_TRUE(ns::get_value(s, nullptr, "L", v));  // first element of an array
    EXPECT_EQ(v, "ab");
    EXPECT_FALSE(ns::get_value(s, nullptr, "S", v));
    auto arr = ns::find_sections_array(s, "S");
    ASSERT_TRUE(arr);
    ASSERT_EQ(arr->m_items.size(), 1u);
    ASSERT_TRUE(ns::get_value(s, arr->m_items[0].get(), "v", v));
    EXPECT_EQ(v, "\x07");
    EXPECT_EQ(ns::save(s), buf);  // packs back to the same bytes
    EXPECT_EQ(ns::dump_text(s),
              "<L>\r\n\t<[0] value=\"ab\"/>\r\n\t<[1] value=\"\"/>\r\n</L>\r\n"
              "<S>\r\n\t<[0]>\r\n\t\t<v value=\"7\"/>\r\n\t</[0]>\r\n</S>\r\n");
    // Bytes after the root are not part of it.
    EXPECT_EQ(ns::load(s, buf + "tail"), buf.size());
}

TEST(named_storage, set_value_and_open_array_respect_what_a_name_holds) {
    ns::CInMemStorage s;
    ASSERT_TRUE(ns::set_value(s, nullptr, "x", "old", 3, ns::value_kind::bytes));
    ASSERT_TRUE(ns::set_value(s, nullptr, "x", "", 0, ns::value_kind::integer));
    std::string v = "junk";
    ASSERT_TRUE(ns::get_value(s, nullptr, "x", v));
    EXPECT_EQ(v, "");  // an empty value really empties
    EXPECT_FALSE(ns::set_value(s, nullptr, std::string("a\0b", 3), "1", 1, ns::value_kind::bytes));
    auto opened = ns::open_sections_array(s, "x");  // a value is replaced
    ASSERT_TRUE(opened.array && opened.first);
    ns::append_section(*opened.array);
    EXPECT_EQ(opened.array->m_items.size(), 2u);
    EXPECT_FALSE(ns::set_value(s, nullptr, "x", "1", 1, ns::value_kind::bytes));
    auto again = ns::open_sections_array(s, "x");  // emptied, one fresh section
    EXPECT_EQ(again.array, opened.array);
    EXPECT_EQ(again.array->m_items.size(), 1u);
    EXPECT_TRUE(s.remove("x"));
    EXPECT_FALSE(s.remove("x"));
}

// ---- damaged input ----

std::string valid_dump() {
    capture::piece_list pieces{{"GET / HTTP/1.1\r\n\r\n", false}, {std::string(300, 'r'), true}};
    std::string packed;
    EXPECT_TRUE(capture::pack_pieces(pieces, packed));
    return packed;
}

TEST(named_storage_damage, every_truncation_is_refused_with_a_log_line) {
    const std::string buf = valid_dump();
    for (std::size_t n = 0; n < buf.size(); ++n) {
        kit::log_capture log;
        ns::CInMemStorage s;
        ns::set_value(s, nullptr, "stale", "1", 1, ns::value_kind::bytes);
        EXPECT_EQ(ns::load(s, buf.data(), n), 0u) << n;
        EXPECT_TRUE(s.root().m_entries.empty()) << n;
        EXPECT_EQ(log.count("Erorr!!! "), 1) << n;
    }
}

TEST(named_storage_damage, headers_and_type_codes) {
    std::string ok = header + bytes({0x01, 0x00});
    ns::CInMemStorage s;
    EXPECT_EQ(ns::load(s, ok), 11u);
    std::string v0 = ok;
    v0[8] = 0;
    EXPECT_EQ(ns::load(s, v0), 11u);
    std::string v2 = ok;
    v2[8] = 2;
    EXPECT_EQ(ns::load(s, v2), 0u);
    std::string magic = ok;
    magic[5] ^= 1;
    EXPECT_EQ(ns::load(s, magic), 0u);
    // A root that is not a section, unknown codes, a bare block, a duplicate name.
    EXPECT_EQ(ns::load(s, header + bytes({0x02, 0x02, 0x00})), 0u);
    for (int code : {0, 5, 6, 0xFF})
        EXPECT_EQ(ns::load(s, header + bytes({0x01, 0x04}) + "n" + bytes({0, code, 0x02, 0x00})), 0u) << code;
    EXPECT_EQ(ns::load(s, header + bytes({0x01, 0x08}) + "n" + bytes({0, 0x02, 0x02, 0x00}) + "n" +
                              bytes({0, 0x02, 0x02, 0x00})),
              0u);
    // A sections array whose element is a value.
    EXPECT_EQ(ns::load(s, header + bytes({0x01, 0x04}) + "a" + bytes({0, 0x03, 0x04, 0x02, 0x02, 0x00})), 0u);
}

TEST(named_storage_damage, huge_counts_and_lengths_fail_without_allocating) {
    kit::log_capture log;
    ns::CInMemStorage s;
    // 2^32 entries in the root, in the 8-byte size code.
    std::string count = header + bytes({0x01}) + size_code(1ull << 32) + "a" + bytes({0, 0x02, 0x02, 0x00});
    EXPECT_EQ(ns::load(s, count), 0u);
    // 2^32 sections and 2^32 blocks in arrays.
    EXPECT_EQ(ns::load(s, header + bytes({0x01, 0x04}) + "a" + bytes({0, 0x03}) + size_code(1ull << 32) +
                              bytes({0x01, 0x00})),
              0u);
    EXPECT_EQ(ns::load(s, header + bytes({0x01, 0x04}) + "a" + bytes({0, 0x04, 0x02}) + size_code(1ull << 32) +
                              bytes({0x00})),
              0u);
    // A 2 GB value and a value longer than anything addressable.
    EXPECT_EQ(ns::load(s, header + bytes({0x01, 0x04}) + "a" + bytes({0, 0x02, 0x02}) + size_code(0x80000000ull) +
                              "only a few bytes"),
              0u);
    EXPECT_EQ(ns::load(s, header + bytes({0x01, 0x04}) + "a" + bytes({0, 0x02, 0x02}) +
                              bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}) + "x"),
              0u);
    EXPECT_EQ(log.count("Erorr!!! "), 5);
}

TEST(named_storage_damage, nesting_is_bounded) {
    // One section inside the next, each under the name "a", in a sections
    // array chain: far deeper than any dump and deep enough to break a stack.
    auto nested = [](std::size_t depth) {
        std::string buf = header;
        for (std::size_t i = 0; i < depth; ++i) buf += bytes({0x01, 0x04}) + "a" + bytes({0x00});
        buf += bytes({0x01, 0x00});
        return buf;
    };
    ns::CInMemStorage s;
    EXPECT_EQ(ns::load(s, nested(ns::max_load_depth)), nested(ns::max_load_depth).size());
    EXPECT_EQ(ns::load(s, nested(ns::max_load_depth + 1)), 0u);
    EXPECT_EQ(ns::load(s, nested(200000)), 0u);
    std::string arrays = header;
    for (int i = 0; i < 200000; ++i) arrays += bytes({0x01, 0x04}) + "a" + bytes({0x00, 0x03, 0x04});
    EXPECT_EQ(ns::load(s, arrays), 0u);
}

TEST(named_storage_damage, dumps_without_their_values_are_refused) {
    capture::piece_list out;
    kit::log_capture log;
    ns::CInMemStorage s;
    EXPECT_FALSE(capture::unpack_pieces(ns::save(s), out));
    auto opened = ns::open_sections_array(s, "storrage");
    ns::set_value(s, opened.first.get(), "m_dwrd_val", "\x01", 1, ns::value_kind::integer);
    EXPECT_FALSE(capture::unpack_pieces(ns::save(s), out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(log.count("Erorr!!! "), 2);
}

}  // namespace
