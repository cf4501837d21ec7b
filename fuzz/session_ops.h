#pragma once
// A fuzz input read as one session through a filter point: operations of
// [flags, length, bytes...], flags bit 0 for the server side, bit 1 to end
// that side. Every side still open is ended at the end of the input. 'out'
// and 'in' get the bytes each side sent while it was open.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/bunch_filter.h"

namespace fuzz_drivers {

// 'after_chunk' runs after every chunk handed to the filter point; false
// ends the play there. With 'end_open_sides', a play that ran to the end of
// the input ends the sides still open. False when 'after_chunk' stopped it.
template <class AfterChunk>
bool play_session_ops(bunch_filter* fp, const std::uint8_t* data, std::size_t size, std::string& out, std::string& in,
                      bool end_open_sides, AfterChunk after_chunk) {
    bool out_open = true, in_open = true;
    std::size_t k = 0;
    while (k + 2 <= size) {
        const std::uint8_t op = data[k];
        const std::size_t len = std::min<std::size_t>(data[k + 1], size - k - 2);
        const bool server = (op & 1) != 0;
        if (op & 2) {
            if (server && in_open) fp->stop_in(), in_open = false;
            if (!server && out_open) fp->stop_out(), out_open = false;
            k += 2;
            continue;
        }
        const std::string chunk(reinterpret_cast<const char*>(data + k + 2), len);
        k += 2 + len;
        if (server ? !in_open : !out_open) continue;
        (server ? in : out) += chunk;
        if (server)
            fp->update_in(chunk.data(), static_cast<int>(chunk.size()));
        else
            fp->update_out(chunk.data(), static_cast<int>(chunk.size()));
        if (!after_chunk()) return false;
    }
    if (end_open_sides) {
        if (in_open) fp->stop_in();
        if (out_open) fp->stop_out();
    }
    return true;
}

inline void play_session_ops(bunch_filter* fp, const std::uint8_t* data, std::size_t size, std::string& out,
                             std::string& in) {
    play_session_ops(fp, data, size, out, in, true, [] { return true; });
}

}  // namespace fuzz_drivers
