#include "wire.h"

#include <cstring>

namespace zem_host {

namespace {

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void append_u16(std::string& out, std::uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
}

// Decodes one UTF-8 sequence at s[i]; advances i. Returns U+FFFD for anything
// malformed (overlong forms, surrogates, truncation), consuming one byte.
std::uint32_t next_utf8(const std::string& s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra = 0;
    std::uint32_t cp = 0, min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (s.size() - i <= static_cast<std::size_t>(extra)) {
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += static_cast<std::size_t>(extra) + 1;
    return cp;
}

void put32(std::string& s, std::size_t off, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) s[off + static_cast<std::size_t>(k)] = static_cast<char>((v >> (8 * k)) & 0xFF);
}
void put64(std::string& s, std::size_t off, std::uint64_t v) {
    for (int k = 0; k < 8; ++k) s[off + static_cast<std::size_t>(k)] = static_cast<char>((v >> (8 * k)) & 0xFF);
}

// Lays out entries of string_refs (each relative to its own position) and the
// strings after the fixed part, back to back, each with its terminator.
std::string encode_ref_list(std::size_t fixed, std::size_t first_entry, const std::vector<std::string>& words) {
    std::string out(fixed, '\0');
    for (std::size_t k = 0; k < words.size(); ++k) {
        const std::string w = utf8_to_utf16le(words[k]);
        const std::size_t entry = first_entry + k * string_ref_size;
        if (w.empty()) continue;  // a zero reference: no string
        put64(out, entry, out.size() - entry);
        put64(out, entry + 8, w.size());
        out += w;
        out.append(2, '\0');
    }
    return out;
}

const char* const k_index_names[22] = {"idx_cookies",
                                       "idx_activex",
                                       "idx_java_applets",
                                       "idx_referers",
                                       "idx_flash",
                                       "idx_hidden_frames",
                                       "idx_gif_animation",
                                       "idx_gif_animation_tail_frames",
                                       "idx_ext_images",
                                       "idx_jscript",
                                       "idx_vbscript",
                                       "idx_ax_from_script",
                                       "idx_load_unload_script",
                                       "idx_popups",
                                       "idx_host_enable",
                                       "idx_ads_by_link",
                                       "idx_ads_by_size",
                                       "idx_content_by_url",
                                       "idx_content_by_keywords",
                                       "idx_ads_by_link_replace_gif",
                                       "idx_ads_by_size_replace_gif",
                                       "idx_check_script"};

}  // namespace

// ---- text -------------------------------------------------------------------

std::string utf16le_to_utf8(const char* p, std::size_t nbytes) {
    std::string out;
    out.reserve(nbytes / 2);
    const std::size_t units = nbytes / 2;
    auto unit = [p](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(p[2 * k])) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(p[2 * k + 1])) << 8);
    };
    for (std::size_t k = 0; k < units; ++k) {
        std::uint32_t u = unit(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units) {
            const std::uint32_t lo = unit(k + 1);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++k;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        append_utf8(out, u);
    }
    return out;
}

std::string utf8_to_utf16le(const std::string& s) {
    std::string out;
    out.reserve(s.size() * 2);
    std::size_t i = 0;
    while (i < s.size()) {
        const std::uint32_t cp = next_utf8(s, i);
        if (cp >= 0x10000) {
            append_u16(out, 0xD800 + ((cp - 0x10000) >> 10));
            append_u16(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            append_u16(out, cp);
        }
    }
    return out;
}

std::string ansi_to_utf8(const std::string& s) {
    // 0x80..0x9F of Windows-1252; 0 marks the five unassigned places.
    static const std::uint16_t k_c1[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                           0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) {
            out += ch;
        } else if (b < 0xA0) {
            const std::uint16_t cp = k_c1[b - 0x80];
            append_utf8(out, cp ? cp : b);
        } else {
            append_utf8(out, b);
        }
    }
    return out;
}

bool valid_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t before = i;
        const std::uint32_t cp = next_utf8(s, i);
        if (cp == 0xFFFD && !(i - before == 3 && static_cast<unsigned char>(s[before]) == 0xEF)) return false;
    }
    return true;
}

