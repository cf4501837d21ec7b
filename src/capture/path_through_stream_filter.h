#pragma once
// The traffic recorder. Placed first in a connection's chain (N = 1, "BEFORE")
// it sees the bytes as they arrive; placed last (N = 0, "AFTER") it sees what
// the protocol filters let through. It never changes a byte. When the
// connection ends it writes a readable file and a packed one (the piece list
// of capture/pieces.h) into the dump folder; a folder that is missing or full
// only means there are no files.
#include <cstddef>
#include <string>

#include "capture/pieces.h"
#include "core/interfaces.h"

namespace capture {

// Recorded bytes per recorder beyond which later chunks are no longer kept,
// so that a long connection cannot hold unbounded memory.
constexpr std::size_t max_recorded_bytes = std::size_t(64) << 20;

// "hh_mm_ss_mmm" of a FILETIME, in UTC.
std::string dump_time_stamp(std::uint64_t filetime);

template <int N>
class path_through_stream_filter : public i_stream_filter {
public:
    // 'folder' empty: records nothing, writes nothing.
    path_through_stream_filter(i_connection_feedback* feedback, std::string folder);
    ~path_through_stream_filter();

    void stop_in(byte_string& data) override;
    bool update_in(byte_string& data) override;
    void stop_out(byte_string& data) override;
    bool update_out(byte_string& data) override;

    // The readable file once written ("" before); the packed one adds "_bi".
    const std::string& written_path() const { return m_written_path; }
    const piece_list& pieces() const { return m_pieces; }

private:
    void record(const byte_string& data, bool in);
    void write_files();

    piece_list m_pieces;
    i_connection_feedback* m_feedback;
    std::string m_time_stamp;
    std::string m_folder;
    std::uint32_t m_connection_id = 0;
    bool m_have_id = false;
    bool m_written = false;
    bool m_stopped_in = false;
    bool m_stopped_out = false;
    bool m_over_limit = false;
    std::size_t m_recorded = 0;
    std::string m_written_path;
};

using before_recorder = path_through_stream_filter<1>;
using after_recorder = path_through_stream_filter<0>;

}  // namespace capture
