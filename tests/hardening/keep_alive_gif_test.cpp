// One connection, several animated GIFs: each cut is reported under the
// address of the GIF it was made in, and each GIF arrives cut with its own
// corrected length.
#include <gtest/gtest.h>

#include "core/configuration.h"
#include "host/permissions.h"
#include "kit/http_invariants.h"
#include "kit/kit.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

// A 4x4 GIF with a two-colour global table; each frame is a graphic control
// extension, an image descriptor and one sub-block of LZW data.
const std::string gif_head = "GIF89a" + kit::bytes({0x04, 0x00, 0x04, 0x00, 0x80, 0x00, 0x00, 0, 0, 0, 255, 255, 255});
const std::string gif_frame = kit::bytes(
    {0x21, 0xF9, 0x04, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x2C, 0, 0, 0, 0, 4, 0, 4, 0, 0, 0x02, 0x03, 0x84, 0x8F, 0x01});
const std::string gif_anim =
    gif_head + gif_frame + kit::bytes({0x00}) + gif_frame + kit::bytes({0x00}) + gif_frame + kit::bytes({0x00, 0x3B});
const std::string gif_cut = gif_head + gif_frame + kit::bytes({0x00, 0x3B});

std::string gif_response(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

// The address of an object-blocked notification: a narrow string whose
// reference (distance from the reference, byte length) sits at +84.
std::string blocked_address(const std::string& note) {
    if (note.size() < 100) return "<short notification>";
    std::uint64_t distance = kit::le64(note, 84), length = kit::le64(note, 92);
    if (84 + distance + length > note.size()) return "<reference out of range>";
    return note.substr(84 + distance, length);
}

TEST(keep_alive_gif, each_cut_is_reported_under_its_own_address_at_every_split) {
    platform::reg_override_isolate(true);
    platform::reg_override_set_u32(config::net_key, "enable_http", 1);
    platform::reg_override_set_u32(config::net_key, "enable_ssl", 0);
    kit::fake_host host;
    host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply({idx_gif_animation_tail_frames}));
    initialize(&host);

    const std::string names[] = {"/img/first.gif", "/img/second.gif", "/img/third.gif"};
    std::string requests, responses;
    for (const std::string& n : names) {
        requests += "GET " + n + " HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
        responses += gif_response(gif_anim);
    }
    for (std::size_t at = 0; at <= responses.size(); at += 5) {
        host.clear_records();
        kit::capturing_provider p;
        zem::i_filt_point* fp = create_filt_point(&p, 3);
        ASSERT_NE(fp, nullptr);
        fp->update_out(requests.data(), static_cast<int>(requests.size()));
        for (const std::string& c : kit::split_at(responses, at)) fp->update_in(c.data(), static_cast<int>(c.size()));
        fp->release();

        std::vector<kit::http_message> msgs;
        ASSERT_EQ(kit::parse_responses(p.in, msgs), "") << "split " << at;
        ASSERT_EQ(msgs.size(), 3u) << "split " << at;
        for (const auto& m : msgs) ASSERT_EQ(m.body, gif_cut) << "split " << at;
        auto notes = host.notifications(zem::codes::general_notify_object_blocked);
        ASSERT_EQ(notes.size(), 3u) << "split " << at;
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_EQ(blocked_address(notes[k].data), "www.example.com" + names[k]) << "split " << at;
    }
    deinitialize();
    platform::reg_override_clear();
    platform::reg_override_isolate(false);
}

}  // namespace
