#pragma once
// Protocol sessions kept as text files under tests/data/. One step a line:
//   out: TEXT    bytes the client side sends (update_out), CRLF appended
//   in: TEXT     bytes the server side sends (update_in), CRLF appended
//   out+: TEXT / in+: TEXT   the same without the CRLF
//   expect: TEXT an expectation the test reads in its own terms
// Lines starting with '#' and empty lines are skipped. TEXT may hold \r, \n,
// \\ and \xNN escapes.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/interfaces.h"

namespace kit {

struct transcript {
    struct step {
        bool out;  // client to server
        std::string bytes;
    };
    std::vector<step> steps;
    std::vector<std::string> expect;

    // Everything sent in one direction, in order.
    std::string all(bool out) const;
    // Consecutive steps of one direction joined into one chunk.
    std::vector<step> joined() const;
};

// Reads tests/data/<relative>; fails the calling test when it cannot.
transcript load_transcript(const std::string& relative);

using chunker = std::function<std::vector<std::string>(const std::string&)>;

// What a filter point handed on when the steps were fed through it.
struct fed {
    std::string out, in;
    bool chain_empty = false;  // the filter declined at some point
};

// Feeds the steps, each cut into chunks by 'cut', through a filter point
// whose chain is the one filter 'make' builds; 'after' runs after every chunk.
// With 'end_streams' both directions are ended afterwards, so that what the
// filter still holds is handed on too.
fed feed_steps(const std::vector<transcript::step>& steps,
               const std::function<std::shared_ptr<i_stream_filter>(i_connection_feedback*)>& make, const chunker& cut,
               const std::function<void()>& after = {}, bool end_streams = false);

// Runs 'check' over the steps fed whole, joined per direction, one byte at a
// time, in random chunks and split at every offset of every step (one step
// at a time); stops at the first failing chunking.
void for_every_chunking(
    const transcript& t,
    const std::function<void(const std::vector<transcript::step>&, const chunker&, const std::string& how)>& check);

// The same, then both sides close (stop_in, stop_out): what the filter
// hands back at the close is part of what was handed on.
fed feed_steps_and_close(const std::vector<transcript::step>& steps,
                         const std::function<std::shared_ptr<i_stream_filter>(i_connection_feedback*)>& make,
                         const chunker& cut);

// Writes what a failing run produced next to the expected file, so it can
// be compared (tests/data/<relative>.got).
void save_got(const std::string& relative, const std::string& text);

}  // namespace kit
