#include "match/multiple_matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kit/kit.h"
#include "kit/log_capture.h"
#include "log/log.h"

namespace {

struct result {
    bool hit = false;
    std::string keyword;
    std::size_t start = 0;
    std::size_t end = 0;
    bool partial = false;
};

// "keyword start-end" of a hit, or "no hit".
std::string hit_of(const result& r) {
    if (!r.hit) return "no hit";
    return r.keyword + " " + std::to_string(r.start) + "-" + std::to_string(r.end);
}

result run(const multiple_matcher& m, const std::string& text) {
    result r;
    r.hit = m.search(text, r.keyword, r.start, r.end, r.partial);
    return r;
}

multiple_matcher make(const std::vector<std::string>& words) {
    multiple_matcher m;
    m.assign(words);
    return m;
}

class multiple_matcher_test : public ::testing::Test {
protected:
    int count_containing(const std::string& what) const { return log.count(what); }
    kit::log_capture log{0};
};

// A plain rendering of the cursor search over string prefixes, with no shared
// tree, no folding of cursors and no lookup tables: what the matcher must agree
// with on every input.
struct reference_matcher {
    std::set<std::string> kept;      // surviving keywords
    std::set<std::string> prefixes;  // every non-empty prefix of a kept keyword

    explicit reference_matcher(const std::vector<std::string>& words) {
        std::vector<std::string> norm;
        for (std::string w : words) {
            if (w.empty() || w.find_first_not_of('*') == std::string::npos) continue;
            if (w.front() == '*') w.erase(0, 1);
            if (!w.empty() && w.back() == '*') w.pop_back();
            if (!w.empty()) norm.push_back(w);
        }
        for (const auto& w : norm) {
            bool shadowed = false;
            for (const auto& o : norm)
                if (o.size() < w.size() && w.compare(0, o.size(), o) == 0) shadowed = true;
            if (!shadowed) kept.insert(w);
        }
        for (const auto& w : kept)
            for (std::size_t n = 1; n <= w.size(); ++n) prefixes.insert(w.substr(0, n));
    }
    bool exists(const std::string& p) const { return prefixes.count(p) != 0; }
    bool leaf(const std::string& p) const { return kept.count(p) != 0; }

    // error = the search stopped on a keyword ending in a star.
    result search(const std::string& text, bool& error) const {
        result r;
        error = false;
        if (kept.empty()) return r;
        struct cur {
            std::size_t start;
            std::string node;
        };
        std::vector<cur> list;
        for (std::size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c == '*' || c == '?') continue;
            list.push_back({i, ""});
            for (std::size_t k = 0; k < list.size(); ++k) {
                std::string n = list[k].node;
                if (exists(n + c)) {
                    if (leaf(n + c)) {
                        r.hit = true;
                        r.keyword = n + c;
                        r.start = list[k].start;
                        r.end = i;
                        return r;
                    }
                    list[k].node = n + c;
                    continue;
                }
                if (!n.empty() && n.back() == '*') continue;
                bool moved = false;
                if (exists(n + '?')) {
                    if (leaf(n + '?')) {
                        r.hit = true;
                        r.keyword = n + '?';
                        r.start = list[k].start;
                        r.end = i;
                        return r;
                    }
                    list[k].node = n + '?';
                    moved = true;
                }
                if (exists(n + '*')) {
                    if (leaf(n + '*')) {
                        error = true;
                        return result();
                    }
                    if (moved) {
                        list.insert(list.begin() + static_cast<std::ptrdiff_t>(k), cur{list[k].start, n + '*'});
                        ++k;  // the inserted cursor is not visited at this offset
                    } else {
                        list[k].node = n + '*';
                        moved = true;
                    }
                }
                if (!moved) {
                    list.erase(list.begin() + static_cast<std::ptrdiff_t>(k));
                    --k;
                }
            }
        }
        if (!list.empty()) {
            r.partial = true;
            r.start = list.front().start;
            for (const auto& c : list) r.start = std::min(r.start, c.start);
        }
        return r;
    }
};

