// The registry file parser on arbitrary bytes: it must never crash, and a
// value it accepts must read back through the typed accessors' rules.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    platform::reg_parse_result r = platform::parse_reg_text(text);
    for (const auto& kv : r.values) {
        if (kv.second.type == platform::reg_dword && kv.second.bytes.size() != 4) __builtin_trap();
        if (kv.first.find('\n') == std::string::npos) __builtin_trap();
    }
    return 0;
}
