// Keyword matcher under arbitrary keyword lists and texts. Input: one byte
// with the keyword count, then each keyword as a length byte and its bytes,
// then the text. Besides not crashing, the search must report offsets inside
// the text, a keyword from the list, and (when no keyword ends in a star after
// trimming) the same hit when the text is searched in two pieces with the
// partial tail carried over.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log/log.h"
#include "match/multiple_matcher.h"

namespace {

struct outcome {
    bool hit = false;
    std::string keyword;
    std::size_t start = 0, end = 0;
    bool partial = false;
};

outcome run(const multiple_matcher& m, const std::string& text) {
    outcome o;
    o.hit = m.search(text, o.keyword, o.start, o.end, o.partial);
    return o;
}

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        log_space::m_level = -1;  // keep override lines out of the fuzzer's output
        return true;
    }();
    (void)quiet;
    if (size == 0) return 0;
    std::size_t pos = 0;
    const std::size_t count = data[pos++] % 32;
    std::vector<std::string> words;
    bool poisoned = false;  // some keyword still ends in '*' once trimmed
    for (std::size_t k = 0; k < count && pos < size; ++k) {
        std::size_t len = data[pos++] % 24;
        if (len > size - pos) len = size - pos;
        std::string w(reinterpret_cast<const char*>(data + pos), len);
        pos += len;
        std::string t = w;
        if (!t.empty() && t.front() == '*') t.erase(0, 1);
        if (t.size() >= 2 && t.back() == '*' && t[t.size() - 2] == '*') poisoned = true;
        words.push_back(w);
    }
    const std::string text(reinterpret_cast<const char*>(data + pos), size - pos);

    multiple_matcher m;
    m.assign(words);
    const outcome whole = run(m, text);
    if (whole.hit) {
        check(whole.start <= whole.end && whole.end < text.size());
        check(!whole.partial);
        bool listed = false;
        for (const auto& w : words)
            if (w.find(whole.keyword) != std::string::npos) listed = true;
        check(listed);
    } else if (whole.partial) {
        check(whole.start < text.size());
    } else {
        check(whole.start == 0 && whole.end == 0);
    }
    if (poisoned || text.empty()) return 0;

    const std::size_t cut = data[0] % (text.size() + 1);
    const outcome first = run(m, text.substr(0, cut));
    if (first.hit) {
        check(whole.hit && first.keyword == whole.keyword && first.start == whole.start && first.end == whole.end);
        return 0;
    }
    const std::size_t base = first.partial ? first.start : cut;
    const outcome rest = run(m, text.substr(base));
    check(rest.hit == whole.hit);
    if (whole.hit) check(rest.keyword == whole.keyword && rest.start + base == whole.start && rest.end + base == whole.end);
    return 0;
}
