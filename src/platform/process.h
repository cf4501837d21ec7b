#pragma once
#include <cstddef>
#include <string>

namespace platform {

// Full path of the running executable (the process's module file name;
// '/'-separated on POSIX, '\\'-separated on Windows).
std::string executable_path();
char path_separator();
unsigned long process_id();
unsigned long thread_id();

// The debugger's output channel (standard error on POSIX): one call, one piece.
void debug_output(const char* text, std::size_t len);

// The process console (standard output). Returns false on failure.
bool console_write(const char* text, std::size_t len);

// Reads one character from standard input when it is a terminal, so that a
// person can read the console first; returns at once otherwise (a pipe or a
// file may never end, and nobody is there to press a key).
void wait_for_console_key();

// Makes sure the process has a console to write to: on Windows a process
// without a standard output gets a new console, and true says that this
// call made it, to be given back with console_close(true). POSIX processes
// always have their standard output; nothing is made.
bool console_open();
void console_close(bool made_here);

}  // namespace platform
