#pragma once
// Replay of packet captures: every TCP connection in a pcap or pcapng file is
// reassembled (segments put in order, retransmitted bytes dropped, both
// directions in the order they were captured) and pushed through a filter
// point of its own, as if it were passing the proxy now.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "zem/filt_point.h"

namespace zem_host {

// One direction of a TCP connection: puts segments in sequence order and
// hands on each byte once. Segments ahead of a gap wait, up to a bound; a gap
// that never fills is skipped (counted) once the bound is reached.
class tcp_reassembler {
public:
    using sink = std::function<void(const char* data, std::size_t len)>;
    static constexpr std::size_t max_pending_bytes = std::size_t(8) << 20;

    // 'isn' is the sequence number of the SYN (data starts one after it).
    void start(std::uint32_t isn) {
        m_next = isn + 1;
        m_started = true;
    }
    bool started() const { return m_started; }
    // Sequence number of the next byte to hand on.
    std::uint32_t next() const { return m_next; }
    void segment(std::uint32_t seq, const char* data, std::size_t len, const sink& out);
    // Hands on what still waits behind a gap, in order.
    void flush(const sink& out);
    std::uint64_t skipped_bytes() const { return m_skipped; }
    std::uint64_t duplicate_bytes() const { return m_duplicate; }

private:
    void drain(const sink& out);

    std::uint32_t m_next = 0;
    bool m_started = false;
    std::map<std::uint32_t, std::string> m_pending;  // by sequence number
    std::size_t m_pending_bytes = 0;
    std::uint64_t m_skipped = 0;
    std::uint64_t m_duplicate = 0;
};

struct capture_summary {
    std::uint64_t packets = 0;
    std::uint64_t tcp_segments = 0;
    std::uint64_t connections = 0;
    std::uint64_t bytes_out = 0;  // client to server, as captured
    std::uint64_t bytes_in = 0;
    std::uint64_t bytes_changed = 0;  // connections whose output differs from their input
    std::uint64_t skipped_bytes = 0;  // lost in gaps of the capture
    std::uint64_t bad_records = 0;
    std::string first_bad;  // where the first unreadable record was
};

// Reads the capture and runs its connections. 'progress' is called now and
// then with the fraction of the file read. False (with 'error') when the
// file cannot be opened as a capture at all.
bool replay_capture(const std::string& path, zem::i_filt_point* (*create)(zem::i_provider*, int),
                    capture_summary& summary, std::string& error, const std::function<void(double)>& progress);

}  // namespace zem_host

namespace zem_host {

// A registry file for the engine that is 'base' (may be empty: none) with
// the product key's string value 'name' set to 'folder', written to a new
// temporary file whose path goes to 'out'. The folder is made, with 'mode',
// when missing.
bool registry_with_folder(const std::string& base, const char* name, const std::string& folder, unsigned mode,
                          std::string& out, std::string& error);

}  // namespace zem_host

namespace zem_host {

struct dump_piece {
    std::string bytes;
    bool in = false;
};

// The pieces of a packed dump file (as the engine's recorders write them);
// false with 'error' for a file that is not one.
bool read_dump(const std::string& packed, std::vector<dump_piece>& pieces, std::string& error);

// Replays every packed dump under 'path' (a file, or a folder walked with its
// sub-folders), each through a filter point of its own.
bool replay_dumps(const std::string& path, zem::i_filt_point* (*create)(zem::i_provider*, int),
                  capture_summary& summary, std::string& error);

}  // namespace zem_host
