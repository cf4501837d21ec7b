#pragma once
// Content handler for image/gif responses: walks the GIF block structure as
// the bytes stream past and, when the user does not allow the tail frames of
// animations, ends the image after its first picture (the client gets a valid
// one-frame GIF and the host hears of it). One filter serves every GIF
// response of a connection; stop() readies it for the next one.
#include <cstddef>
#include <cstdint>

#include "core/interfaces.h"
#include "core/strings.h"
#include "host/permission_qualifier.h"

// A JPEG, PNG or BMP served as image/gif is held to the end of the body, but
// never more than this: past it what is held goes on and the rest streams.
constexpr std::size_t gif_other_image_hold_bound = std::size_t(1) << 20;

class gif_filter : public i_sub_handler {
public:
    enum state_t {
        gif_signature = 0,
        gif_screen = 1,
        gif_global_table = 2,
        gif_block = 3,
        gif_extension = 4,
        gif_extension_data = 5,
        gif_image = 6,
        gif_local_table = 7,
        gif_image_data = 8,
        gif_not_gif = 10,
        gif_cut = 11,
        gif_other_image = 12,
        gif_done = 13,
    };

    struct screen_descriptor {
        std::uint16_t width = 0;
        std::uint16_t height = 0;
        std::uint8_t flags = 0;
        std::uint8_t background = 0;
        std::uint8_t zerorororo = 0;  // pixel aspect byte
    };

    // Neither pointer is owned; both outlive the filter (they belong to the
    // connection). A null qualifier allows everything.
    gif_filter(host_permission_qualifier* qualifier, const byte_string& page_address, i_connection_feedback* feedback);
    ~gif_filter() override = default;

    bool update_in(byte_string& data) override;
    void stop(byte_string& data) override;

    // The address of the response now being filtered, for the notification
    // and the ".gif" decision; the one given at construction otherwise.
    void set_page_address(const byte_string& address) { m_page_address = address; }

    int state() const { return m_state; }
    std::size_t held() const { return m_buffer.size() - m_pos; }

private:
    std::size_t available() const { return m_buffer.size() - m_pos; }
    const unsigned char* at() const { return reinterpret_cast<const unsigned char*>(m_buffer.data()) + m_pos; }
    void pass(byte_string& data, std::size_t k);
    void drop_buffer();
    bool tail_frames_allowed();
    bool not_gif(byte_string& data);
    // Sub-blocks of an extension or of image data; true when the terminator
    // was reached (not passed yet).
    bool sub_blocks(byte_string& data, bool& need_more);

    host_permission_qualifier* m_qualifier;
    int m_state = gif_signature;
    byte_string m_buffer;
    std::size_t m_pos = 0;  // m_buffer[0, m_pos) has been passed or dropped
    int m_global_table_size = 0;
    int m_local_table_size = 0;
    int m_block_left = 0;
    screen_descriptor m_current_header;
    bool m_first_image = true;
    bool m_other_streaming = false;  // another image type past the hold bound
    i_connection_feedback* m_feedback;
    byte_string m_page_address;
};

// Extension of an address as the request blocker takes it: cut at the first
// "?" (or, when none, the first "#"), keep from the last "/", then what
// follows the last "." if there is one.
byte_string gif_address_extension(const byte_string& address);
