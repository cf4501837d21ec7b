#include "diag.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zem_host {

bool stderr_is_journal() {
    static const bool journal = [] {
        const char* v = std::getenv("JOURNAL_STREAM");
        if (!v) return false;
        unsigned long long dev = 0, ino = 0;
        if (std::sscanf(v, "%llu:%llu", &dev, &ino) != 2) return false;
        struct stat st {};
        return ::fstat(2, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
               static_cast<unsigned long long>(st.st_ino) == ino;
    }();
    return journal;
}

void diag(diag_level level, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string line = stderr_is_journal() ? "<" + std::to_string(static_cast<int>(level)) + ">" : "zem-host: ";
    line += text;
    // One record per line: inner line ends would start records of their own.
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace zem_host
