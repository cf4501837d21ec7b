#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

namespace platform {
namespace {

std::string iconv_name(unsigned cp) {
    switch (cp) {
        case 1200:
            return "UTF-16LE";
        case 1201:
            return "UTF-16BE";
        case 20127:
            return "ASCII";
        case 20866:
            return "KOI8-R";
        case 21866:
            return "KOI8-U";
        case 50220:
            return "ISO-2022-JP";
        case 51932:
            return "EUC-JP";
        case 51949:
            return "EUC-KR";
        case 54936:
            return "GB18030";
        case 65000:
            return "UTF-7";
        case 65001:
            return "UTF-8";
        default:
            break;
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

// Code pages whose bytes 0x00-0x7F are ASCII, one for one, in both
// directions: text wholly in that range converts without iconv (links,
// host names and keywords nearly always are).
bool ascii_superset(unsigned cp) {
    switch (cp) {
        case 437:
        case 850:
        case 852:
        case 866:
        case 874:
        case 932:
        case 936:
        case 949:
        case 950:
        case 20127:
        case 20866:
        case 21866:
        case 51932:
        case 51949:
        case 54936:
        case 65001:
            return true;
        default:
            return (cp >= 1250 && cp <= 1258) || (cp >= 28591 && cp <= 28599) || (cp >= 28603 && cp <= 28606);
    }
}

template <class S>
bool all_ascii(const S& s) {
    for (auto c : s)
        if (static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<decltype(c)>>(c)) >= 0x80) return false;
    return true;
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

bool multibyte_to_wide(unsigned code_page, const std::string& in, std::wstring& out) {
    out.clear();
    if (in.empty()) return true;
    if (ascii_superset(code_page) && all_ascii(in)) {
        out.assign(in.begin(), in.end());
        return true;
    }
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
    if (ascii_superset(code_page) && all_ascii(in)) {
        out.assign(in.begin(), in.end());
        return true;
    }
    iconv_t cd = t_cache.get(code_page, false);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string le = wide_to_utf16le(in);
    run_iconv(cd, le.data(), le.size(), "?", 2, out);
    return true;
}

}  // namespace platform
