#include "http/gif_filter.h"

#include <cstring>

#include "core/ascii.h"
#include "host/permissions.h"
#include "host/zem_io_commands.h"
#include "log/log.h"

namespace {

int table_size(std::uint8_t flags) { return 3 * (1 << ((flags & 7) + 1)); }

unsigned le16(const unsigned char* p) { return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8); }

}  // namespace

byte_string gif_address_extension(const byte_string& address) {
    std::size_t cut = address.find('?');
    if (cut == byte_string::npos) cut = address.find('#');
    byte_string path = address.substr(0, cut);
    std::size_t slash = path.rfind('/');
    if (slash != byte_string::npos) path.erase(0, slash);
    std::size_t dot = path.rfind('.');
    if (dot != byte_string::npos) path.erase(0, dot + 1);
    return path;
}

gif_filter::gif_filter(host_permission_qualifier* qualifier, const byte_string& page_address,
                       i_connection_feedback* feedback)
    : m_qualifier(qualifier), m_feedback(feedback), m_page_address(page_address) {}

void gif_filter::pass(byte_string& data, std::size_t k) {
    data.append(m_buffer, m_pos, k);
    m_pos += k;
}

void gif_filter::drop_buffer() {
    m_buffer.clear();
    m_pos = 0;
}

bool gif_filter::tail_frames_allowed() {
    if (!m_qualifier) return true;
    return m_qualifier->get_permission_by_index(idx_gif_animation_tail_frames);
}

bool gif_filter::not_gif(byte_string& data) {
    if (!ascii_iequal(gif_address_extension(m_page_address), "gif")) {
        // Not ours: everything held goes on and the rest of the body passes.
        data.append(m_buffer, m_pos, byte_string::npos);
        drop_buffer();
        return false;
    }
    // Broken content from an address that promises a GIF is suppressed.
    drop_buffer();
    data.clear();
    return true;
}

bool gif_filter::sub_blocks(byte_string& data, bool& need_more) {
    need_more = false;
    for (;;) {
        if (m_block_left == 0) {
            if (available() < 1) break;
            unsigned size = at()[0];
            if (size == 0) return true;
            m_block_left = static_cast<int>(size);
            pass(data, 1);
        } else {
            if (available() < static_cast<std::size_t>(m_block_left)) break;
            pass(data, static_cast<std::size_t>(m_block_left));
            m_block_left = 0;
        }
    }
    need_more = true;
    return false;
}

