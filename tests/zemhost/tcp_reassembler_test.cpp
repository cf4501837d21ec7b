// One direction of a captured TCP connection put back in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "capture_replay.h"
#include "kit/kit.h"

namespace {

struct segment {
    std::uint32_t seq;
    std::string data;
};

// Cuts 'text' into segments starting at isn + 1.
std::vector<segment> cut(const std::string& text, std::uint32_t isn, const std::vector<std::string>& chunks) {
    std::vector<segment> v;
    std::uint32_t seq = isn + 1;
    for (const auto& c : chunks) {
        v.push_back({seq, c});
        seq += static_cast<std::uint32_t>(c.size());
    }
    (void)text;
    return v;
}

std::string run(zem_host::tcp_reassembler& r, const std::vector<segment>& segs,
                std::vector<std::size_t>* calls = nullptr) {
    std::string out;
    auto sink = [&](const char* d, std::size_t n) {
        out.append(d, n);
        if (calls) calls->push_back(n);
    };
    for (const auto& s : segs) r.segment(s.seq, s.data.data(), s.data.size(), sink);
    r.flush(sink);
    return out;
}

TEST(tcp_reassembler, reordered_retransmitted_and_overlapping_segments_give_each_byte_once) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += static_cast<char>('a' + i % 26);
    const std::uint32_t seed = kit::test_seed();
    std::mt19937 rnd(seed);
    // Sequence numbers that wrap inside the stream as well as plain ones.
    for (std::uint32_t isn : {1000u, 0xFFFFFF80u}) {
        for (int round = 0; round < 50; ++round) {
            auto segs = cut(text, isn, kit::random_chunks(text, seed + static_cast<std::uint32_t>(round), 40));
            const std::size_t n = segs.size();
            for (std::size_t k = 0; k < n; k += 3) segs.push_back(segs[k]);  // resent as they were
            // Resent with more data: two segments in one.
            if (n > 2) segs.push_back({segs[1].seq, segs[1].data + segs[2].data});
            std::shuffle(segs.begin(), segs.end(), rnd);
            zem_host::tcp_reassembler r;
            r.start(isn);
            EXPECT_EQ(run(r, segs), text) << "isn " << isn << " round " << round;
            EXPECT_EQ(r.skipped_bytes(), 0u);
            EXPECT_EQ(r.next(), isn + 1 + static_cast<std::uint32_t>(text.size()));
        }
    }
}

TEST(tcp_reassembler, in_order_segments_pass_at_once_and_a_gap_is_skipped_only_at_the_end) {
    zem_host::tcp_reassembler r;
    r.start(0);
    std::vector<std::size_t> calls;
    EXPECT_EQ(run(r, {{1, "abc"}, {4, "def"}}, &calls), "abcdef");
    EXPECT_EQ(calls, (std::vector<std::size_t>{3, 3}));

    zem_host::tcp_reassembler g;
    g.start(0);
    std::string out;
    auto sink = [&](const char* d, std::size_t n) { out.append(d, n); };
    g.segment(11, "later", 5, sink);
    EXPECT_EQ(out, "");  // waits for bytes 1..10
    g.flush(sink);
    EXPECT_EQ(out, "later");
    EXPECT_EQ(g.skipped_bytes(), 10u);
}

TEST(tcp_reassembler, held_bytes_are_bounded) {
    zem_host::tcp_reassembler r;
    r.start(0);
    std::string out;
    auto sink = [&](const char* d, std::size_t n) { out.append(d, n); };
    const std::string block(1 << 20, 'x');
    // The first byte never comes: the segments behind it cannot wait forever.
    for (std::uint32_t k = 0; k < 12; ++k) r.segment(2 + k * (1u << 20), block.data(), block.size(), sink);
    EXPECT_GE(out.size(), 4u << 20);
    EXPECT_EQ(r.skipped_bytes(), 1u);
    r.flush(sink);
    EXPECT_EQ(out.size(), 12u << 20);
}

}  // namespace
