// libFuzzer entry for the mail filter: one message (twice, one session) at
// piece sizes and host verdicts the input picks (kit/mail_driver.h); traps
// when an allowed message comes out changed.
#include <cstdint>
#include <cstdio>
#include <string>

#include "kit/mail_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string failure = kit::run_mail_message(std::string(reinterpret_cast<const char*>(data), size));
    if (!failure.empty()) {
        std::fprintf(stderr, "mail: %s\n", failure.c_str());
        __builtin_trap();
    }
    return 0;
}
