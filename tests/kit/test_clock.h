#pragma once
// Engine time under the test's control. Apart from kit.h, which a host
// without the engine (the Windows host test) also uses.
#include <cstdint>

namespace kit {

// While it lives, the engine's tick count is the test's: it starts at
// 'start' and moves only by advance().
class test_clock {
public:
    explicit test_clock(std::uint32_t start = 5000);
    ~test_clock();
    test_clock(const test_clock&) = delete;
    test_clock& operator=(const test_clock&) = delete;
    void advance(std::uint32_t ms);
};

}  // namespace kit
