#pragma once
// Code-page conversion in the Windows sense: byte text in a numbered code page
// to and from UTF-16 code units. wide_string (std::wstring) holds one UTF-16
// unit per element whatever the width of wchar_t.
#include <string>

namespace platform {

constexpr unsigned cp_utf7 = 65000;
constexpr unsigned cp_utf8 = 65001;

// The system's ANSI code page: Windows-1252 unless ZEM_ANSI_CP names another.
unsigned ansi_code_page();

// Unconvertible input becomes U+FFFD (to wide) or '?' (to bytes), as the
// Windows converters do with their default characters; conversion never fails
// for a known code page. False only when the code page is unknown.
bool multibyte_to_wide(unsigned code_page, const std::string& in, std::wstring& out);
bool wide_to_multibyte(unsigned code_page, const std::wstring& in, std::string& out);

std::wstring ansi_to_wide(const std::string& in);
std::string wide_to_ansi(const std::wstring& in);

std::string utf16_to_utf8(const std::u16string& in);
std::u16string utf8_to_utf16(const std::string& in);

// UTF-16LE bytes (no terminator) of a wide string, and back.
std::string wide_to_utf16le(const std::wstring& in);
std::wstring utf16le_to_wide(const char* p, std::size_t bytes);

}  // namespace platform
