#include "platform/process.h"

#include <windows.h>

#include <string>

namespace platform {

std::string executable_path() {
    // The module file name of the process in the ANSI code page, as the
    // narrow file functions that receive it expect; grown until it fits.
    std::string buf(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, &buf[0], static_cast<DWORD>(buf.size()));
        if (n == 0) return std::string();
        if (n < buf.size()) {
            buf.resize(n);
            return buf;
        }
        if (buf.size() >= 32768) return std::string();
        buf.resize(buf.size() * 2);
    }
}

char path_separator() { return '\\'; }

unsigned long process_id() { return GetCurrentProcessId(); }

unsigned long thread_id() { return GetCurrentThreadId(); }

void debug_output(const char* text, std::size_t len) {
    // OutputDebugStringA takes a terminated string; the pieces are short.
    std::string piece(text, len);
    OutputDebugStringA(piece.c_str());
}

bool console_write(const char* text, std::size_t len) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
    while (len > 0) {
        const DWORD want = len > 0x10000 ? 0x10000 : static_cast<DWORD>(len);
        DWORD wrote = 0;
        if (!WriteFile(out, text, want, &wrote, nullptr) || wrote == 0) return false;
        text += wrote;
        len -= wrote;
    }
    return true;
}

bool console_open() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) return false;
    return AllocConsole() != FALSE;
}

void console_close(bool made_here) {
    if (made_here) FreeConsole();
}

void wait_for_console_key() {
    // Only a console is a person at a keyboard; a pipe or a file may never
    // end, and nobody is there to press a key.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;
    // One key, not one line: no line input and no echo for this one read.
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
    char c = 0;
    DWORD got = 0;
    ReadConsoleA(in, &c, 1, &got, nullptr);
    SetConsoleMode(in, mode);
}

}  // namespace platform
