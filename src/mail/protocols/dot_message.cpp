#include "mail/protocols/dot_message.h"

#include <cstring>

#include "host/zem_io_commands.h"
#include "platform/clock.h"

namespace mail {
body_scan scan_body(const char* p, std::size_t n, bool& line_start) {
    static const char term[] = ".\r\n";
    std::size_t i = 0;
    for (;;) {
        if (line_start) {
            const std::size_t avail = n - i;
            const std::size_t k = avail < 3 ? avail : 3;
            if (std::memcmp(p + i, term, k) == 0) return {i, k == 3};
            line_start = false;
        }
        const void* lf = std::memchr(p + i, '\n', n - i);
        if (!lf) return {n, false};
        i = static_cast<std::size_t>(static_cast<const char*>(lf) - p) + 1;
        line_start = true;
    }
}

void dot_message::begin() {
    m_active = true;
    m_line_start = true;
    m_ends_line = true;
    m_bytes = 0;
    m_last_progress = platform::tick_count();
    start_message(*m_summary);
}

dot_message::result dot_message::feed(const char* p, std::size_t n, byte_string& out) {
    const body_scan r = scan_body(p, n, m_line_start);
    byte_string piece(p, r.safe);
    m_bytes += r.safe;
    m_dots.decode_piece(piece);
    if (r.found) {
        finish_with(piece, out, true);
        return {r.safe + 3, true};
    }
    const std::uint32_t now = platform::tick_count();
    if (now - m_last_progress > 1000) {
        zem_io_commands::general_notify_transfer_progress(m_summary->feedback, m_summary->message_id, m_bytes);
        m_last_progress = now;
    }
    unsigned released = 0;
    m_mail->update(piece, &released, m_summary);
    m_dots.encode_piece(piece);
    if (!piece.empty()) {
        m_ends_line = piece.back() == '\n';
        out += piece;
    }
    return {r.safe, false};
}

void dot_message::finish(byte_string& out, bool terminated) {
    byte_string piece;
    finish_with(piece, out, terminated);
}

void dot_message::finish_with(byte_string& piece, byte_string& out, bool terminated) {
    m_dots.flush_decoder(piece);
    unsigned released = 0;
    m_mail->update(piece, &released, m_summary);
    byte_string rest;
    m_mail->stop(rest);
    piece += rest;
    m_dots.encode_piece(piece);
    m_dots.flush_encoder(piece);
    if (!piece.empty()) m_ends_line = piece.back() == '\n';
    out += piece;
    if (terminated) {
        if (!m_ends_line) out += "\r\n";
        out += ".\r\n";
    }
    zem_io_commands::general_notify_transfer_complete(m_summary->feedback, m_summary->message_id, m_bytes, 3);
    m_active = false;
}

}  // namespace mail