std::string random_word(std::mt19937& rng, const std::string& alphabet, std::size_t max_len) {
    std::uniform_int_distribution<std::size_t> len(0, max_len);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string w(len(rng), ' ');
    for (auto& ch : w) ch = alphabet[pick(rng)];
    return w;
}

}  // namespace

TEST_F(multiple_matcher_test, literal_hit_reports_keyword_start_and_end) {
    auto m = make({"advert", "banner"});
    result r = run(m, "see the banner here");
    EXPECT_TRUE(r.hit);
    EXPECT_EQ(r.keyword, "banner");
    EXPECT_EQ(r.start, 8u);
    EXPECT_EQ(r.end, 13u);
    EXPECT_FALSE(r.partial);

    // Outputs are reset on entry; the keyword is left alone on a miss.
    std::string kw = "previous";
    std::size_t start = 77, end = 88;
    bool partial = true;
    EXPECT_FALSE(m.search(std::string("nothing to see"), kw, start, end, partial));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 0u);
    EXPECT_FALSE(partial);
    EXPECT_EQ(kw, "previous");
}

TEST_F(multiple_matcher_test, star_never_backtracks) {
    auto m = make({"a*bc"});
    EXPECT_FALSE(run(m, "axbxbc").hit);
    result r = run(m, "axbc");
    EXPECT_TRUE(r.hit);
    EXPECT_EQ(r.keyword, "a*bc");
    EXPECT_EQ(r.start, 0u);
    EXPECT_EQ(r.end, 3u);
    r = run(m, "zaxxxxbc");
    EXPECT_TRUE(r.hit);
    EXPECT_EQ(r.start, 1u);
    EXPECT_EQ(r.end, 7u);
}

TEST_F(multiple_matcher_test, star_needs_at_least_one_character) {
    auto m = make({"*ban*ner"});
    EXPECT_FALSE(run(m, "banner").hit);
    result r = run(m, "banXner");
    EXPECT_EQ(hit_of(r), "ban*ner 0-6");
    EXPECT_TRUE(run(m, "banXXner").hit);
    // "banner": the star swallowed the second n and waits for another one.
    r = run(m, "banner");
    EXPECT_TRUE(r.partial);
    EXPECT_EQ(r.start, 0u);
}

TEST_F(multiple_matcher_test, leading_and_trailing_star_are_trimmed_once) {
    auto m = make({"*banner*"});
    result r = run(m, "xbannerx");
    EXPECT_EQ(hit_of(r), "banner 1-6");
    EXPECT_EQ(m.keyword_count(), 1u);
    // A keyword that keeps a leading star after trimming needs a byte before it.
    auto m2 = make({"**ad"});
    EXPECT_FALSE(run(m2, "ad").hit);
    r = run(m2, "xad");
    EXPECT_EQ(hit_of(r), "*ad 0-2");
}

TEST_F(multiple_matcher_test, question_mark_takes_exactly_one_character) {
    auto m = make({"b?d"});
    result r = run(m, "bad");
    EXPECT_EQ(hit_of(r), "b?d 0-2");
    EXPECT_FALSE(run(m, "bd").hit);
    EXPECT_FALSE(run(m, "baad").hit);
    // A keyword ending in '?' completes on any byte.
    auto m2 = make({"ab?"});
    r = run(m2, "xxabQ");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.start, 2u);
    EXPECT_EQ(r.end, 4u);
}

TEST_F(multiple_matcher_test, wildcards_in_text_are_skipped) {
    auto m = make({"bad"});
    result r = run(m, "b*ad");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.start, 0u);
    EXPECT_EQ(r.end, 3u);
    r = run(m, "?b?a*d");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.start, 1u);
    EXPECT_EQ(r.end, 5u);
    // A text wildcard is not a character for '?' either.
    auto m2 = make({"x?y"});
    EXPECT_FALSE(run(m2, "x*y").hit);
    EXPECT_FALSE(run(m2, "x?y").hit);
    EXPECT_TRUE(run(m2, "x*?-y").hit);
}

