#pragma once
// The recorded traffic of one connection: its chunks in arrival order, each
// with its direction, and their two file forms (readable and packed).
#include <vector>

#include "core/strings.h"

namespace capture {

struct piece {
    byte_string bytes;
    bool in = false;  // from the server
};
using piece_list = std::vector<piece>;

// "IN:" or "OUT:" before every piece's bytes, nothing between pieces.
byte_string readable_form(const piece_list& pieces);

// The packed storage; false (and 'out' empty) when it cannot be built.
bool pack_pieces(const piece_list& pieces, byte_string& out);

// False, with a log line, for a buffer that is not a sound packed piece list.
bool unpack_pieces(const byte_string& buffer, piece_list& pieces);

}  // namespace capture
