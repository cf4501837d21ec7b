#include "html/name_chars.h"

#include <boost/regex.hpp>
#include <vector>

namespace html {
namespace char_class {

namespace {

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

}  // namespace

const unsigned char* narrow_table() {
    static const std::vector<unsigned char> table = build_table<char>(256);
    return table.data();
}

const unsigned char* wide_table() {
    static const std::vector<unsigned char> table = build_table<wchar_t>(65536);
    return table.data();
}

}  // namespace char_class
}  // namespace html
