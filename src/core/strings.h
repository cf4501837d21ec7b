#pragma once
#include <string>

// Raw bytes or narrow text in the system's ANSI code page.
using byte_string = std::string;
// UTF-16 text, one code unit per element (surrogates included).
using wide_string = std::wstring;
