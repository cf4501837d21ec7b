// libFuzzer entry for the imap session driver (see imap_nntp_drivers.h):
// traps with the reason printed when a check fails.
#include <cstdio>

#include "imap_nntp_drivers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string failure = fuzz_drivers::run_imap(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "imap: %s\n", failure.c_str());
        __builtin_trap();
    }
    return 0;
}
