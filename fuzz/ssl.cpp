// libFuzzer entry for the ssl driver (see watch_drivers.h): traps with the
// reason printed when a check fails.
#include <cstdio>

#include "watch_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string failure = fuzz_drivers::run_ssl(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "ssl: %s\n", failure.c_str());
        __builtin_trap();
    }
    return 0;
}
