// The registry file parser on arbitrary bytes: it must never crash, and a
// value it accepts must be well formed.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    platform::reg_parse_result r = platform::parse_reg_text(text);
    for (const auto& kv : r.values) {
        // A string value always carries its terminator.
        if (kv.second.type == platform::reg_sz && (kv.second.bytes.empty() || kv.second.bytes.back() != '\0'))
            __builtin_trap();
        if (kv.first.find('\n') == std::string::npos) __builtin_trap();
    }
    return 0;
}
