#pragma once
// The critical section of the engine: recursive, so that a provider calling
// back into its own filter point on the same thread does not deadlock.
#include <mutex>

namespace platform {
using critical_section = std::recursive_mutex;
using section_guard = std::lock_guard<std::recursive_mutex>;
}  // namespace platform
