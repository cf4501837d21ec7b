// The animated GIF filter: GIFs built byte by byte, cut and uncut, at every
// chunking; other image types; content that is no GIF; reuse.
#include <gtest/gtest.h>

#include "host/host_link.h"
#include "host/permission_qualifier.h"
#include "http/gif_filter.h"
#include "kit/kit.h"
#include "kit/qualifier.h"

namespace {

// Logical screen 10x10 with a 4-entry global table.
const std::string head = "GIF89a" + kit::bytes({0x0A, 0x00, 0x0A, 0x00, 0x91, 0x00, 0x00});
const std::string global_table = kit::bytes({0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 0, 255});
const std::string netscape =
    kit::bytes({0x21, 0xFF, 0x0B}) + "NETSCAPE2.0" + kit::bytes({0x03, 0x01, 0x00, 0x00, 0x00});
const std::string gce = kit::bytes({0x21, 0xF9, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00});
const std::string comment = kit::bytes({0x21, 0xFE, 0x05}) + "hello" + kit::bytes({0x00});
// First image: whole screen, no local table, code size 2, two sub-blocks.
const std::string image1_start = kit::bytes({0x2C, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x0A, 0x00, 0x00,
                                             0x02, 0x05, 0x8C, 0x2D, 0x99, 0x87, 0x2A, 0x02, 0x1C, 0x0A});
const std::string image1_end = kit::bytes({0x00});
// Second image: 4x4 at (1,1) with an 8-entry local table.
const std::string image2 = kit::bytes({0x2C, 0x01, 0x00, 0x01, 0x00, 0x04, 0x00, 0x04, 0x00, 0x82}) +
                           std::string(24, '\x33') + kit::bytes({0x02, 0x03, 0x84, 0x8F, 0x01, 0x00});
const std::string trailer = kit::bytes({0x3B});

const std::string animated =
    head + global_table + netscape + gce + image1_start + image1_end + comment + gce + image2 + trailer;
const std::string animated_cut = head + global_table + netscape + gce + image1_start + kit::bytes({0x00, 0x3B});
const std::string still = head + global_table + gce + image1_start + image1_end + trailer;

struct gif_fixture : ::testing::Test {
    kit::fake_host host;
    kit::test_qualifier q;
    stub_connection_feedback fb;
    void SetUp() override {
        q.request_id = 0x1122334455667788ull;
        q.block(idx_gif_animation_tail_frames);
        zem_io_commands::set_host_iface(&host);
    }
    void TearDown() override {
        zem_io_commands::set_host_iface(nullptr);
        // The filter asks about the tail frames and nothing else.
        for (int index : q.asked) EXPECT_EQ(index, idx_gif_animation_tail_frames);
    }

