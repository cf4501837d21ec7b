#pragma once
// What each system supplies beneath the registry view: the lookup of one
// value under HKEY_LOCAL_MACHINE and the warnings of its last reading.
#include <string>
#include <vector>

#include "platform/registry.h"

namespace platform {

// The lookup key of a value: the key path without trailing backslashes and
// the value name, both lower-case (the registry ignores case in both).
std::string reg_make_key(const std::string& key_path, const std::string& name);

bool registry_store_query(const std::string& key_path, const std::string& name, reg_value& out);
std::vector<std::string> registry_store_take_warnings();

}  // namespace platform
