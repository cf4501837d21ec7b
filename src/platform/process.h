#pragma once
#include <string>

namespace platform {

// Full path of the running executable ('/'-separated on POSIX).
std::string executable_path();
char path_separator();
unsigned long process_id();
unsigned long thread_id();

// The debugger's output channel (standard error on POSIX): one call, one piece.
void debug_output(const char* text, std::size_t len);

// The process console (standard output on POSIX). Returns false on failure.
bool console_write(const char* text, std::size_t len);

// Reads one character from standard input when it is a terminal, so that a
// person can read the console first; returns at once otherwise (a pipe or a
// file may never end, and nobody is there to press a key).
void wait_for_console_key();

}  // namespace platform