    struct result {
        std::string out;
        bool all_true = true;
    };
    result run(gif_filter& f, const std::vector<std::string>& chunks) {
        result r;
        bool passing = false;  // after a decline the HTTP filter passes the rest itself
        for (const std::string& c : chunks) {
            std::string p = c;
            if (!passing && !f.update_in(p)) {
                r.all_true = false;
                passing = true;
            }
            r.out += p;
        }
        if (!passing) {
            std::string tail;
            f.stop(tail);
            r.out += tail;
        }
        return r;
    }
    std::size_t blocked() { return host.notification_count(zem::codes::general_notify_object_blocked); }
};

TEST_F(gif_fixture, tail_frames_allowed_every_byte_passes_at_every_split) {
    q.allow(idx_gif_animation_tail_frames);
    for (std::size_t at = 0; at <= animated.size(); ++at) {
        gif_filter f(&q, "www.example.com/anim.gif", &fb);
        result r = run(f, kit::split_at(animated, at));
        ASSERT_TRUE(r.all_true);
        ASSERT_EQ(r.out, animated) << "split " << at;
    }
    gif_filter f(&q, "www.example.com/anim.gif", &fb);
    EXPECT_EQ(run(f, kit::one_byte_chunks(animated)).out, animated);
    EXPECT_EQ(blocked(), 0u);
}

TEST_F(gif_fixture, tail_frames_denied_cut_after_the_first_image_at_every_split) {
    for (std::size_t at = 0; at <= animated.size(); ++at) {
        host.clear_records();
        gif_filter f(&q, "www.example.com/anim.gif", &fb);
        result r = run(f, kit::split_at(animated, at));
        ASSERT_TRUE(r.all_true);
        ASSERT_EQ(r.out, animated_cut) << "split " << at;
        ASSERT_EQ(blocked(), 1u) << "split " << at;
    }
    host.clear_records();
    gif_filter f(&q, "www.example.com/anim.gif", &fb);
    EXPECT_EQ(run(f, kit::random_chunks(animated, kit::test_seed(), 9)).out, animated_cut);
    EXPECT_EQ(blocked(), 1u);
}

TEST_F(gif_fixture, a_whole_gif_in_one_piece_loses_its_tail_at_stop_too) {
    gif_filter f(&q, "www.example.com/anim.gif", &fb);
    std::string p = animated;
    EXPECT_TRUE(f.update_in(p));
    EXPECT_EQ(p, animated_cut);
    EXPECT_EQ(f.held(), 0u);
    std::string tail;
    f.stop(tail);
    EXPECT_EQ(tail, "");
}

TEST_F(gif_fixture, the_notification_carries_the_block) {
    gif_filter f(&q, "www.example.com/anim.gif", &fb);
    std::string p = animated;
    ASSERT_TRUE(f.update_in(p));
    auto n = host.notifications(zem::codes::general_notify_object_blocked);
    ASSERT_EQ(n.size(), 1u);
    const std::string& m = n[0].data;
    EXPECT_EQ(kit::le64(m, 28), 0x1122334455667788ull);
    EXPECT_EQ(kit::le64(m, 36), animated_cut.size() - 2);  // what this call had passed before the cut
    EXPECT_EQ(kit::le32(m, 44), 7u);
    EXPECT_NE(m.find(kit::utf16le("Animated Gif Blocked")), std::string::npos);
    EXPECT_NE(m.find("www.example.com/anim.gif"), std::string::npos);
}

TEST_F(gif_fixture, a_still_gif_stays_byte_identical_but_is_reported) {
    for (std::size_t at = 0; at <= still.size(); ++at) {
        host.clear_records();
        gif_filter f(&q, "x.org/s.gif", &fb);
        ASSERT_EQ(run(f, kit::split_at(still, at)).out, still) << at;
        ASSERT_EQ(blocked(), 1u);
    }
}

TEST_F(gif_fixture, gif87a_without_tables_and_bytes_after_the_trailer) {
    q.allow(idx_gif_animation_tail_frames);
    const std::string g = "GIF87a" + kit::bytes({0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}) +
                          kit::bytes({0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 1, 0x44, 0}) + trailer + "junk";
    for (std::size_t at = 0; at <= g.size(); ++at) {
        gif_filter f(&q, "x.org/s.gif", &fb);
        result r = run(f, kit::split_at(g, at));
        ASSERT_EQ(r.out, g) << at;
        ASSERT_EQ(f.state(), gif_filter::gif_signature);  // stop readied it
    }
}

TEST_F(gif_fixture, the_filter_is_reused_for_later_gifs) {
    gif_filter f(&q, "a.com/1.gif", &fb);
    EXPECT_EQ(run(f, kit::split_at(animated, 100)).out, animated_cut);
    EXPECT_EQ(run(f, kit::one_byte_chunks(animated)).out, animated_cut);
    EXPECT_EQ(blocked(), 2u);
    q.allow(idx_gif_animation_tail_frames);
    EXPECT_EQ(run(f, {animated}).out, animated);
    EXPECT_EQ(blocked(), 2u);
}

TEST_F(gif_fixture, other_image_types_pass_unchanged) {
    const std::string jpeg = kit::bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10}) + "JFIF" + std::string(300, '\x11');
    const std::string exif = kit::bytes({0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x10}) + "Exif" + std::string(50, '\x22');
    const std::string png = kit::bytes({0x89}) + "PNG\r\n\x1a\n" + std::string(200, '\x01');
    const std::string bmp = "BM" + std::string(120, '\x7f');
    for (const std::string* img : {&jpeg, &exif, &png, &bmp}) {
        for (std::size_t at = 0; at <= img->size(); at += 5) {
            gif_filter f(&q, "x.org/pic.gif", &fb);
            result r = run(f, kit::split_at(*img, at));
            ASSERT_TRUE(r.all_true);
            ASSERT_EQ(r.out, *img) << at;
        }
    }
    // Held to the end of the body: after the first piece nothing comes out before stop.
    gif_filter f(&q, "x.org/pic.gif", &fb);
    std::string p1 = jpeg.substr(0, 10), p2 = jpeg.substr(10);
    EXPECT_TRUE(f.update_in(p1));
    EXPECT_EQ(p1, jpeg.substr(0, 10));
    EXPECT_TRUE(f.update_in(p2));
    EXPECT_EQ(p2, "");
    std::string tail;
    f.stop(tail);
    EXPECT_EQ(tail, jpeg.substr(10));
    EXPECT_EQ(blocked(), 0u);
}