TEST_F(multiple_matcher_test, first_hit_in_text_order_wins) {
    auto m = make({"abcd", "bc"});
    result r = run(m, "abcd");
    EXPECT_EQ(hit_of(r), "bc 1-2");
    // Two keywords completing on the same byte: the earlier attempt wins.
    auto m2 = make({"bc", "abc"});
    r = run(m2, "abc");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.keyword, "abc");
    EXPECT_EQ(r.start, 0u);
}

TEST_F(multiple_matcher_test, literal_child_is_preferred_without_backtracking) {
    // At "ab" the literal branch is taken, so "a?c" is never tried on "abc".
    auto m = make({"a?c", "abd"});
    result r = run(m, "abc");
    EXPECT_FALSE(r.hit);
    EXPECT_FALSE(r.partial);
    EXPECT_TRUE(run(m, "axc").hit);
    EXPECT_EQ(run(m, "abd").keyword, "abd");
}

TEST_F(multiple_matcher_test, partial_reports_earliest_live_start) {
    auto m = make({"advert"});
    result r = run(m, "see adve");
    EXPECT_FALSE(r.hit);
    EXPECT_TRUE(r.partial);
    EXPECT_EQ(r.start, 4u);

    auto m2 = make({"abab", "bax"});
    r = run(m2, "zabab");  // hit
    EXPECT_TRUE(r.hit);
    r = run(m2, "zaba");  // "aba" from 1 and "ba" from 2 alive
    EXPECT_TRUE(r.partial);
    EXPECT_EQ(r.start, 1u);
    r = run(m2, "zzz");
    EXPECT_FALSE(r.partial);
    EXPECT_EQ(r.start, 0u);
}

TEST_F(multiple_matcher_test, case_sensitive) {
    auto m = make({"Casino"});
    EXPECT_FALSE(run(m, "casino").hit);
    EXPECT_TRUE(run(m, "Casino").hit);
}

TEST_F(multiple_matcher_test, empty_list_never_hits_or_reports_partial) {
    multiple_matcher fresh;
    EXPECT_TRUE(fresh.empty());
    EXPECT_FALSE(run(fresh, "anything").hit);
    EXPECT_FALSE(run(fresh, "anything").partial);
    auto m = make({"", "*", "**", "***", "*****"});
    EXPECT_TRUE(m.empty());
    EXPECT_FALSE(run(m, "a*b?c").hit);
    EXPECT_FALSE(run(m, "abc").partial);
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
    // Reassigning replaces the list.
    m.assign(std::vector<std::string>{"zz"});
    EXPECT_TRUE(run(m, "azz").hit);
    m.assign(std::vector<std::string>{});
    EXPECT_FALSE(run(m, "azz").hit);
}

TEST_F(multiple_matcher_test, override_keeps_shorter_keyword_in_either_order) {
    auto longer_first = make({"advert", "ad"});
    ASSERT_EQ(count_containing("Keyword ad overrides other keywords, minium 1 times, ignored them.\n"), 1);
    log.clear();
    auto shorter_first = make({"ad", "advert"});
    ASSERT_EQ(count_containing("Keyword advert overrided by keyword ad, ignorred.\n"), 1);
    for (auto* m : {&longer_first, &shorter_first}) {
        EXPECT_EQ(m->keyword_count(), 1u);
        result r = run(*m, "the advert");
        EXPECT_EQ(hit_of(r), "ad 4-5");
    }
    // The dropped subtree is really gone: "adx" no longer hides behind "ad".
    auto m = make({"abc", "abd", "ab", "abd"});
    EXPECT_EQ(m.keyword_count(), 1u);
    EXPECT_EQ(count_containing("Keyword abd overrided by keyword ab, ignorred.\n"), 1);
    EXPECT_EQ(run(m, "xabd").keyword, "ab");
    // A duplicate overrides itself.
    log.clear();
    auto dup = make({"same", "same"});
    EXPECT_EQ(count_containing("Keyword same overrided by keyword same, ignorred.\n"), 1);
    EXPECT_EQ(dup.keyword_count(), 1u);
}

