#include "platform/clock.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace platform {

std::uint32_t system_tick_count() {
    // The coarse clock (a few milliseconds' resolution, like the tick count
    // of other systems) is read without asking the hardware: callers ask it
    // on every link a page holds.
    timespec ts{};
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0) {
        using namespace std::chrono;
        return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

std::uint64_t filetime_now() {
    using namespace std::chrono;
    // 11644473600 seconds lie between 1601-01-01 and 1970-01-01.
    auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<std::uint64_t>(ns / 100) + 116444736000000000ULL;
}

std::string local_time_text() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

}  // namespace platform
