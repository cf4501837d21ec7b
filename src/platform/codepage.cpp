// Conversions between UTF-16 and UTF-8 and the little-endian wire form, the
// same on every system; the numbered code pages are the platform's.
#include "platform/codepage.h"

#include <cstdint>

namespace platform {

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
