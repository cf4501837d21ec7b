#pragma once
// The critical section of the engine: recursive, so that a provider calling
// back into its own filter point on the same thread does not deadlock.
// A Win32 CRITICAL_SECTION on Windows, a recursive mutex elsewhere; the
// storage is reserved here so that callers need no system header.
#include <cstddef>
#include <mutex>

namespace platform {

class critical_section {
public:
    critical_section();
    ~critical_section();
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;

    void lock();
    void unlock();
    bool try_lock();

    // Room for the system's lock object (a recursive mutex is 40 bytes on
    // x86-64 Linux, a CRITICAL_SECTION 24 on i686 and 40 on x64 Windows).
    static constexpr std::size_t native_size = 48;

private:
    alignas(8) unsigned char m_native[native_size];
};

using section_guard = std::lock_guard<critical_section>;

}  // namespace platform
