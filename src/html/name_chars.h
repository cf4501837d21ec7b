#pragma once
// The characters a tag name is made of: the regular-expression class
// [\w!?] as the expression engine defines it for the character type.
#include <cstdint>

namespace html {

bool is_name_char(char c);
bool is_name_char(wchar_t c);
// \w and \s of the expression engine.
bool is_word_char(char c);
bool is_word_char(wchar_t c);
bool is_space_char(char c);
bool is_space_char(wchar_t c);

}  // namespace html
