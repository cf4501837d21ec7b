#pragma once
// ASCII case folding and hex digits for protocol text, the same for narrow
// and wide code units; other characters are left as they are.
#include <cstddef>
#include <string>

template <class C>
constexpr C ascii_lower(C c) {
    return (c >= C('A') && c <= C('Z')) ? static_cast<C>(c + ('a' - 'A')) : c;
}

// Whether 'lower_word' (lower case) stands at 'at' in 's', ignoring the case
// of ASCII letters.
template <class C>
bool ascii_folded_at(const std::basic_string<C>& s, std::size_t at, const char* lower_word) {
    for (std::size_t k = 0; lower_word[k]; ++k, ++at) {
        if (at >= s.size() || ascii_lower(s[at]) != C(lower_word[k])) return false;
    }
    return true;
}

// The value of a hex digit, or -1.
template <class C>
constexpr int hex_value(C c) {
    return (c >= C('0') && c <= C('9'))   ? int(c - C('0'))
           : (c >= C('a') && c <= C('f')) ? int(c - C('a')) + 10
           : (c >= C('A') && c <= C('F')) ? int(c - C('A')) + 10
                                          : -1;
}
