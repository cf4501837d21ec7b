#include "http/content_encoding_gzip.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "log/log.h"

namespace {

// Output space offered to one inflate call: enough for a typical piece, never
// a single allocation sized from the (attacker-chosen) compression ratio.
std::size_t inflate_step(std::size_t input_left, std::size_t room) {
    std::size_t want = input_left > (std::size_t(1) << 20) ? (std::size_t(256) << 10) : input_left * 4;
    want = std::max<std::size_t>(want, 4096);
    want = std::min<std::size_t>(want, std::size_t(256) << 10);
    return std::min(want, room);
}

// True when 'body' is one whole raw deflate stream that decodes to nothing
// (an empty page sent as raw "deflate"). Through the borrowed zlib header
// such a body never reaches Z_STREAM_END, since no checksum follows it, so
// only a raw pass over the same bytes can tell it from a truncated stream.
bool empty_raw_deflate(const byte_string& body) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
    unsigned char sink[64];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(body.size(), UINT_MAX));
    z.next_out = sink;
    z.avail_out = sizeof sink;
    const int rc = inflate(&z, Z_FINISH);
    const bool empty = rc == Z_STREAM_END && z.avail_out == sizeof sink;
    inflateEnd(&z);
    return empty;
}

}  // namespace

content_encoding_gzip::content_encoding_gzip(bool deflate, std::shared_ptr<i_sub_handler> target,
                                             std::function<void()> on_stream_end, byte_string host_name)
    : m_deflate(deflate),
      m_target(std::move(target)),
      m_on_stream_end(std::move(on_stream_end)),
      m_host_name(std::move(host_name)) {
    m_stream.zalloc = Z_NULL;
    m_stream.zfree = Z_NULL;
    m_stream.opaque = Z_NULL;
    // deflate: the zlib wrapper with the default window; gzip: the gzip wrapper.
    int rc = inflateInit2(&m_stream, deflate ? MAX_WBITS : MAX_WBITS + 16);
    m_stream_ok = rc == Z_OK;
    if (!m_stream_ok) ZEM_LOG_ERROR("http/content_encoding_gzip.cpp", "inflateInit2 failed: " << rc);
}

content_encoding_gzip::~content_encoding_gzip() {
    if (m_stream_ok) inflateEnd(&m_stream);
}

// A raw deflate body (no zlib header, as some servers send for "deflate"):
// start over with a zlib header of our own in front of the same bytes.
bool content_encoding_gzip::restart_raw() {
    m_raw_tried = true;
    if (inflateReset(&m_stream) != Z_OK) return false;
    static const unsigned char header[2] = {0x78, 0x01};  // deflate, 32K window, no dictionary
    unsigned char sink[16];
    m_stream.next_in = const_cast<Bytef*>(header);
    m_stream.avail_in = 2;
    m_stream.next_out = sink;
    m_stream.avail_out = sizeof sink;
    if (inflate(&m_stream, Z_NO_FLUSH) != Z_OK || m_stream.avail_in != 0) return false;
    m_input_pos = 0;  // nothing has been handed on: every byte is still here
    return true;
}

