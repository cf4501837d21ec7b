#include "platform/codepage.h"

#include <windows.h>

#include <climits>

namespace platform {
namespace {

constexpr unsigned cp_utf16le = 1200;
constexpr unsigned cp_utf16be = 1201;

// The system converters do not take the UTF-16 code pages (they are only
// offered to managed code); mail names them, so the byte order is done here.
// An odd last byte is unconvertible, as everywhere else.
void utf16_bytes_to_wide(const std::string& in, bool big_endian, std::wstring& out) {
    out.resize(in.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const unsigned a = static_cast<unsigned char>(in[2 * i]);
        const unsigned b = static_cast<unsigned char>(in[2 * i + 1]);
        out[i] = static_cast<wchar_t>(big_endian ? (a << 8) | b : (b << 8) | a);
    }
    if (in.size() % 2) out += static_cast<wchar_t>(0xFFFD);
}

void wide_to_utf16_bytes(const std::wstring& in, bool big_endian, std::string& out) {
    out.resize(in.size() * 2);
    for (std::size_t i = 0; i < in.size(); ++i) {
        const unsigned u = static_cast<unsigned>(in[i]) & 0xffff;
        out[2 * i + (big_endian ? 1 : 0)] = static_cast<char>(u & 0xff);
        out[2 * i + (big_endian ? 0 : 1)] = static_cast<char>(u >> 8);
    }
}

bool is_base64(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Appends the conversion of [p, p + len) to 'out'. No MB_ERR_INVALID_CHARS:
// invalid input becomes the default character (U+FFFD for UTF-8) instead of
// failing the whole text.
bool convert_to_wide(unsigned code_page, const char* p, int len, std::wstring& out) {
    if (len == 0) return true;
    SetLastError(ERROR_SUCCESS);
    const int n = MultiByteToWideChar(code_page, 0, p, len, nullptr, 0);
    // Zero is also the length of text that yields no character (a UTF-7
    // run such as "+A-" holds fewer than 16 bits); only an unknown code
    // page or bad arguments are failures.
    if (n == 0) return GetLastError() != ERROR_INVALID_PARAMETER && GetLastError() != ERROR_INVALID_FLAGS;
    if (n < 0) return false;
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n));
    const int done = MultiByteToWideChar(code_page, 0, p, len, &out[at], n);
    if (done <= 0) {
        out.resize(at);
        return false;
    }
    out.resize(at + static_cast<std::size_t>(done));
    return true;
}

}  // namespace

unsigned ansi_code_page() { return GetACP(); }

bool multibyte_to_wide(unsigned code_page, const std::string& in, std::wstring& out) {
    out.clear();
    if (in.empty()) return true;
    if (code_page == cp_utf16le || code_page == cp_utf16be) {
        utf16_bytes_to_wide(in, code_page == cp_utf16be, out);
        return true;
    }
    if (in.size() > static_cast<std::size_t>(INT_MAX)) return false;
    if (code_page != cp_utf7) return convert_to_wide(code_page, in.data(), static_cast<int>(in.size()), out);
    // UTF-7 run by run: bits left over at the end of a shifted run are
    // dropped (RFC 2152), but some converters (Wine's) carry them into the
    // next run; converting each run on its own gives the same text
    // everywhere, and the same text whether it arrives whole or in pieces.
    std::size_t start = 0;
    bool shifted = false;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (!shifted) {
            shifted = c == '+';
        } else if (!is_base64(c)) {
            shifted = false;  // the run ends here ("-" is absorbed by it)
            if (!convert_to_wide(code_page, in.data() + start, static_cast<int>(i + 1 - start), out)) return false;
            start = i + 1;
        }
    }
    return start == in.size() ||
           convert_to_wide(code_page, in.data() + start, static_cast<int>(in.size() - start), out);
}

bool wide_to_multibyte(unsigned code_page, const std::wstring& in, std::string& out) {
    out.clear();
    if (in.empty()) return true;
    if (code_page == cp_utf16le || code_page == cp_utf16be) {
        wide_to_utf16_bytes(in, code_page == cp_utf16be, out);
        return true;
    }
    if (in.size() > static_cast<std::size_t>(INT_MAX / 4)) return false;
    const int in_len = static_cast<int>(in.size());
    // Default flags and default character: what cannot be represented
    // becomes '?' (UTF-7 and UTF-8 represent everything).
    const int n = WideCharToMultiByte(code_page, 0, in.data(), in_len, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    out.resize(static_cast<std::size_t>(n));
    const int done = WideCharToMultiByte(code_page, 0, in.data(), in_len, &out[0], n, nullptr, nullptr);
    if (done <= 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<std::size_t>(done));
    return true;
}

}  // namespace platform