// ---- reading ------------------------------------------------------------------

bool wire_reader::u8(std::size_t off, std::uint8_t& v) const {
    if (!has(off, 1)) return false;
    v = static_cast<std::uint8_t>(m_p[off]);
    return true;
}

bool wire_reader::u32(std::size_t off, std::uint32_t& v) const {
    if (!has(off, 4)) return false;
    v = 0;
    for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(m_p[off + static_cast<std::size_t>(k)]);
    return true;
}

bool wire_reader::u64(std::size_t off, std::uint64_t& v) const {
    if (!has(off, 8)) return false;
    v = 0;
    for (int k = 7; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(m_p[off + static_cast<std::size_t>(k)]);
    return true;
}

bool wire_reader::s32(std::size_t off, std::int32_t& v) const {
    std::uint32_t u = 0;
    if (!u32(off, u)) return false;
    v = static_cast<std::int32_t>(u);
    return true;
}

bool wire_reader::s64(std::size_t off, std::int64_t& v) const {
    std::uint64_t u = 0;
    if (!u64(off, u)) return false;
    v = static_cast<std::int64_t>(u);
    return true;
}

bool wire_reader::string_bytes(std::size_t off, const char*& p, std::size_t& n) const {
    std::uint64_t rel = 0, len = 0;
    if (!u64(off, rel) || !u64(off + 8, len)) return false;
    p = nullptr;
    n = 0;
    if (rel == 0 || len == 0) return true;
    // Compare in 64 bits without overflow: the string must lie in the message.
    if (rel > m_n - off || len > m_n - off - rel) return false;
    p = m_p + off + rel;
    n = static_cast<std::size_t>(len);
    return true;
}

bool wire_reader::wide_string(std::size_t off, std::string& utf8) const {
    const char* p = nullptr;
    std::size_t n = 0;
    if (!string_bytes(off, p, n) || n % 2 != 0) return false;
    utf8 = p ? utf16le_to_utf8(p, n) : std::string();
    return true;
}

bool wire_reader::narrow_string(std::size_t off, std::string& raw) const {
    const char* p = nullptr;
    std::size_t n = 0;
    if (!string_bytes(off, p, n)) return false;
    raw = p ? std::string(p, n) : std::string();
    return true;
}

bool wire_reader::header(message_header& h) const {
    return u32(0, h.total_size) && u32(4, h.reserved) && u64(8, h.filetime) && u32(16, h.id0) && u32(20, h.id1) &&
           u32(24, h.id2);
}

namespace {

// Common checks of a request or notification with a fixed part of 'fixed'
// bytes: long enough, and a total size that does not claim more than we got.
std::string check_fixed(const wire_reader& r, std::size_t fixed, message_header& h) {
    if (r.size() < fixed)
        return "message of " + std::to_string(r.size()) + " bytes is shorter than its fixed part of " +
               std::to_string(fixed);
    r.header(h);
    if (h.total_size > r.size())
        return "total size " + std::to_string(h.total_size) + " exceeds the " + std::to_string(r.size()) +
               " bytes received";
    if (h.total_size < fixed) return "total size " + std::to_string(h.total_size) + " is below the fixed part";
    return std::string();
}

}  // namespace

// The string references are resolved within the declared total size.
std::string decode(const char* p, std::size_t n, permission_request& q) {
    wire_reader r0(p, n);
    std::string e = check_fixed(r0, 324, q.hdr);
    if (!e.empty()) return e;
    wire_reader r(p, q.hdr.total_size);
    r.u64(28, q.request_id);
    if (!r.wide_string(36, q.host)) return "host string reference out of range";
    if (!r.wide_string(52, q.address)) return "address string reference out of range";
    q.address_b.assign(p + 68, 128);
    q.address_a.assign(p + 196, 128);
    return std::string();
}

std::string decode(const char* p, std::size_t n, learn_request& q) {
    wire_reader r0(p, n);
    std::string e = check_fixed(r0, 64, q.hdr);
    if (!e.empty()) return e;
    wire_reader r(p, q.hdr.total_size);
    r.u64(28, q.request_id);
    if (!r.wide_string(36, q.host)) return "host string reference out of range";
    r.u32(52, q.index);
    r.s64(56, q.context);
    return std::string();
}

std::string decode(const char* p, std::size_t n, attach_request& q) {
    wire_reader r0(p, n);
    std::string e = check_fixed(r0, 132, q.hdr);
    if (!e.empty()) return e;
    wire_reader r(p, q.hdr.total_size);
    r.u64(28, q.object_id);
    r.u64(36, q.message_id);
    r.u64(44, q.body_address);
    r.u64(52, q.body_length);
    if (q.body_length != 0 && q.body_address == 0) return "attachment body has a length but no address";
    if (q.body_length > (std::uint64_t(1) << 32)) return "attachment body length is implausible";
    if (!r.wide_string(60, q.name)) return "object name reference out of range";
    if (!r.wide_string(76, q.from)) return "From reference out of range";
    if (!r.wide_string(92, q.to)) return "To reference out of range";
    if (!r.wide_string(108, q.subject)) return "Subject reference out of range";
    r.u32(124, q.protocol);
    r.u32(128, q.outgoing);
    return std::string();
}

std::string decode(const char* p, std::size_t n, firewall_request& q) {
    wire_reader r(p, n);
    std::string e = check_fixed(r, 36, q.hdr);
    if (!e.empty()) return e;
    r.u32(28, q.address);
    r.u32(32, q.port);
    return std::string();
}

std::string decode(const char* p, std::size_t n, script_request& q) {
    wire_reader r(p, n);
    std::string e = check_fixed(r, 52, q.hdr);
    if (!e.empty()) return e;
    r.u64(28, q.request_id);
    r.u64(36, q.script_address);
    r.u64(44, q.script_length);
    if (q.script_length != 0 && q.script_address == 0) return "script has a length but no address";
    if (q.script_length > (std::uint64_t(1) << 32)) return "script length is implausible";
    return std::string();
}

std::string decode_notification(int code, const char* p, std::size_t n, nlohmann::json& f) {
    using nlohmann::json;
    static const std::size_t k_fixed[] = {60, 44, 48};
    std::size_t fixed = 0;
    switch (code) {
        case 0:
        case 1:
        case 2:
            fixed = k_fixed[code];
            break;
        case 100:
            fixed = 36;
            break;
        case 101:
            fixed = 124;
            break;
        case 102:
            fixed = 60;
            break;
        case 200:
            fixed = 72;
            break;
        case 201:
            fixed = 104;
            break;
        case 202:
            fixed = 100;
            break;
        case 203:
            fixed = 84;
            break;
        default:
            return "unknown notification code " + std::to_string(code);
    }
    wire_reader r0(p, n);
    message_header h;
    std::string e = check_fixed(r0, fixed, h);
    if (!e.empty()) return e;
    wire_reader r(p, h.total_size);
    f["id0"] = h.id0;
    f["id1"] = h.id1;
    f["id2"] = h.id2;
    f["filetime"] = h.filetime;
    std::uint64_t a = 0, b = 0;
    std::uint32_t u = 0;
    std::int64_t s = 0;
    std::string t;
    auto wide = [&](std::size_t off, const char* name) {
        if (!r.wide_string(off, t)) return false;
        f[name] = t;
        return true;
    };
    auto narrow = [&](std::size_t off, const char* name) {
        if (!r.narrow_string(off, t)) return false;
        // Narrow text ends at its first NUL, like the C string it was.
        const std::size_t z = t.find('\0');
        if (z != std::string::npos) t.resize(z);
        f[name] = ansi_to_utf8(t);
        return true;
    };
    const std::string bad = "string reference out of range";
    switch (code) {
        case 0:
            if (!narrow(28, "line") || !narrow(44, "file")) return bad;
            break;
        case 1:
            r.u64(28, a), r.u64(36, b);
            f["request_id"] = a, f["bytes"] = b;
            break;
        case 2:
            r.u64(28, a), r.u64(36, b), r.u32(44, u);
            f["request_id"] = a, f["bytes"] = b, f["status"] = u;
            break;
        case 100:
            r.u64(28, a);
            f["message_id"] = a;
            break;
        case 101: {
            r.u64(28, a);
            f["message_id"] = a;
            r.u32(36, u);
            f["protocol"] = u;
            r.u32(40, u);
            f["outgoing"] = u;
            if (!wide(44, "from") || !wide(60, "to") || !wide(76, "cc") || !wide(108, "subject")) return bad;
            break;
        }
        case 102:
            r.u64(28, a), r.u64(36, b);
            f["object_id"] = a, f["message_id"] = b;
            if (!wide(44, "object")) return bad;
            break;
        case 200:
            r.u64(28, a), r.u32(36, u);
            f["request_id"] = a, f["version_code"] = u;
            if (!wide(40, "host") || !wide(56, "uri")) return bad;
            break;
        case 201:
            r.u64(28, a), r.u32(36, u);
            f["request_id"] = a, f["version_code"] = u;
            if (!narrow(40, "content_type")) return bad;
            r.u64(56, b), r.s64(64, s);
            f["content_length"] = b, f["status"] = s;
            if (!narrow(72, "content_encoding") || !narrow(88, "transfer_encoding")) return bad;
            break;
        case 202: {
            r.u64(28, a), r.u64(36, b);
            f["request_id"] = a, f["count"] = b;
            std::int32_t idx = 0;
            r.s32(44, idx);
            f["index"] = idx;
            const char* nm = index_name(idx);
            f["index_name"] = nm ? nm : (idx == -1 ? "idx_unknown" : "idx_bredovi");
            r.u32(48, u);
            f["one"] = u;
            if (!wide(52, "object") || !narrow(68, "keyword") || !narrow(84, "address")) return bad;
            break;
        }
        case 203:
            r.u64(28, a);
            f["request_id"] = a;
            if (!wide(36, "host") || !wide(52, "address") || !wide(68, "stop_word")) return bad;
            break;
    }
    return std::string();
}

const char* command_name(int code) {
    switch (code) {
        case 1000:
            return "general_query_permission_array";
        case 1001:
            return "do_learn_for_index";
        case 1002:
            return "http_query_stop_words";
        case 1003:
            return "http_query_ads_block_words";
        case 1004:
            return "http_query_ads_block_sizes";
        case 1005:
            return "http_query_block_message_html";
        case 1006:
            return "mail_check_mail_attach";
        case 1007:
            return "http_query_transparent_gif";
        case 1008:
            return "firewall_allow_connection";
        case 1009:
            return "http_check_script";
        case 1010:
            return "general_query_config_cookie";
        default:
            return nullptr;
    }
}

const char* notification_name(int code) {
    switch (code) {
        case 0:
            return "general_notify_log_line";
        case 1:
            return "general_notify_transfer_progress";
        case 2:
            return "general_notify_transfer_complete";
        case 100:
            return "http_notify_mail_message_start";
        case 101:
            return "http_notify_mail_message_info";
        case 102:
            return "mail_notify_mail_attach";
        case 200:
            return "http_notify_request";
        case 201:
            return "http_notify_response";
        case 202:
            return "general_notify_object_blocked";
        case 203:
            return "general_notify_stopword_blocked";
        default:
            return nullptr;
    }
}

const char* index_name(int index) { return index >= 0 && index < 22 ? k_index_names[index] : nullptr; }

int index_from_name(const std::string& name) {
    for (int k = 0; k < 22; ++k)
        if (name == k_index_names[k]) return k;
    return -1;
}

const char* action_name(int action) {
    switch (action) {
        case -1:
            return "content_action_unknown";
        case 0:
            return "content_action_allow";
        case 1:
            return "content_action_block";
        case 2:
            return "content_action_learn";
        default:
            return "content_action_bredovi";
    }
}

std::string ipv4_text(std::uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF);
}

