#pragma once
// Protocol sessions kept as text files under tests/data/. One step a line:
//   out: TEXT    bytes the client side sends (update_out), CRLF appended
//   in: TEXT     bytes the server side sends (update_in), CRLF appended
//   out+: TEXT / in+: TEXT   the same without the CRLF
//   expect: TEXT an expectation the test reads in its own terms
// Lines starting with '#' and empty lines are skipped. TEXT may hold \r, \n,
// \\ and \xNN escapes.
#include <string>
#include <vector>

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

// Writes what a failing run produced next to the expected file, so it can
// be compared (tests/data/<relative>.got).
void save_got(const std::string& relative, const std::string& text);

}  // namespace kit
