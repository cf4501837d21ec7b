#pragma once
// Character classes of the expression engine, as tables for the scanners:
// the tag-name class [\w!?], \w and \s, for narrow bytes and UTF-16 units.
#include <cstdint>

namespace html {

namespace char_class {
enum : unsigned char { name_bit = 1, word_bit = 2, space_bit = 4 };
// 256 entries for bytes, 65536 for UTF-16 units; built once.
const unsigned char* narrow_table();
const unsigned char* wide_table();

inline unsigned char flags(char c) {
    static const unsigned char* const t = narrow_table();
    return t[static_cast<unsigned char>(c)];
}
inline unsigned char flags(wchar_t c) {
    static const unsigned char* const t = wide_table();
    const auto u = static_cast<std::uint32_t>(c);
    return u < 65536 ? t[u] : 0;  // anything wider is not UTF-16 text
}
}  // namespace char_class

// The name test with its table looked up once, for scanners' inner loops.
template <class C>
struct name_test;
template <>
struct name_test<char> {
    const unsigned char* table = char_class::narrow_table();
    bool operator()(char c) const { return table[static_cast<unsigned char>(c)] & char_class::name_bit; }
};
template <>
struct name_test<wchar_t> {
    const unsigned char* table = char_class::wide_table();
    bool operator()(wchar_t c) const {
        const auto u = static_cast<std::uint32_t>(c);
        return u < 65536 && (table[u] & char_class::name_bit);
    }
};

inline bool is_name_char(char c) { return char_class::flags(c) & char_class::name_bit; }
inline bool is_name_char(wchar_t c) { return char_class::flags(c) & char_class::name_bit; }
inline bool is_word_char(char c) { return char_class::flags(c) & char_class::word_bit; }
inline bool is_word_char(wchar_t c) { return char_class::flags(c) & char_class::word_bit; }
inline bool is_space_char(char c) { return char_class::flags(c) & char_class::space_bit; }
inline bool is_space_char(wchar_t c) { return char_class::flags(c) & char_class::space_bit; }

}  // namespace html