TEST_F(multiple_matcher_test, override_lines_are_verbosity_zero) {
    log_space::m_level = -1;
    auto m = make({"ad", "advert"});
    EXPECT_EQ(count_containing("overrided"), 0);
    log_space::m_level = 0;
    auto m2 = make({"ad", "advert"});
    EXPECT_EQ(count_containing("overrided"), 1);
}

TEST_F(multiple_matcher_test, keyword_ending_in_star_stops_the_search_with_an_error) {
    // "a**" is stored as "a*": the search gives up when a cursor at "a" meets a
    // byte that "a" has no literal child for.
    auto m = make({"a**", "zz", "ab"});
    result r = run(m, "xaczz");
    EXPECT_FALSE(r.hit);
    EXPECT_FALSE(r.partial);
    ASSERT_EQ(count_containing("Erorr!!! common/inc/multiple_matcher ln:"), 1);
    EXPECT_EQ(count_containing(" Mask cant' ends with '*' symbol\n"), 1);
    log.clear();
    // A literal child takes the byte first, and texts that never reach "a"
    // search normally.
    EXPECT_TRUE(run(m, "xabq").hit);
    EXPECT_EQ(run(m, "yyzz").keyword, "zz");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(multiple_matcher_test, question_and_star_siblings_both_go_on) {
    auto m = make({"a?c", "a*d"});
    // '?' reading: a x c.
    result r = run(m, "axc");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.keyword, "a?c");
    // Star reading after the split; the hit starts where the keyword starts.
    r = run(m, "axyd");
    EXPECT_EQ(hit_of(r), "a*d 0-3");
    // The '?' attempt dies at 'y'; the star attempt is still alive and keeps
    // the keyword's start so that a caller's carried tail still holds the 'a'.
    r = run(m, "--axy");
    EXPECT_FALSE(r.hit);
    EXPECT_TRUE(r.partial);
    EXPECT_EQ(r.start, 2u);
}

TEST_F(multiple_matcher_test, eight_bit_and_nul_bytes_are_ordinary) {
    std::string nul_word("a\0b", 3);
    std::string high_word("\xE9t\xE9", 3);
    auto m = make({nul_word, high_word, "\xFF?\x80"});
    result r = run(m, std::string("xxa\0b", 5));
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.keyword, nul_word);
    EXPECT_EQ(r.start, 2u);
    EXPECT_EQ(r.end, 4u);
    EXPECT_EQ(run(m, "caf\xE9t\xE9").keyword, high_word);
    EXPECT_EQ(run(m, "\xFF\x01\x80").keyword, "\xFF?\x80");
    EXPECT_FALSE(run(m, std::string("a\0c", 3)).hit);
}

TEST_F(multiple_matcher_test, wide_assign_converts_with_ansi_code_page) {
    multiple_matcher m;
    std::list<wide_string> words{L"caf\u00e9", L"*ba?d*"};
    m.assign(words);
    EXPECT_EQ(run(m, "un caf\xE9").keyword, "caf\xE9");
    EXPECT_EQ(run(m, "xbaQd").keyword, "ba?d");
    std::vector<wide_string> v{L"z\u00fcrich"};
    m.assign(v);
    EXPECT_EQ(m.keyword_count(), 1u);
    EXPECT_TRUE(run(m, "Z z\xFCrich").hit);
}

