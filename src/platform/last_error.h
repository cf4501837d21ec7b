#pragma once
// Saves the thread's last system error and puts it back on scope exit, so
// that diagnostics never disturb what the caller is about to inspect.
#include <cerrno>

namespace platform {

inline int get_last_error() { return errno; }
inline void set_last_error(int e) { errno = e; }

class last_error_guard {
public:
    last_error_guard() : m_saved(get_last_error()) {}
    ~last_error_guard() { set_last_error(m_saved); }
    last_error_guard(const last_error_guard&) = delete;
    last_error_guard& operator=(const last_error_guard&) = delete;

private:
    int m_saved;
};

}  // namespace platform