TEST_F(gif_fixture, a_huge_other_image_streams_past_the_hold_bound) {
    const std::string jpeg = kit::bytes({0xFF, 0xD8, 0xFF, 0xE0}) + std::string(gif_other_image_hold_bound * 2, 'j');
    gif_filter f(&q, "x.org/pic.gif", &fb);
    std::string out;
    for (std::size_t at = 0; at < jpeg.size(); at += 65536) {
        std::string p = jpeg.substr(at, 65536);
        ASSERT_TRUE(f.update_in(p));
        ASSERT_LE(f.held(), gif_other_image_hold_bound + 65536);
        out += p;
    }
    std::string tail;
    f.stop(tail);
    EXPECT_EQ(out + tail, jpeg);
}

TEST_F(gif_fixture, text_served_as_gif_passes_unless_the_address_says_gif) {
    const std::string text = "This is a plain text file, not an image at all.\n";
    for (std::size_t at = 0; at <= text.size(); ++at) {
        gif_filter f(&q, "x.org/readme.txt?x=1", &fb);
        result r = run(f, kit::split_at(text, at));
        ASSERT_EQ(r.out, text) << at;
        if (at == 0 || at >= 6) {
            ASSERT_FALSE(r.all_true) << at;
        }
        gif_filter g(&q, "x.org/fake.GIF#frag", &fb);
        result s = run(g, kit::split_at(text, at));
        ASSERT_TRUE(s.all_true);
        ASSERT_EQ(s.out, "") << at;
    }
}

TEST_F(gif_fixture, broken_structures_end_in_a_clean_pass_through) {
    q.allow(idx_gif_animation_tail_frames);
    std::vector<std::string> broken = {
        // image left position beyond the screen width
        head + global_table + kit::bytes({0x2C, 0x40, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00}) +
            trailer,
        // trailer before any image
        head + global_table + trailer,
        // unknown block introducer
        head + global_table + gce + kit::bytes({0x99, 0x01, 0x02}),
        // a full 256-entry table announced, the body ends inside it
        "GIF89a" + kit::bytes({0x0A, 0x00, 0x0A, 0x00, 0x87, 0x00, 0x00}) + std::string(500, '\x05'),
        // a sub-block longer than what follows
        head + global_table + kit::bytes({0x21, 0xFE, 0xFF}) + "short",
        // shorter than a signature
        "GIF8",
    };
    for (const std::string& g : broken) {
        for (std::size_t at = 0; at <= g.size(); ++at) {
            gif_filter f(&q, "x.org/img.png", &fb);
            ASSERT_EQ(run(f, kit::split_at(g, at)).out, g) << at;
        }
    }
    EXPECT_EQ(blocked(), 0u);
}

TEST_F(gif_fixture, without_a_qualifier_everything_is_allowed) {
    gif_filter f(nullptr, "x.org/a.gif", &fb);
    EXPECT_EQ(run(f, kit::random_chunks(animated, kit::test_seed(), 17)).out, animated);
}

TEST(gif_address_extension, takes_the_last_segment_and_its_suffix) {
    EXPECT_EQ(gif_address_extension("h.com/a/b.gif"), "gif");
    EXPECT_EQ(gif_address_extension("h.com/a.gif/b?x=y.png"), "/b");
    EXPECT_EQ(gif_address_extension("h.com/img.GIF#top.x"), "GIF");
    EXPECT_EQ(gif_address_extension("h.com/a.b.c"), "c");
    EXPECT_EQ(gif_address_extension("h.com/dir.x/"), "/");
}

}  // namespace
