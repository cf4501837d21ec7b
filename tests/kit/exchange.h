#pragma once
// Exchanges kept as text files: what each side sends, step by step, and what
// each side must receive. One file, one case; a new case is a new file.
//
//   # comment
//   @directive words...        options for the runner of the file's kind
//   > GET / HTTP/1.1           a line the client sends ("\r\n" is appended)
//   < HTTP/1.1 200 OK          a line the server sends
//   > body without line end\   a trailing backslash: no line end appended
//   >                          an empty line: "\r\n"
//   --                         ends a step (consecutive lines of one side
//                              are one step, pushed as one chunk)
//   @stop-in / @stop-out       a side closes (a step of its own)
//   === to-server              the expected bytes, each line written
//   | GET / HTTP/1.1           "| ..." in the same byte-line syntax
//   === to-client
//   === events                 expected records, one per line, as written
//   === closes                 expected number of closes toward the client
//
// Escapes in byte lines: \r \n \t \\ \xHH.
#include <string>
#include <vector>

namespace kit {

struct exchange_step {
    enum kind_t { out, in, stop_out, stop_in } kind;
    std::string bytes;
};

struct exchange {
    std::string name;
    std::vector<std::string> directives;  // each "@..." line without the '@'
    std::vector<exchange_step> steps;
    std::string to_server, to_client;
    bool has_events = false, has_closes = false;
    std::vector<std::string> events;
    int closes = 0;
};

// Reads one exchange file; throws std::runtime_error with the line number on
// a syntax error.
exchange load_exchange(const std::string& path);
// Every *.txt file of a folder, sorted by name.
std::vector<std::string> exchange_files(const std::string& folder);
// Decodes the escapes of one byte line.
std::string unescape_line(const std::string& text);
// Bytes in the line syntax, for failure messages and .got files.
std::string escape_bytes(const std::string& bytes);

}  // namespace kit
