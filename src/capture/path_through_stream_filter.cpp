#include "capture/path_through_stream_filter.h"

#include <cstdio>

#include "log/log.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace capture {

namespace {
const char* const logger_source = "Plugin/path_througth/path_through_logger";

template <int N>
const char* side() {
    return N ? "BEFORE" : "AFTER";
}
}  // namespace

std::string dump_time_stamp(std::uint64_t filetime) {
    const std::uint64_t ms_of_day = (filetime / 10000) % (24ull * 3600 * 1000);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u_%02u_%02u_%03u", static_cast<unsigned>(ms_of_day / 3600000),
                  static_cast<unsigned>(ms_of_day / 60000 % 60), static_cast<unsigned>(ms_of_day / 1000 % 60),
                  static_cast<unsigned>(ms_of_day % 1000));
    return buf;
}

template <int N>
path_through_stream_filter<N>::path_through_stream_filter(i_connection_feedback* feedback, std::string folder)
    : m_feedback(feedback), m_time_stamp(dump_time_stamp(platform::filetime_now())), m_folder(std::move(folder)) {
    ZEM_LOG(2, "path_through_stream_filter " << side<N>() << " ()\n");
}

template <int N>
path_through_stream_filter<N>::~path_through_stream_filter() {
    ZEM_LOG(2, "~path_through_stream_filter " << side<N>() << " ()\n");
    try {
        write_files();
    } catch (...) {
    }
}

template <int N>
void path_through_stream_filter<N>::record(const byte_string& data, bool in) {
    if (m_folder.empty() || m_written) return;
    // The connection's identity is asked for while the provider surely
    // lives; at destruction it may already be gone.
    if (!m_have_id && m_feedback) {
        zem::connection_info info{};
        m_feedback->get_connection_info(&info);
        m_connection_id = info.id1;
        m_have_id = true;
    }
    if (m_over_limit) return;
    if (data.size() > max_recorded_bytes - m_recorded) {
        m_over_limit = true;
        ZEM_LOG_ERROR(logger_source, "path_through_stream_filter: recording limit reached, later data not kept");
        return;
    }
    try {
        m_pieces.push_back(piece{data, in});
        m_recorded += data.size();
    } catch (...) {
        m_over_limit = true;
    }
}

template <int N>
bool path_through_stream_filter<N>::update_in(byte_string& data) {
    if (N) ZEM_LOG(4, "IN:" << data << "\n");
    record(data, true);
    return true;
}

template <int N>
bool path_through_stream_filter<N>::update_out(byte_string& data) {
    if (N) ZEM_LOG(4, "OUT:" << data << "\n");
    record(data, false);
    return true;
}

// What the filters before this one flush at a stop is kept as a last piece;
// the files are written once both directions have ended, so that traffic on
// a half-closed connection is not cut from the record.
template <int N>
void path_through_stream_filter<N>::stop_in(byte_string& data) {
    ZEM_LOG(2, "path_through_stream_filter " << side<N>() << " () STOP_IN\n");
    if (!data.empty()) record(data, true);
    m_stopped_in = true;
    if (m_stopped_out) write_files();
}

template <int N>
void path_through_stream_filter<N>::stop_out(byte_string& data) {
    ZEM_LOG(2, "path_through_stream_filter " << side<N>() << " () STOP_OUT\n");
    if (!data.empty()) record(data, false);
    m_stopped_out = true;
    if (m_stopped_in) write_files();
}

template <int N>
void path_through_stream_filter<N>::write_files() {
    if (m_folder.empty() || m_written) return;
    m_written = true;
    if (m_pieces.empty()) return;
    const std::string name =
        "zem_" + m_time_stamp + "(" + std::to_string(m_connection_id) + (N ? ")before.dump" : ")after.dump");
    const std::string path = platform::join_path(m_folder, name);
    const byte_string text = readable_form(m_pieces);
    platform::replace_file(path, text.data(), text.size());
    byte_string packed;
    if (!pack_pieces(m_pieces, packed)) {
        ZEM_LOG_ERROR(logger_source, "path_through_stream_filter: Failed to serialize");
    } else {
        platform::replace_file(path + "_bi", packed.data(), packed.size());
    }
    m_written_path = path;
    piece_list().swap(m_pieces);
}

template class path_through_stream_filter<0>;
template class path_through_stream_filter<1>;

}  // namespace capture
