#include "platform/clock.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<tick_source> g_tick_source{nullptr};
}

void set_tick_source(tick_source source) { g_tick_source.store(source); }

std::uint32_t tick_count() {
    if (const tick_source source = g_tick_source.load(std::memory_order_relaxed)) return source();
    return system_tick_count();
}

}  // namespace platform
