#include "platform/clock.h"

#include <windows.h>

#include <cstdio>

namespace platform {

std::uint32_t system_tick_count() { return GetTickCount(); }

std::uint64_t filetime_now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

std::string local_time_text() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", static_cast<unsigned>(st.wHour), static_cast<unsigned>(st.wMinute),
                  static_cast<unsigned>(st.wSecond));
    return buf;
}

}  // namespace platform
