#include "html/name_chars.h"

#include <boost/regex.hpp>
#include <vector>

namespace html {

namespace {

template <class C>
std::vector<bool> build_table(std::size_t size) {
    boost::regex_traits<C> traits;
    const C w[] = {C('w')};
    auto word = traits.lookup_classname(w, w + 1);
    std::vector<bool> table(size, false);
    for (std::size_t c = 0; c < size; ++c) {
        C ch = static_cast<C>(c);
        table[c] = ch == C('!') || ch == C('?') || traits.isctype(ch, word);
    }
    return table;
}

}  // namespace

bool is_name_char(char c) {
    static const std::vector<bool> table = build_table<char>(256);
    return table[static_cast<unsigned char>(c)];
}

bool is_name_char(wchar_t c) {
    // UTF-16 units only; anything wider is not text we were given.
    static const std::vector<bool> table = build_table<wchar_t>(65536);
    const auto u = static_cast<std::uint32_t>(c);
    return u < 65536 && table[u];
}

}  // namespace html
