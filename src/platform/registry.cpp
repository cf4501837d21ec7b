#include "platform/registry.h"

#include <cctype>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "platform/codepage.h"
#include "platform/never_destroyed.h"
#include "platform/registry_store.h"

namespace platform {
namespace {

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted .reg string starting at s[pos] == '"'; pos ends after the
// closing quote. Backslash escapes the next character.
bool read_quoted(const std::string& s, std::size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '\\') {
            if (pos >= s.size()) return false;
            out += s[pos++];
        } else if (c == '"') {
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

bool parse_hex_list(const std::string& s, std::string& out) {
    out.clear();
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',')) ++i;
        if (i >= s.size()) break;
        if (i + 1 >= s.size()) return false;
        int h = hexval(s[i]), l = hexval(s[i + 1]);
        if (h < 0 || l < 0) return false;
        out += static_cast<char>(h * 16 + l);
        i += 2;
        if (i < s.size() && s[i] != ',' && s[i] != ' ' && s[i] != '\t') return false;
    }
    return true;
}

// UTF-8 of the UTF-16LE units in bytes[start..]; an odd last byte is dropped.
std::string utf16le_bytes_to_utf8(const std::string& bytes, std::size_t start) {
    std::u16string w;
    for (std::size_t i = start; i + 1 < bytes.size(); i += 2)
        w += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                   (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return utf16_to_utf8(w);
}

bool parse_value_data(const std::string& data, reg_value& v) {
    if (!data.empty() && data[0] == '"') {
        std::size_t pos = 0;
        std::string text;
        if (!read_quoted(data, pos, text)) return false;
        if (!trim(data.substr(pos)).empty()) return false;
        v.type = reg_sz;
        v.bytes = text;
        v.bytes += '\0';
        return true;
    }
    std::string ld = lower(data);
    if (ld.compare(0, 6, "dword:") == 0) {
        std::string h = trim(data.substr(6));
        if (h.empty() || h.size() > 8) return false;
        std::uint32_t n = 0;
        for (char c : h) {
            int d = hexval(c);
            if (d < 0) return false;
            n = n * 16 + static_cast<std::uint32_t>(d);
        }
        v.type = reg_dword;
        v.bytes.assign(4, '\0');
        for (int i = 0; i < 4; ++i) v.bytes[i] = static_cast<char>((n >> (8 * i)) & 0xff);
        return true;
    }
    if (ld.compare(0, 4, "hex:") == 0) {
        v.type = reg_binary;
        return parse_hex_list(data.substr(4), v.bytes);
    }
    if (ld.compare(0, 4, "hex(") == 0) {
        std::size_t close = ld.find("):", 4);
        if (close == std::string::npos || close == 4 || close > 12) return false;
        std::uint32_t t = 0;
        for (std::size_t i = 4; i < close; ++i) {
            int d = hexval(ld[i]);
            if (d < 0) return false;
            t = t * 16 + static_cast<std::uint32_t>(d);
        }
        std::string raw;
        if (!parse_hex_list(data.substr(close + 2), raw)) return false;
        v.type = t;
        if (t == reg_expand_sz || t == reg_multi_sz) {
            v.bytes = utf16le_bytes_to_utf8(raw, 0);
        } else {
            v.bytes = raw;
        }
        return true;
    }
    return false;
}

std::string decode_file_text(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
        return utf16le_bytes_to_utf8(bytes, 2);
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
    return bytes;
}

}  // namespace

