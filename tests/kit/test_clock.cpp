#include "kit/test_clock.h"

#include <atomic>

#include "platform/clock.h"

namespace kit {

namespace {
std::atomic<std::uint32_t> g_test_now{0};
std::uint32_t test_now() { return g_test_now.load(); }
}  // namespace

test_clock::test_clock(std::uint32_t start) {
    g_test_now = start;
    platform::set_tick_source(&test_now);
}
test_clock::~test_clock() { platform::set_tick_source(nullptr); }
void test_clock::advance(std::uint32_t ms) { g_test_now += ms; }

}  // namespace kit
