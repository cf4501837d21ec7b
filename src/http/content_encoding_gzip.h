#pragma once
// Inflates a response body sent with Content-Encoding gzip or deflate and
// hands the decoded text to the next handler of the body chain (normally the
// encoding sniffer). The client receives the decoded body, so the HTTP filter
// removes the Content-Encoding line when it installs this decoder.
//
// How the HTTP filter drives it:
//  - update_in(piece): piece holds compressed bytes in, decoded (and
//    filtered) bytes out. Returns false only when the body is not compressed
//    data after all (nothing decodable came before the error): piece then holds
//    every byte this decoder was ever given, unchanged, and the rest of the
//    body is to pass unchanged.
//  - One call hands out at most output_bound() decoded bytes. When it stops
//    there, has_pending_output() is true and update_in with an empty piece
//    yields the next part; a caller that keeps memory bounded pulls until it
//    is false.
//  - The end of the compressed stream calls on_stream_end once (a
//    length-delimited body is then complete, whatever its announced length).
//  - stop(piece) appends whatever is still to come, ending with the target's
//    own flush.
#include <zlib.h>

#include <cstddef>
#include <functional>
#include <memory>

#include "core/interfaces.h"
#include "core/strings.h"

// The most decoded bytes one response holds in memory at a time: the bound on
// a held filtered body of the HTTP filter, and the most one update_in of the
// decoder hands out.
constexpr std::size_t decoded_body_bound = std::size_t(16) << 20;

// Compressed bytes kept, while nothing has decoded yet, so that a body that
// turns out not to be compressed can be handed back whole. A real stream
// yields output long before this.
constexpr std::size_t undecoded_hold_bound = std::size_t(1) << 20;

class content_encoding_gzip : public i_sub_handler {
public:
    // deflate: Content-Encoding deflate (zlib wrapper, or raw deflate data
    // without it); otherwise gzip. host_name only labels log lines.
    content_encoding_gzip(bool deflate, std::shared_ptr<i_sub_handler> target, std::function<void()> on_stream_end = {},
                          byte_string host_name = {});
    ~content_encoding_gzip() override;
    content_encoding_gzip(const content_encoding_gzip&) = delete;
    content_encoding_gzip& operator=(const content_encoding_gzip&) = delete;

    bool update_in(byte_string& data) override;
    void stop(byte_string& data) override;

    bool stream_ended() const { return m_stream_end; }
    bool has_pending_output() const { return m_limited; }
    // The target gave up; decoding goes on without it.
    bool target_declined() const { return m_declined; }
    // The body was found not to be compressed and was handed back.
    bool not_compressed() const { return m_not_compressed; }
    // Compressed bytes kept in memory.
    std::size_t held() const { return m_input.size(); }

    std::size_t output_bound() const { return m_output_bound; }
    void set_output_bound(std::size_t bound) { m_output_bound = bound ? bound : 1; }

private:
    // Inflates from m_input into out until the input is used up, the stream
    // ends, an error stops it, or out reaches limit.
    void inflate_into(byte_string& out, std::size_t limit);
    bool restart_raw();
    void hand_to_target(byte_string& out);
    void compact_input();

    z_stream m_stream{};
    bool m_stream_ok = false;
    byte_string m_input;  // compressed bytes; [m_input_pos, end) not consumed yet
    std::size_t m_input_pos = 0;
    bool m_stream_end = false;
    bool m_deflate = false;
    bool m_declined = false;
    bool m_raw_tried = false;
    bool m_any_output = false;
    bool m_not_compressed = false;
    bool m_broken = false;         // an error after output: the rest cannot be decoded
    bool m_limited = false;        // the last inflate run stopped at the output bound
    bool m_zlib_has_more = false;  // inflate filled its output space and may hold more
    bool m_end_signalled = false;
    bool m_junk_after_end = false;  // bytes after the last stream were dropped: so is the rest
    bool m_compacted = false;       // consumed input may have been let go: no handing back
    std::size_t m_output_bound = decoded_body_bound;
    std::shared_ptr<i_sub_handler> m_target;
    std::function<void()> m_on_stream_end;
    byte_string m_host_name;
};