bool gif_filter::update_in(byte_string& data) {
    switch (m_state) {
        case gif_cut:
            data.clear();
            return true;
        case gif_done:
            return true;  // after the trailer: bytes go on as they come
        case gif_other_image:
            if (m_other_streaming) return true;  // past the hold bound: bytes go on as they come
            break;
        default:
            break;
    }
    if (available() == 0) {
        m_buffer.swap(data);
        m_pos = 0;
        data.clear();
    } else {
        m_buffer.append(data);
        data.clear();
    }

    bool result = true;
    bool more = true;
    while (more) {
        switch (m_state) {
            case gif_signature: {
                if (available() < 6) {
                    more = false;
                    break;
                }
                const unsigned char* p = at();
                if (p[0] == 'G' && p[1] == 'I' && p[2] == 'F' && p[3] == '8' && (p[4] == '7' || p[4] == '9') &&
                    p[5] == 'a') {
                    pass(data, 6);
                    m_state = gif_screen;
                } else if ((p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF && (p[3] == 0xE0 || p[3] == 0xE1)) ||
                           (p[0] == 0x89 && p[1] == 'P' && p[2] == 'N' && p[3] == 'G') ||
                           (p[0] == 'B' && p[1] == 'M')) {
                    pass(data, available());
                    m_state = gif_other_image;
                } else {
                    m_state = gif_not_gif;
                }
                break;
            }
            case gif_screen: {
                if (available() < 7) {
                    more = false;
                    break;
                }
                const unsigned char* p = at();
                m_current_header.width = static_cast<std::uint16_t>(le16(p));
                m_current_header.height = static_cast<std::uint16_t>(le16(p + 2));
                m_current_header.flags = p[4];
                m_current_header.background = p[5];
                m_current_header.zerorororo = p[6];
                if (m_current_header.zerorororo != 0)
                    ZEM_LOG(2, "gif_filter::update_in: Non zerror m_current_header.zerorororo = "
                                   << static_cast<int>(m_current_header.zerorororo) << "\n");
                pass(data, 7);
                if (m_current_header.flags & 0x80) {
                    m_global_table_size = table_size(m_current_header.flags);
                    m_state = gif_global_table;
                } else {
                    m_state = gif_block;
                }
                break;
            }
            case gif_global_table:
                if (available() < static_cast<std::size_t>(m_global_table_size)) {
                    more = false;
                    break;
                }
                pass(data, static_cast<std::size_t>(m_global_table_size));
                m_state = gif_block;
                break;
            case gif_block: {
                if (available() < 1) {
                    more = false;
                    break;
                }
                unsigned char c = at()[0];
                if (c == ',') {
                    m_state = gif_image;
                } else if (c == '!') {
                    m_state = gif_extension;
                } else if (c == ';' && !m_first_image) {
                    pass(data, 1);
                    m_state = gif_done;
                    pass(data, available());  // whatever follows the trailer goes on as it came
                    more = false;
                } else if (c == 0) {
                    pass(data, 1);
                } else {
                    ZEM_LOG(2, "gif_filter::update_in: Wrong char at block begin: " << static_cast<int>(c)
                                                                                    << "GIF Blocked\n");
                    m_state = gif_not_gif;
                }
                break;
            }
            case gif_extension: {
                if (available() < 2) {
                    more = false;
                    break;
                }
                if (at()[0] != '!') {
                    ZEM_LOG_ERROR(
                        "http/gif_filter.cpp",
                        "gif_filter::update_in: Wrong char at block begin in extension: " << static_cast<int>(at()[0]));
                    m_state = gif_not_gif;
                    break;
                }
                pass(data, 2);
                m_block_left = 0;
                m_state = gif_extension_data;
                break;
            }
            case gif_extension_data: {
                bool need_more = false;
                if (sub_blocks(data, need_more)) {
                    pass(data, 1);
                    m_state = gif_block;
                } else if (need_more) {
                    more = false;
                }
                break;
            }
            case gif_image: {
                if (available() < 11) {
                    more = false;
                    break;
                }
                const unsigned char* p = at();
                unsigned left = le16(p + 1);
                unsigned top = le16(p + 3);
                if ((p[0] != ',' && p[0] != '!') || left > m_current_header.width || top > m_current_header.height) {
                    ZEM_LOG(1, "gif_filter::update_in: gif_image_header not valid: ptr->signature = "
                                   << static_cast<int>(p[0]) << " ptr->left_pos =" << left << " ptr->top_pos =" << top
                                   << "\n");
                    m_state = gif_not_gif;
                    break;
                }
                if (p[9] & 0x80) {
                    m_local_table_size = table_size(p[9]);
                    m_state = gif_local_table;
                } else {
                    m_state = gif_image_data;
                }
                m_block_left = 0;
                // With a local table the 11th byte is the table's first; the
                // table state passes the rest of it and the code size byte.
                pass(data, 11);
                break;
            }
            case gif_local_table:
                if (available() < static_cast<std::size_t>(m_local_table_size)) {
                    more = false;
                    break;
                }
                pass(data, static_cast<std::size_t>(m_local_table_size));
                m_state = gif_image_data;
                break;
            case gif_image_data: {
                bool need_more = false;
                if (!sub_blocks(data, need_more)) {
                    if (need_more) more = false;
                    break;
                }
                if (m_first_image && !tail_frames_allowed()) {
                    std::uint64_t request_id = m_qualifier ? m_qualifier->get_request_id() : 0;
                    zem_io_commands::general_notify_object_blocked(
                        m_feedback, request_id, data.size(), idx_gif_animation_tail_frames,
                        wide_string(L"Animated Gif Blocked"), byte_string(), m_page_address);
                    data.push_back('\0');
                    data.push_back(';');
                    m_state = gif_cut;
                    m_first_image = false;
                    drop_buffer();  // the tail frames go nowhere, now or at stop
                    return true;
                }
                pass(data, 1);
                m_first_image = false;
                m_state = gif_block;
                break;
            }
            case gif_not_gif:
                result = not_gif(data);
                more = false;
                break;
            case gif_other_image:
                if (available() > gif_other_image_hold_bound) {
                    pass(data, available());
                    m_other_streaming = true;
                }
                more = false;
                break;
            case gif_cut:
                drop_buffer();
                data.clear();
                more = false;
                break;
            case gif_done:
            default:
                pass(data, available());
                more = false;
                break;
        }
    }

    if (m_pos == m_buffer.size()) {
        drop_buffer();
    } else if (m_pos != 0 && m_state != gif_other_image) {
        m_buffer.erase(0, m_pos);  // what is left is at most one block
        m_pos = 0;
    }
    return result;
}

void gif_filter::stop(byte_string& data) {
    if (m_state != gif_cut) data.append(m_buffer, m_pos, byte_string::npos);
    drop_buffer();
    m_state = gif_signature;
    m_global_table_size = 0;
    m_local_table_size = 0;
    m_block_left = 0;
    m_current_header = screen_descriptor();
    m_first_image = true;
    m_other_streaming = false;
}
