// libFuzzer entry for the html driver (see drivers.h): traps with the reason
// printed when a check fails.
#include <cstdio>

#include "drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string failure = fuzz_drivers::run_html(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "html: %s\n", failure.c_str());
        __builtin_trap();
    }
    return 0;
}
