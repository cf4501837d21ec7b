#include "core/configuration.h"

#include "log/log.h"
#include "platform/registry.h"

namespace config {

const char* const net_key = "Software\\MORVEX Software\\Morvex\\net";

void report_registry_warnings() {
    for (const auto& w : platform::reg_take_warnings()) ZEM_LOG(0, w << "\n");
}

std::uint32_t read_u32(const char* name, std::uint32_t def) {
    std::uint32_t v = def;
    platform::reg_read_u32(net_key, name, v);
    report_registry_warnings();
    return v;
}

std::string read_string(const char* name) {
    std::string s;
    platform::reg_read_string(net_key, name, s);
    report_registry_warnings();
    return s;
}

net_config read_net_config() {
    net_config c;
    c.dumps_path = read_string("dumps_path");
    c.enable_mail = read_u32("enable_mail", 0) != 0;
    c.enable_http = read_u32("enable_http", 1) != 0;
    c.enable_ftp = read_u32("enable_ftp", 0) != 0;
    c.enable_ssl = read_u32("enable_ssl", 1) != 0;
    return c;
}

}  // namespace config
