// libFuzzer entry for the decoders driver (see drivers.h): traps with the reason
// printed when a check fails.
#include <cstdio>

#include "drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string failure = fuzz_drivers::run_decoders(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "decoders: %s\n", failure.c_str());
        __builtin_trap();
    }
    return 0;
}
