#pragma once
// ASCII case folding and hex digits for protocol text, the same for narrow
// and wide code units; other characters are left as they are.
#include <cstddef>
#include <cstring>
#include <string>

template <class C>
constexpr C ascii_lower(C c) {
    return (c >= C('A') && c <= C('Z')) ? static_cast<C>(c + ('a' - 'A')) : c;
}

template <class C>
constexpr C ascii_upper(C c) {
    return (c >= C('a') && c <= C('z')) ? static_cast<C>(c - ('a' - 'A')) : c;
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

// Whether 'lower_word' (lower case) opens the n code units at 'p', ignoring
// the case of ASCII letters.
template <class C>
bool ascii_starts_folded(const C* p, std::size_t n, const char* lower_word) {
    for (std::size_t k = 0; lower_word[k]; ++k) {
        if (k >= n || ascii_lower(p[k]) != C(lower_word[k])) return false;
    }
    return true;
}

// Whether the n code units at 'p' are exactly 'word', ignoring the case of
// ASCII letters on both sides.
template <class C>
bool ascii_iequal(const C* p, std::size_t n, const char* word) {
    std::size_t k = 0;
    for (; k < n && word[k]; ++k)
        if (ascii_lower(p[k]) != C(ascii_lower(word[k]))) return false;
    return k == n && !word[k];
}

template <class C>
bool ascii_iequal(const std::basic_string<C>& s, const char* word) {
    return ascii_iequal(s.data(), s.size(), word);
}

// Where 'lower_word' (lower case) first stands in 's' from 'from', ignoring
// the case of ASCII letters; npos when nowhere.
template <class C>
std::size_t ascii_find_folded(const std::basic_string<C>& s, const char* lower_word, std::size_t from = 0) {
    const std::size_t n = std::strlen(lower_word);
    for (std::size_t i = from; i + n <= s.size(); ++i)
        if (ascii_folded_at(s, i, lower_word)) return i;
    return std::basic_string<C>::npos;
}

// The value of a hex digit, or -1.
template <class C>
constexpr int hex_value(C c) {
    return (c >= C('0') && c <= C('9'))   ? int(c - C('0'))
           : (c >= C('a') && c <= C('f')) ? int(c - C('a')) + 10
           : (c >= C('A') && c <= C('F')) ? int(c - C('A')) + 10
                                          : -1;
}
