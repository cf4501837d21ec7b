#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace platform {
namespace {

std::string iconv_name(unsigned cp) {
    switch (cp) {
        case 1200: return "UTF-16LE";
        case 1201: return "UTF-16BE";
        case 20127: return "ASCII";
        case 20866: return "KOI8-R";
        case 21866: return "KOI8-U";
        case 50220: return "ISO-2022-JP";
        case 51932: return "EUC-JP";
        case 51949: return "EUC-KR";
        case 54936: return "GB18030";
        case 65000: return "UTF-7";
        case 65001: return "UTF-8";
        default: break;
    }
    if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
    return "CP" + std::to_string(cp);
}

// One converter per (code page, direction) per thread: iconv_open is costly
// and an iconv_t carries shift state, so it is never shared across threads.
struct converter_cache {
    std::map<std::pair<unsigned, bool>, iconv_t> map;
    ~converter_cache() {
        for (auto& kv : map)
            if (kv.second != reinterpret_cast<iconv_t>(-1)) iconv_close(kv.second);
    }
    iconv_t get(unsigned cp, bool to_wide) {
        auto key = std::make_pair(cp, to_wide);
        auto it = map.find(key);
        if (it != map.end()) {
            if (it->second != reinterpret_cast<iconv_t>(-1)) iconv(it->second, nullptr, nullptr, nullptr, nullptr);
            return it->second;
        }
        std::string name = iconv_name(cp);
        iconv_t cd = to_wide ? iconv_open("UTF-16LE", name.c_str()) : iconv_open(name.c_str(), "UTF-16LE");
        map[key] = cd;
        return cd;
    }
};

thread_local converter_cache t_cache;

// Runs iconv over the whole input; on an invalid or incomplete sequence it
// writes 'fallback' and skips 'skip' input bytes.
void run_iconv(iconv_t cd, const char* in, std::size_t in_len, const std::string& fallback, std::size_t skip,
               std::string& out) {
    out.clear();
    std::vector<char> buf(4096);
    char* ip = const_cast<char*>(in);
    std::size_t il = in_len;
    while (il > 0) {
        char* op = buf.data();
        std::size_t ol = buf.size();
        std::size_t r = iconv(cd, &ip, &il, &op, &ol);
        out.append(buf.data(), static_cast<std::size_t>(op - buf.data()));
        if (r == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            out += fallback;
            std::size_t n = skip < il ? skip : il;
            ip += n;
            il -= n;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    char* op = buf.data();
    std::size_t ol = buf.size();
    iconv(cd, nullptr, nullptr, &op, &ol);
    out.append(buf.data(), static_cast<std::size_t>(op - buf.data()));
}

}  // namespace

unsigned ansi_code_page() {
    static const unsigned cp = [] {
        const char* e = std::getenv("ZEM_ANSI_CP");
        if (e && *e) {
            char* end = nullptr;
            unsigned long v = std::strtoul(e, &end, 10);
            if (end && *end == '\0' && v > 0 && v < 100000) return static_cast<unsigned>(v);
        }
        return 1252u;
    }();
    return cp;
}

std::string wide_to_utf16le(const std::wstring& in) {
    std::string out;
    out.resize(in.size() * 2);
    for (std::size_t i = 0; i < in.size(); ++i) {
        unsigned u = static_cast<unsigned>(in[i]) & 0xffff;
        out[2 * i] = static_cast<char>(u & 0xff);
        out[2 * i + 1] = static_cast<char>(u >> 8);
    }
    return out;
}

std::wstring utf16le_to_wide(const char* p, std::size_t bytes) {
    std::wstring out;
    out.resize(bytes / 2);
    for (std::size_t i = 0; i < bytes / 2; ++i)
        out[i] = static_cast<wchar_t>(static_cast<unsigned char>(p[2 * i]) |
                                      (static_cast<unsigned char>(p[2 * i + 1]) << 8));
    return out;
}

bool multibyte_to_wide(unsigned code_page, const std::string& in, std::wstring& out) {
    out.clear();
    if (in.empty()) return true;
    iconv_t cd = t_cache.get(code_page, true);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string le;
    run_iconv(cd, in.data(), in.size(), std::string("\xFD\xFF", 2), 1, le);
    out = utf16le_to_wide(le.data(), le.size());
    return true;
}

bool wide_to_multibyte(unsigned code_page, const std::wstring& in, std::string& out) {
    out.clear();
    if (in.empty()) return true;
    iconv_t cd = t_cache.get(code_page, false);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string le = wide_to_utf16le(in);
    run_iconv(cd, le.data(), le.size(), "?", 2, out);
    return true;
}

std::wstring ansi_to_wide(const std::string& in) {
    std::wstring out;
    multibyte_to_wide(ansi_code_page(), in, out);
    return out;
}

std::string wide_to_ansi(const std::wstring& in) {
    std::string out;
    wide_to_multibyte(ansi_code_page(), in, out);
    return out;
}

std::string utf16_to_utf8(const std::u16string& in) {
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        std::uint32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string utf8_to_utf16(const std::string& in) {
    std::wstring w;
    multibyte_to_wide(cp_utf8, in, w);
    std::u16string out;
    out.reserve(w.size());
    for (wchar_t c : w) out += static_cast<char16_t>(c);
    return out;
}

}  // namespace platform
