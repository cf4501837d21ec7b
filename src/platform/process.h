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

}  // namespace platform
