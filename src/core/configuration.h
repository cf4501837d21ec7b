#pragma once
// The product configuration, read afresh for every new filter point.
#include <cstdint>
#include <string>

namespace config {

extern const char* const net_key;  // under HKEY_LOCAL_MACHINE

struct net_config {
    bool enable_mail = false;
    bool enable_http = true;
    bool enable_ftp = false;
    bool enable_ssl = true;
    std::string dumps_path;
};

// Reads one number with the registry's 4-byte rule; 'def' when absent.
std::uint32_t read_u32(const char* name, std::uint32_t def);
std::string read_string(const char* name);

net_config read_net_config();

// Logs (once) the lines the registry file parser had to skip.
void report_registry_warnings();

}  // namespace config
