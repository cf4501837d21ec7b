#include "html/name_chars.h"

#include <boost/regex.hpp>
#include <vector>

namespace html {

namespace {

enum : unsigned char { name_bit = 1, word_bit = 2, space_bit = 4 };

template <class C>
std::vector<unsigned char> build_table(std::size_t size) {
    boost::regex_traits<C> traits;
    const C w[] = {C('w')};
    const C sp[] = {C('s')};
    auto word = traits.lookup_classname(w, w + 1);
    auto space = traits.lookup_classname(sp, sp + 1);
    std::vector<unsigned char> table(size, 0);
    for (std::size_t c = 0; c < size; ++c) {
        C ch = static_cast<C>(c);
        unsigned char f = 0;
        if (traits.isctype(ch, word)) f |= word_bit | name_bit;
        if (ch == C('!') || ch == C('?')) f |= name_bit;
        if (traits.isctype(ch, space)) f |= space_bit;
        table[c] = f;
    }
    return table;
}

unsigned char flags_of(char c) {
    static const std::vector<unsigned char> table = build_table<char>(256);
    return table[static_cast<unsigned char>(c)];
}

unsigned char flags_of(wchar_t c) {
    // UTF-16 units only; anything wider is not text we were given.
    static const std::vector<unsigned char> table = build_table<wchar_t>(65536);
    const auto u = static_cast<std::uint32_t>(c);
    return u < 65536 ? table[u] : 0;
}

}  // namespace

bool is_name_char(char c) { return flags_of(c) & name_bit; }
bool is_name_char(wchar_t c) { return flags_of(c) & name_bit; }
bool is_word_char(char c) { return flags_of(c) & word_bit; }
bool is_word_char(wchar_t c) { return flags_of(c) & word_bit; }
bool is_space_char(char c) { return flags_of(c) & space_bit; }
bool is_space_char(wchar_t c) { return flags_of(c) & space_bit; }

}  // namespace html
