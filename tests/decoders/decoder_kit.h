#pragma once
// Helpers for the decoder tests: zlib-made fixtures and recording targets.
#include <zlib.h>

#include <string>
#include <vector>

#include "core/interfaces.h"

namespace dk {

enum class wrap { gzip, zlib, raw };

// Compressed with zlib's deflate; full_flush_at (when not npos) splits the
// text into two flushed parts.
std::string compress(const std::string& text, wrap w, int level = 6, std::size_t full_flush_at = std::string::npos,
                     bool finish = true);

// A page of HTML-like text of about n bytes that compresses moderately.
std::string sample_page(std::size_t n);

// Records what it is given; optionally rewrites, declines, or adds a tail at
// stop.
class recording_target : public i_sub_handler {
public:
    bool update_in(byte_string& data) override;
    void stop(byte_string& data) override;

    std::string seen;                 // every byte handed in, in order
    std::vector<std::string> pieces;  // per call
    int stops = 0;
    bool upper = false;                             // hand back upper-cased ASCII
    std::size_t decline_after = std::string::npos;  // return false once seen exceeds this
    std::string stop_tail;                          // appended at stop
    bool declined = false;
};

}  // namespace dk
