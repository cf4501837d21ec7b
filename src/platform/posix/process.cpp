#include "platform/process.h"

#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

std::string executable_path() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<std::size_t>(n));
}

char path_separator() { return '/'; }

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

unsigned long thread_id() { return static_cast<unsigned long>(::syscall(SYS_gettid)); }

namespace {
bool write_all(int fd, const char* p, std::size_t len) {
    while (len > 0) {
        ssize_t w = ::write(fd, p, len);
        if (w < 0) return false;
        p += w;
        len -= static_cast<std::size_t>(w);
    }
    return true;
}
}  // namespace

void debug_output(const char* text, std::size_t len) { write_all(2, text, len); }

bool console_write(const char* text, std::size_t len) { return write_all(1, text, len); }

void wait_for_console_key() {
    if (::isatty(0) != 1) return;
    // One key, not one line: the terminal hands over each byte as typed for
    // this one read, without echo, and gets its settings back afterwards.
    termios saved{};
    const bool raw = ::tcgetattr(0, &saved) == 0;
    if (raw) {
        termios one = saved;
        one.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        one.c_cc[VMIN] = 1;
        one.c_cc[VTIME] = 0;
        ::tcsetattr(0, TCSANOW, &one);
    }
    char c = 0;
    while (::read(0, &c, 1) < 0 && errno == EINTR) {
    }
    if (raw) ::tcsetattr(0, TCSANOW, &saved);
}

bool console_open() { return false; }

void console_close(bool) {}

}  // namespace platform