void encode_address_record(unsigned char out[128], int family, const unsigned char* addr, std::uint16_t port,
                           const std::string& text) {
    std::memset(out, 0, 128);
    out[0] = static_cast<unsigned char>(family & 0xFF);
    out[1] = static_cast<unsigned char>((family >> 8) & 0xFF);
    out[2] = static_cast<unsigned char>(port & 0xFF);
    out[3] = static_cast<unsigned char>(port >> 8);
    if (addr) std::memcpy(out + 4, addr, family == 10 ? 16 : 4);
    const std::size_t n = text.size() < 107 ? text.size() : 107;
    std::memcpy(out + 20, text.data(), n);
}

std::string address_record_text(const std::string& record) {
    if (record.size() < 21) return std::string();
    const std::size_t end = record.find('\0', 20);
    return ansi_to_utf8(record.substr(20, (end == std::string::npos ? record.size() : end) - 20));
}

// ---- replies -------------------------------------------------------------------

std::string encode_permission_reply(const std::int32_t actions[22], const std::string& text_utf8) {
    std::string out(104, '\0');
    for (std::size_t k = 0; k < 22; ++k) put32(out, 4 * k, static_cast<std::uint32_t>(actions[k]));
    const std::string w = utf8_to_utf16le(text_utf8);
    if (!w.empty()) {
        put64(out, 88, 104 - 88);
        put64(out, 96, w.size());
        out += w;
        out.append(2, '\0');
    }
    return out;
}