reg_parse_result parse_reg_text(const std::string& file_bytes) {
    reg_parse_result r;
    const std::string text = decode_file_text(file_bytes);
    std::string current_key;
    bool key_is_hklm = false;
    bool have_key = false;

    std::size_t pos = 0;
    int line_no = 0;
    while (pos < text.size()) {
        // Gather one logical line: a trailing backslash continues it.
        std::string logical;
        int first_line = line_no + 1;
        for (;;) {
            std::size_t nl = text.find('\n', pos);
            std::string phys = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
            pos = (nl == std::string::npos) ? text.size() : nl + 1;
            ++line_no;
            phys = trim(phys);
            // Only hex data continues onto the next line (regedit wraps it).
            if (!phys.empty() && phys.back() == '\\' && phys[0] != '[' && pos < text.size() &&
                lower(logical + phys).find("=hex") != std::string::npos) {
                phys.pop_back();
                logical += phys;
                continue;
            }
            logical += phys;
            break;
        }
        std::string line = trim(logical);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4") continue;
        auto warn = [&](const char* why) {
            std::ostringstream o;
            o << "registry file line " << first_line << ": " << why << ", line skipped";
            r.warnings.push_back(o.str());
        };
        if (line[0] == '[') {
            if (line.back() != ']') {
                warn("unterminated key name");
                have_key = false;
                continue;
            }
            std::string k = line.substr(1, line.size() - 2);
            if (!k.empty() && k[0] == '-') {  // key deletion: nothing to read under it
                have_key = false;
                continue;
            }
            std::string lk = lower(k);
            static const char* const prefixes[] = {"hkey_local_machine\\", "hklm\\"};
            key_is_hklm = false;
            for (const char* p : prefixes) {
                std::string ps(p);
                if (lk.compare(0, ps.size(), ps) == 0) {
                    current_key = k.substr(ps.size());
                    key_is_hklm = true;
                }
            }
            if (lk == "hkey_local_machine" || lk == "hklm") {
                current_key.clear();
                key_is_hklm = true;
            }
            have_key = true;
            continue;
        }
        std::string name;
        std::size_t p = 0;
        if (line[0] == '@') {
            p = 1;
        } else if (!read_quoted(line, p, name)) {
            warn("bad value name");
            continue;
        }
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
        if (p >= line.size() || line[p] != '=') {
            warn("missing '='");
            continue;
        }
        std::string data = trim(line.substr(p + 1));
        if (!have_key) {
            warn("value outside of a key");
            continue;
        }
        if (data == "-") continue;  // value deletion
        reg_value v;
        if (!parse_value_data(data, v)) {
            warn("bad value data");
            continue;
        }
        if (key_is_hklm) r.values[reg_make_key(current_key, name)] = v;
    }
    return r;
}

std::string reg_make_key(const std::string& key_path, const std::string& name) {
    std::string k = lower(key_path);
    while (!k.empty() && k.back() == '\\') k.pop_back();
    return k + '\n' + lower(name);
}

namespace {

struct override_state {
    std::mutex lock;
    std::map<std::string, reg_value> values;
    bool isolate = false;
};

// Never destroyed: a connection made while the process exits still reads
// its configuration.
override_state& overrides() {
    static never_destroyed<override_state> s;
    return s.get();
}

}  // namespace

bool reg_query_value(const std::string& key_path, const std::string& name, reg_value& out) {
    {
        override_state& s = overrides();
        std::lock_guard<std::mutex> g(s.lock);
        auto o = s.values.find(reg_make_key(key_path, name));
        if (o != s.values.end()) {
            out = o->second;
            return true;
        }
        if (s.isolate) return false;
    }
    return registry_store_query(key_path, name, out);
}

bool reg_read_u32(const std::string& key_path, const std::string& name, std::uint32_t& value) {
    reg_value v;
    if (!reg_query_value(key_path, name, v)) return false;
    if (v.bytes.size() > 4) return false;
    // The data overwrites the low bytes of what the variable held.
    unsigned char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xff);
    for (std::size_t i = 0; i < v.bytes.size(); ++i) b[i] = static_cast<unsigned char>(v.bytes[i]);
    value = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
            (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    return true;
}

bool reg_read_string(const std::string& key_path, const std::string& name, std::string& value) {
    reg_value v;
    if (!reg_query_value(key_path, name, v)) return false;
    std::size_t nul = v.bytes.find('\0');
    value = v.bytes.substr(0, nul);
    return true;
}

std::vector<std::string> reg_take_warnings() { return registry_store_take_warnings(); }

void reg_override_set(const std::string& key_path, const std::string& name, const reg_value& v) {
    override_state& s = overrides();
    std::lock_guard<std::mutex> g(s.lock);
    s.values[reg_make_key(key_path, name)] = v;
}

void reg_override_set_u32(const std::string& key_path, const std::string& name, std::uint32_t n) {
    reg_value v;
    v.type = reg_dword;
    v.bytes.assign(4, '\0');
    for (int i = 0; i < 4; ++i) v.bytes[i] = static_cast<char>((n >> (8 * i)) & 0xff);
    reg_override_set(key_path, name, v);
}

void reg_override_set_string(const std::string& key_path, const std::string& name, const std::string& text) {
    reg_value v;
    v.type = reg_sz;
    v.bytes = text;
    v.bytes += '\0';
    reg_override_set(key_path, name, v);
}

void reg_override_clear() {
    override_state& s = overrides();
    std::lock_guard<std::mutex> g(s.lock);
    s.values.clear();
    s.isolate = false;
}

void reg_override_isolate(bool isolate) {
    override_state& s = overrides();
    std::lock_guard<std::mutex> g(s.lock);
    s.isolate = isolate;
}

}  // namespace platform
