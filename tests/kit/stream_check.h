#pragma once
// Checking long traffic without keeping it: a provider that checks what the
// client receives as a stream (framing, body lengths and hashes), and
// feeders that produce long hostile inputs piece by piece.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kit/kit.h"
#include "zem/filt_point.h"

namespace kit {

// 64-bit FNV-1a, resumable.
struct fnv {
    std::uint64_t h = 1469598103934665603ull;
    std::uint64_t n = 0;
    void add(const char* p, std::size_t len) {
        for (std::size_t i = 0; i < len; ++i) {
            h ^= static_cast<unsigned char>(p[i]);
            h *= 1099511628211ull;
        }
        n += len;
    }
    void add(const std::string& s) { add(s.data(), s.size()); }
    bool operator==(const fnv& o) const { return h == o.h && n == o.n; }
};

// One response as the client received it.
struct seen_response {
    std::string head;  // status line and headers, as sent
    enum framing_t { length, chunked, close } framing = close;
    fnv body;  // de-chunked body
    bool complete = false;
};

// Parses the client direction as it streams by, keeping only the header
// being read. Framing errors are recorded, not thrown.
class streaming_responses {
public:
    void feed(const char* p, std::size_t n);
    // The stream has ended: a close-delimited body completes.
    void end();

    std::vector<seen_response> responses;
    std::string error;  // empty while the framing is valid

private:
    enum state_t { head, body_length, chunk_size, chunk_data, chunk_crlf, trailer, body_close, broken };
    void start_body();
    state_t m_state = head;
    std::string m_line;  // the header block, or the chunk-size line, being read
    std::uint64_t m_left = 0;
};

// Counts and hashes both directions; parses the client direction. Keeps no
// copy of the traffic, so its own memory stays small whatever passes.
class counting_provider : public zem::i_provider {
public:
    bool send_out(const char* data, int len) override;
    bool close_out() override { return true; }
    bool send_in(const char* data, int len) override;
    bool close_in() override { return true; }
    bool get_connection_info(zem::connection_info* info) override;

    fnv out, in;
    std::size_t largest_send_in = 0;
    bool parse_in = true;
    streaming_responses parsed;
};

// Feeds 'head', then 'unit' repeated up to 'total' bytes (the last copy
// cut), then 'tail', in pieces of 'piece' bytes; 'sent' hashes what went in.
// Between pieces 'probe' (when set) runs with the filter point idle.
void feed_in(zem::i_filt_point* fp, const std::string& head, const std::string& unit, std::size_t total,
             const std::string& tail, std::size_t piece, fnv* sent = nullptr);
void feed_out(zem::i_filt_point* fp, const std::string& head, const std::string& unit, std::size_t total,
              const std::string& tail, std::size_t piece, fnv* sent = nullptr);

// FNV of 'unit' repeated up to total bytes.
fnv hash_repeated(const std::string& unit, std::size_t total);

}  // namespace kit
