#pragma once
// Read-only view of HKEY_LOCAL_MACHINE. On POSIX the "registry" is a file in
// regedit's .reg syntax named by the environment variable ZEM_REGISTRY; it is
// parsed again whenever it changes, so a new value counts for the next reader.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform {

enum reg_type : std::uint32_t {
    reg_none = 0,
    reg_sz = 1,
    reg_expand_sz = 2,
    reg_binary = 3,
    reg_dword = 4,
    reg_multi_sz = 7,
    reg_qword = 11,
};

// A value as a narrow-API query returns it: its type and its raw bytes.
// Strings carry their terminating NUL, as the narrow registry API stores them.
struct reg_value {
    std::uint32_t type = reg_none;
    std::string bytes;
};

struct reg_parse_result {
    // key: lower-case "key path under HKLM" + '\n' + lower-case value name
    std::map<std::string, reg_value> values;
    std::vector<std::string> warnings;
};

// Parses the text of a .reg file: UTF-16LE with a BOM (as regedit writes it)
// or ASCII/UTF-8, CRLF or LF. Malformed lines are skipped with a warning.
reg_parse_result parse_reg_text(const std::string& file_bytes);

// key_path is relative to HKEY_LOCAL_MACHINE, e.g. "Software\\Vendor\\net".
bool reg_query_value(const std::string& key_path, const std::string& name, reg_value& out);

// A number lands in 'value' only when the data is at most 4 bytes (of any
// type); otherwise 'value' keeps what it held. Returns whether it was taken.
bool reg_read_u32(const std::string& key_path, const std::string& name, std::uint32_t& value);

// The stored string up to its first NUL (whole when it has none).
bool reg_read_string(const std::string& key_path, const std::string& name, std::string& value);

// Warnings of the last parse that nobody has collected yet (each is handed
// out once, so a bad line is reported once per change of the file).
std::vector<std::string> reg_take_warnings();

// In-process values for tests: they win over the file. With isolate set the
// file is not consulted at all.
void reg_override_set(const std::string& key_path, const std::string& name, const reg_value& v);
void reg_override_set_u32(const std::string& key_path, const std::string& name, std::uint32_t v);
void reg_override_set_string(const std::string& key_path, const std::string& name, const std::string& v);
void reg_override_clear();
void reg_override_isolate(bool isolate);

}  // namespace platform