std::string encode_learn_reply(bool current_allow, std::int32_t action_next) {
    std::string out(5, '\0');
    out[0] = current_allow ? 1 : 0;
    put32(out, 1, static_cast<std::uint32_t>(action_next));
    return out;
}

std::string encode_word_list(const std::vector<std::string>& words) {
    std::string out = encode_ref_list(8 + string_ref_size * words.size(), 8, words);
    put64(out, 0, words.size());
    // The engine zeroes the last two bytes before it reads; below the minimum
    // size there must be room for that without touching an entry.
    if (out.size() < 24) out.resize(24, '\0');
    return out;
}

std::string encode_flagged_word_list(const std::vector<std::string>& words, std::uint8_t flag) {
    std::string out = encode_ref_list(9 + string_ref_size * words.size(), 9, words);
    put64(out, 0, words.size());
    out[8] = static_cast<char>(flag);
    if (out.size() < 25) out.resize(25, '\0');
    return out;
}

std::string encode_size_list(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& sizes) {
    // The engine expects exactly 16 + 8 * N bytes: the count, the elements,
    // and the 8 bytes that complete its 16-byte record.
    std::string out(16 + 8 * sizes.size(), '\0');
    put64(out, 0, sizes.size());
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        put32(out, 8 + 8 * k, sizes[k].first);
        put32(out, 12 + 8 * k, sizes[k].second);
    }
    return out;
}

