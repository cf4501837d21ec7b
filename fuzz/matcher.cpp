// libFuzzer entry for the matcher driver (see small_drivers.h): traps with the
// reason printed when a check fails.
#include <cstdio>

#include "small_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string failure = fuzz_drivers::run_matcher(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "matcher: %s\n", failure.c_str());
        __builtin_trap();
    }
    return 0;
}
