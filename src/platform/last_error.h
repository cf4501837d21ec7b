#pragma once
// Saves the thread's last system error (errno, or GetLastError on Windows)
// and puts it back on scope exit, so that diagnostics never disturb what the
// caller is about to inspect.
namespace platform {

// The value as the system keeps it (a DWORD on Windows fits unchanged).
unsigned long get_last_error();
void set_last_error(unsigned long e);

class last_error_guard {
public:
    last_error_guard() : m_saved(get_last_error()) {}
    ~last_error_guard() { set_last_error(m_saved); }
    last_error_guard(const last_error_guard&) = delete;
    last_error_guard& operator=(const last_error_guard&) = delete;

private:
    unsigned long m_saved;
};

}  // namespace platform