void content_encoding_gzip::inflate_into(byte_string& out, std::size_t limit) {
    m_limited = false;
    if (!m_stream_ok || m_not_compressed) return;
    while (!m_broken) {
        std::size_t left = m_input.size() - m_input_pos;
        if (left == 0 && !m_zlib_has_more) break;
        if (out.size() >= limit) {
            m_limited = true;
            break;
        }
        if (m_stream_end) {
            if (left == 0) break;
            const unsigned char* p = reinterpret_cast<const unsigned char*>(m_input.data()) + m_input_pos;
            // Once junk has followed the stream, a later gzip magic is part
            // of that junk, not the start of another member.
            if (!m_deflate && !m_junk_after_end && p[0] == 0x1f && (left == 1 || p[1] == 0x8b)) {
                if (left == 1) break;  // perhaps the start of another member: wait
                // Another gzip member follows (a concatenated body decodes as one).
                if (inflateReset(&m_stream) != Z_OK) {
                    m_broken = true;
                    break;
                }
                m_stream_end = false;
                m_end_signalled = false;
                m_compacted = true;  // a whole stream decoded: no handing back from here on
                continue;
            }
            ZEM_LOG(2, "content_encoding_gzip: " << left << " bytes after the end of the compressed stream dropped\n");
            m_input_pos = m_input.size();
            m_junk_after_end = true;
            break;
        }

        std::size_t take = std::min<std::size_t>(left, UINT_MAX);
        std::size_t step = inflate_step(left, limit - out.size());
        std::size_t old = out.size();
        out.resize(old + step);
        m_stream.next_in = reinterpret_cast<Bytef*>(&m_input[m_input_pos]);
        m_stream.avail_in = static_cast<uInt>(take);
        m_stream.next_out = reinterpret_cast<Bytef*>(&out[old]);
        m_stream.avail_out = static_cast<uInt>(step);
        int rc = inflate(&m_stream, Z_SYNC_FLUSH);
        std::size_t consumed = take - m_stream.avail_in;
        std::size_t produced = step - m_stream.avail_out;
        out.resize(old + produced);
        m_input_pos += consumed;
        if (produced) m_any_output = true;
        m_zlib_has_more = (rc == Z_OK && m_stream.avail_out == 0);

        if (rc == Z_STREAM_END) {
            m_stream_end = true;
            m_zlib_has_more = false;
            continue;
        }
        if (rc == Z_OK) {
            if (consumed == 0 && produced == 0) break;
            continue;
        }
        if (rc == Z_BUF_ERROR) break;  // needs more input

        // Z_DATA_ERROR, Z_NEED_DICT, Z_MEM_ERROR, Z_STREAM_ERROR
        m_zlib_has_more = false;
        if (!m_any_output && !m_compacted) {
            if (m_deflate && !m_raw_tried && rc == Z_DATA_ERROR) {
                if (restart_raw()) continue;
            }
            if (m_raw_tried && empty_raw_deflate(m_input)) {
                // An empty raw stream with bytes after it, which the borrowed
                // header took for its checksum: the page is empty, the rest
                // is junk.
                m_stream_end = true;
                m_junk_after_end = true;
                m_input_pos = m_input.size();
                break;
            }
            m_not_compressed = true;
            break;
        }
        // Decoded text has gone on already and the client gets no
        // Content-Encoding: compressed bytes cannot follow it. The client gets
        // the text decoded so far, as a browser shows a broken stream.
        ZEM_LOG_ERROR("http/content_encoding_gzip.cpp", "Wrong gzip: inflate err=" << rc);
        m_broken = true;
        m_input_pos = m_input.size();
    }
}

void content_encoding_gzip::compact_input() {
    // Until something decodes (or a stream ends), every byte stays: it may
    // have to be handed back, or decoded again as raw deflate.
    if (!m_any_output && !m_stream_end && !m_compacted) return;
    if (m_input_pos == 0) return;
    if (m_input_pos == m_input.size()) {
        m_input.clear();
    } else if (m_input_pos > m_input.size() / 2) {
        m_input.erase(0, m_input_pos);
    } else {
        return;
    }
    m_input_pos = 0;
    m_compacted = true;
}

void content_encoding_gzip::hand_to_target(byte_string& out) {
    if (m_declined || !m_target || out.empty()) return;
    if (!m_target->update_in(out)) m_declined = true;
}

bool content_encoding_gzip::update_in(byte_string& data) {
    if (m_not_compressed) return false;  // handed back already: the rest passes as it is
    if (m_broken) {
        data.clear();
        return true;
    }
    if (m_input.empty())
        m_input.swap(data);
    else
        m_input.append(data);
    data.clear();

    byte_string out;
    inflate_into(out, m_output_bound);
    if (!m_not_compressed && !m_any_output && !m_stream_end && !m_compacted && m_input.size() > undecoded_hold_bound)
        m_not_compressed = true;
    if (m_not_compressed) {
        ZEM_LOG(0, "ERROR while decoding income gzip stream, it looks like it is not gzip. (" << m_host_name << ")\n");
        data.swap(m_input);
        m_input.clear();
        m_input_pos = 0;
        m_limited = false;
        return false;
    }

    hand_to_target(out);
    data.swap(out);
    compact_input();
    if (m_stream_end && !m_end_signalled && m_input_pos == m_input.size()) {
        m_end_signalled = true;
        if (m_on_stream_end) m_on_stream_end();
    }
    return true;
}

void content_encoding_gzip::stop(byte_string& data) {
    if (m_not_compressed) return;
    byte_string out;
    inflate_into(out, static_cast<std::size_t>(-1));
    m_limited = false;
    if (!m_stream_end) ZEM_LOG(2, "content_encoding_gzip::stop rised, but zip stream end not matched\n");
    if (!m_any_output && !m_stream_end && !m_compacted && !m_input.empty() &&
        !(m_raw_tried && empty_raw_deflate(m_input))) {
        // A few bytes that never decoded to anything and never failed (too
        // short to tell): they are the body, so they go on as they came.
        out.assign(m_input);
    } else {
        hand_to_target(out);
    }
    if (!m_declined && m_target) m_target->stop(out);
    data.append(out);
    m_input.clear();
    m_input_pos = 0;
}