std::string encode_narrow_string(const std::string& raw) {
    std::string out(16, '\0');
    if (raw.empty()) return out;
    put64(out, 0, 16);
    put64(out, 8, raw.size());
    out += raw;
    out += '\0';
    return out;
}

std::string encode_attach_reply(std::uint32_t action, const std::string& new_name_utf8, const std::string& new_body) {
    std::string out(28, '\0');
    put32(out, 0, action);
    const std::string w = utf8_to_utf16le(new_name_utf8);
    if (!w.empty()) {
        put64(out, 4, 28 - 4);
        put64(out, 12, w.size());
        out += w;
        out.append(2, '\0');
    }
    if (!new_body.empty()) {
        put32(out, 20, static_cast<std::uint32_t>(out.size()));
        put32(out, 24, static_cast<std::uint32_t>(new_body.size()));
        out += new_body;
    }
    return out;
}

std::string encode_script_reply(bool replace, const std::string& replacement) {
    std::string out(9, '\0');
    out[0] = replace ? 1 : 0;
    if (replace && !replacement.empty()) {
        put32(out, 1, 9);
        put32(out, 5, static_cast<std::uint32_t>(replacement.size()));
        out += replacement;
    }
    return out;
}

std::string encode_cookie(const unsigned char cookie[16]) {
    return std::string(reinterpret_cast<const char*>(cookie), 16);
}

}  // namespace zem_host
