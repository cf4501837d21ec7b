#pragma once
// Helpers for the decoder tests: sample pages and recording targets.
#include <string>
#include <vector>

#include "core/interfaces.h"
#include "kit/codings.h"

namespace kit {

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

}  // namespace kit
