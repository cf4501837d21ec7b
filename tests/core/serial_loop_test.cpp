// The buffer-and-queue base: queue flattening and the per-byte driver.
#include "core/serial_loop.h"

#include <gtest/gtest.h>

#include "kit/kit.h"

namespace {

// A byte parser that upper-cases letters, drops '#', keeps digits back until
// a ';' releases them, and fails on '!'.
struct upper : serial_loop<upper> {
    byte_string kept;
    bool on_byte(char c, bool& stop) {
        if (c == '!') return false;
        if (c == '.') {
            stop = true;
            return true;
        }
        if (c == '#') return true;
        if (c >= '0' && c <= '9') {
            kept += c;
            return true;
        }
        if (c == ';') {
            kept += c;
            emit(m_ready_in, kept);
            return true;
        }
        byte_string piece(1, static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
        emit(m_ready_in, piece);
        return true;
    }
    bool run(byte_string& data, std::size_t* released) { return loop(data, released, m_ready_in, &upper::on_byte); }
    using serial_loop<upper>::flush_ready;
    using serial_loop<upper>::emit_in;
    using serial_loop<upper>::emit_in_prefix;
    using serial_loop<upper>::take_chunk;
    piece_list& ready_in() { return m_ready_in; }
    byte_string& buff_in() { return m_buff_in; }
};

TEST(serial_loop, flush_ready_shapes) {
    upper u;
    byte_string out = "stale";
    upper::flush_ready(u.ready_in(), out);
    EXPECT_EQ(out, "");

    byte_string a = "one";
    u.emit_in(a);
    EXPECT_TRUE(a.empty());
    upper::flush_ready(u.ready_in(), out);
    EXPECT_EQ(out, "one");
    EXPECT_TRUE(u.ready_in().empty());

    byte_string p1 = "a", p2 = "bb", p3 = "ccc";
    u.emit_in(p1);
    u.emit_in(p2);
    u.emit_in(p3);
    upper::flush_ready(u.ready_in(), out);
    EXPECT_EQ(out, "abbccc");
}

TEST(serial_loop, prefix_emission) {
    upper u;
    byte_string chunk = "hello";
    upper::take_chunk(u.buff_in(), chunk);
    u.emit_in_prefix(0);
    EXPECT_EQ(u.ready_in().size(), 1u);
    EXPECT_EQ(u.ready_in().back(), "");
    EXPECT_EQ(u.buff_in(), "hello");
    u.emit_in_prefix(2);
    EXPECT_EQ(u.buff_in(), "llo");
    byte_string more = "!";
    upper::take_chunk(u.buff_in(), more);
    EXPECT_EQ(u.buff_in(), "llo!");
    byte_string out;
    upper::flush_ready(u.ready_in(), out);
    EXPECT_EQ(out, "he");
}

TEST(serial_loop, driver_replaces_data_with_output_and_counts_released) {
    upper u;
    byte_string d = "ab#12;c3";
    std::size_t released = 0;
    EXPECT_TRUE(u.run(d, &released));
    EXPECT_EQ(d, "AB12;C");
    EXPECT_EQ(released, 6u);
    EXPECT_EQ(u.kept, "3");
}

TEST(serial_loop, driver_stops_and_keeps_unseen_bytes) {
    upper u;
    byte_string d = "ab.cd";
    std::size_t released = 0;
    EXPECT_TRUE(u.run(d, &released));
    EXPECT_EQ(d, "ABcd");
    EXPECT_EQ(released, 2u);
    // A second run over the same piece resumes after what was released.
    d = "AB" + std::string("xy");
    released = 2;
    EXPECT_TRUE(u.run(d, &released));
    EXPECT_EQ(d, "ABXY");
    EXPECT_EQ(released, 4u);
}

TEST(serial_loop, driver_failure_leaves_remaining_bytes) {
    upper u;
    byte_string d = "a!bc";
    std::size_t released = 0;
    EXPECT_FALSE(u.run(d, &released));
    EXPECT_EQ(d, "Abc");
    EXPECT_EQ(released, 1u);
}

TEST(serial_loop, empty_input_returns_true) {
    upper u;
    byte_string d;
    std::size_t released = 0;
    EXPECT_TRUE(u.run(d, &released));
    EXPECT_EQ(d, "");
    EXPECT_EQ(released, 0u);
}

TEST(serial_loop, chunking_does_not_change_the_output) {
    const std::string input = "hello 12; world 345; tail 6";
    std::string whole;
    {
        upper u;
        byte_string d = input;
        std::size_t r = 0;
        u.run(d, &r);
        whole = d;
    }
    auto check = [&](const std::vector<std::string>& chunks) {
        upper u;
        std::string got;
        for (auto c : chunks) {
            std::size_t r = 0;
            u.run(c, &r);
            got += c;
        }
        EXPECT_EQ(got, whole);
    };
    check(kit::one_byte_chunks(input));
    for (std::size_t i = 0; i <= input.size(); ++i) check(kit::split_at(input, i));
    check(kit::random_chunks(input, kit::test_seed(), 5));
}

}  // namespace
