#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Milliseconds from a monotonic clock, wrapping like a 32-bit tick count.
std::uint32_t tick_count();

// Puts 'source' in place of the monotonic clock for tick_count, process-wide
// (nullptr: the clock again). Tests use it to let time pass on their word.
using tick_source = std::uint32_t (*)();
void set_tick_source(tick_source source);

// The system's own clock (GetTickCount, or a monotonic clock), which
// tick_count reads when no source is set.
std::uint32_t system_tick_count();

// System time as a FILETIME: 100-ns units since 1601-01-01 UTC.
std::uint64_t filetime_now();

// Local wall-clock time as "hh:mm:ss" (24-hour).
std::string local_time_text();

}  // namespace platform
