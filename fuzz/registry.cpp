// The registry file parser on arbitrary bytes: it must never crash or read
// out of bounds (the sanitizers watch), and every stored value has a key.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    platform::reg_parse_result r = platform::parse_reg_text(text);
    for (const auto& kv : r.values) {
        if (kv.first.find('\n') == std::string::npos) __builtin_trap();
    }
    return 0;
}