TEST_F(multiple_matcher_test, keyword_of_walks_from_the_root) {
    auto m = make({"ab?", "a*x", "abcd", "q", "abc"});
    EXPECT_EQ(m.keyword_of(multiple_matcher::root_node), "");
    EXPECT_EQ(m.keyword_of(m.root().children.at('a')), "a");
    // Every leaf spells one kept keyword; inner nodes never end one.
    std::multiset<std::string> leaves;
    std::vector<std::uint32_t> stack{multiple_matcher::root_node};
    while (!stack.empty()) {
        std::uint32_t n = stack.back();
        stack.pop_back();
        const auto& nd = m.node_at(n);
        EXPECT_EQ(nd.has_children, !nd.children.empty());
        if (n != multiple_matcher::root_node && !nd.has_children) leaves.insert(m.keyword_of(n));
        for (const auto& kv : nd.children) {
            EXPECT_EQ(m.node_at(kv.second).parent, n);
            EXPECT_EQ(m.node_at(kv.second).ch, kv.first);
            stack.push_back(kv.second);
        }
    }
    EXPECT_EQ(leaves, (std::multiset<std::string>{"ab?", "a*x", "abc", "q"}));
    EXPECT_EQ(m.keyword_count(), 4u);
}

TEST_F(multiple_matcher_test, many_keywords_and_huge_inputs_stay_correct) {
    std::vector<std::string> words;
    for (int i = 0; i < 5000; ++i) words.push_back("kw" + std::to_string(i * 7919 % 100000) + "x");
    words.push_back("p" + std::string(100000, 'q') + "!");  // deep tree, no recursion
    words.push_back("m*z");                                 // a star that stays alive
    auto m = make(words);
    EXPECT_EQ(m.keyword_count(), words.size());
    result r = run(m, "zzkw" + std::to_string(4999 * 7919 % 100000) + "x");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.start, 2u);

    std::string deep = "--p" + std::string(100000, 'q') + "!";
    r = run(m, deep);
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.start, 2u);
    EXPECT_EQ(r.end, deep.size() - 1);

    // Every 'm' starts an attempt that waits for a 'z'; they are all at one
    // node, so this stays one pass, and the partial start is the first 'm'.
    std::string many(400000, 'm');
    r = run(m, "ab" + many);
    EXPECT_FALSE(r.hit);
    EXPECT_TRUE(r.partial);
    EXPECT_EQ(r.start, 2u);
    r = run(m, "ab" + many + "z");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.keyword, "m*z");
    EXPECT_EQ(r.start, 2u);
    r = run(m, "p" + std::string(5000, 'q') + "kw0x");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.keyword, "kw0x");
}

// A keyword that keeps matching its own prefix ("aaaa...") leaves one attempt
// alive per text byte. Past the bound on attempts in flight, no new attempt
// starts until one ends; the earliest attempts still complete.
TEST_F(multiple_matcher_test, attempts_in_flight_are_bounded) {
    const std::size_t bound = multiple_matcher::max_live_cursors;
    auto m = make({std::string(3 * bound, 'a') + "!", "b"});
    std::string text(20000, 'a');
    result r = run(m, text);
    EXPECT_FALSE(r.hit);
    EXPECT_TRUE(r.partial);
    // Every attempt alive at the end began within the keyword's reach.
    EXPECT_GE(r.start, text.size() - 3 * bound);
    EXPECT_LT(r.start, text.size());
    // The oldest attempt completes the long keyword exactly.
    std::string exact = "x" + std::string(3 * bound, 'a') + "!";
    r = run(m, exact);
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.start, 1u);
    EXPECT_EQ(r.end, exact.size() - 1);
    // Below the bound nothing is lost: a short keyword starting while
    // bound - 1 attempts are in flight is found.
    r = run(m, std::string(bound - 1, 'a') + "b");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.keyword, "b");
    EXPECT_EQ(r.start, bound - 1);
    // With the bound reached, a 'b' arriving then starts no attempt.
    r = run(m, std::string(bound, 'a') + "b");
    EXPECT_FALSE(r.hit);
    // Those attempts all end on that 'b', so the next one is found again.
    r = run(m, std::string(bound, 'a') + "bb");
    ASSERT_TRUE(r.hit);
    EXPECT_EQ(r.start, bound + 1);
}

// Lists with wildcards run on the cursors, lists without on the automaton;
// both must agree with the reference, the hit's start counting the text's
// skipped wildcard characters.
static void check_against_reference(std::uint32_t seed, const std::string& word_alphabet, bool literal) {
    std::mt19937 rng(seed);
    const std::string text_alphabet = "abcd*?";
    int hits = 0, partials = 0, errors = 0, automata = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> words;
        std::size_t n = 1 + rng() % 6;
        for (std::size_t k = 0; k < n; ++k) words.push_back(random_word(rng, word_alphabet, 6));
        reference_matcher ref(words);
        auto m = make(words);
        ASSERT_EQ(m.keyword_count(), ref.kept.size()) << "round " << round;
        bool plain = !ref.kept.empty();
        for (const auto& w : ref.kept) plain = plain && w.find_first_of("*?") == std::string::npos;
        ASSERT_EQ(m.automaton(), plain) << "round " << round;
        automata += m.automaton();
        // The same list kept on the cursors (no room for the automaton).
        multiple_matcher cursors;
        cursors.set_automaton_limit(0);
        cursors.assign(words);
        ASSERT_FALSE(cursors.automaton());
        for (int t = 0; t < 8; ++t) {
            std::string text = random_word(rng, text_alphabet, 24);
            bool error = false;
            result want = ref.search(text, error);
            result got = run(m, text);
            SCOPED_TRACE("round " + std::to_string(round) + " text '" + text + "'");
            const result other = run(cursors, text);
            ASSERT_EQ(other.hit, got.hit);
            ASSERT_EQ(other.partial, got.partial);
            ASSERT_EQ(other.start, got.start);
            ASSERT_EQ(other.end, got.end);
            ASSERT_EQ(other.keyword, got.keyword);
            ASSERT_EQ(got.hit, want.hit);
            ASSERT_EQ(got.partial, want.partial);
            ASSERT_EQ(got.start, want.start);
            if (want.hit) {
                ASSERT_EQ(got.keyword, want.keyword);
                ASSERT_EQ(got.end, want.end);
            }
            hits += want.hit;
            partials += want.partial;
            errors += error;
        }
    }
    // The generator must exercise every outcome.
    EXPECT_GT(hits, 1000);
    EXPECT_GT(partials, 1000);
    if (literal) {
        EXPECT_GT(automata, 2500);
    } else {
        EXPECT_GT(errors, 50);
    }
}

TEST_F(multiple_matcher_test, agrees_with_plain_cursor_list_on_random_input) {
    check_against_reference(kit::test_seed(), "abc?*", false);
    check_against_reference(kit::test_seed() + 2, "abc", true);
}

// A caller fed in pieces keeps the text from the partial start and searches it
// again with the next piece: at every split point it must find what a search
// of the whole text finds.
TEST_F(multiple_matcher_test, carried_tail_finds_the_same_hit_at_every_split) {
    std::mt19937 rng(kit::test_seed() + 1);
    const std::string word_alphabet = "abc?*";
    const std::string text_alphabet = "abcd";
    int checked = 0;
    for (int round = 0; round < 600; ++round) {
        std::vector<std::string> words;
        std::size_t n = 1 + rng() % 5;
        for (std::size_t k = 0; k < n; ++k) {
            std::string w = random_word(rng, word_alphabet, 5);
            while (!w.empty() && w.back() == '*') w.pop_back();  // no poisoned masks here
            words.push_back(w);
        }
        auto m = make(words);
        std::string text = random_word(rng, text_alphabet, 30);
        result whole = run(m, text);
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            SCOPED_TRACE("round " + std::to_string(round) + " text '" + text + "' cut " + std::to_string(cut));
            result first = run(m, text.substr(0, cut));
            result got;
            std::size_t base = 0;
            if (first.hit) {
                got = first;
            } else {
                base = first.partial ? first.start : cut;
                got = run(m, text.substr(base));
            }
            ASSERT_EQ(got.hit, whole.hit);
            if (whole.hit) {
                ASSERT_EQ(got.keyword, whole.keyword);
                ASSERT_EQ(got.start + base, whole.start);
                ASSERT_EQ(got.end + base, whole.end);
            } else {
                ASSERT_EQ(got.partial, whole.partial);
                if (whole.partial) {
                    ASSERT_EQ(got.start + base, whole.start);
                }
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 5000);
}
