#pragma once
// Finds, in one pass over a text, the first occurrence of any of a set of
// keywords. A keyword may hold the wildcards '?' (any one character) and '*'
// (one or more characters). When nothing is found the matcher also tells
// whether the text ends with the beginning of a keyword, so that a caller fed
// in pieces can keep that tail and retry once more text has arrived.
//
// Matching is byte-exact and case-sensitive. Keywords share prefixes in a
// tree; of two keywords where one is a prefix of the other only the shorter is
// kept (logged). A star is left at the first occurrence of the next literal
// character of its keyword and never backtracks, so "a*bc" does not match
// "axbxbc". Wildcard characters in the text are skipped.
#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <vector>

#include "core/strings.h"

class multiple_matcher {
public:
    // A node of the keyword tree, one per keyword prefix. Nodes live in one
    // vector and refer to each other by index, so that neither a long keyword
    // nor a large list can make building or tearing down the tree recurse.
    struct node {
        unsigned char ch = 0;  // the root has none
        bool has_children = false;
        std::map<unsigned char, std::uint32_t> children;
        std::uint32_t parent = no_node;
    };
    static constexpr std::uint32_t no_node = 0xFFFFFFFFu;
    static constexpr std::uint32_t root_node = 0;
    // Bound on attempts in flight during one search. Each text byte costs
    // time in proportion to the live attempts; they are folded per star node,
    // so only keywords longer than this that keep matching their own prefix,
    // or as many star keywords in flight at once, can reach it. Once it is
    // reached no new attempt starts until one ends (the older attempts, which
    // would complete first, go on), so the cost per byte stays bounded.
    static constexpr std::size_t max_live_cursors = 1024;

    multiple_matcher();

    // Replace the keyword list and rebuild the tree; always true. The wide
    // variants convert every word with the system's ANSI code page first.
    bool assign(const std::vector<byte_string>& words);
    bool assign(const std::list<byte_string>& words);
    bool assign(const std::vector<wide_string>& words);
    bool assign(const std::list<wide_string>& words);

    // Largest automaton table (entries of 4 bytes) the next assign may
    // build; a longer list keeps the cursor search. The default suits a
    // matcher made per connection; a process-wide one may afford more.
    static constexpr std::size_t default_automaton_limit = 64 * 1024;
    void set_automaton_limit(std::size_t entries) { m_automaton_limit = entries; }

    // Drop the tree and insert every pending keyword in list order.
    void rebuild();

    // true on a hit: keyword = the keyword as stored (wildcards included),
    // start = where its attempt began, end = offset of the completing
    // character. On a miss, partial tells whether some attempt is still alive
    // at the end of the text, and start is then the earliest such beginning.
    // start, end and partial are zeroed on entry; keyword changes only on a hit.
    bool search(const byte_string& text, byte_string& keyword, std::size_t& start, std::size_t& end,
                bool& partial) const;
    bool search(const char* text, std::size_t length, byte_string& keyword, std::size_t& start, std::size_t& end,
                bool& partial) const;

    // The characters on the path from the root to a node of the tree
    // (indexes are valid until the next rebuild).
    byte_string keyword_of(std::uint32_t node_index) const;

    // Number of keywords the tree holds (leaves), and whether it holds any.
    std::size_t keyword_count() const { return m_keywords.size(); }
    bool empty() const { return m_keywords.empty(); }
    const node& root() const { return m_nodes[root_node]; }
    // Whether searches run on the automaton (wildcard-free lists of bounded
    // size) rather than the cursors; both give the same results.
    bool automaton() const { return m_automaton; }
    const node& node_at(std::uint32_t index) const { return m_nodes[index]; }

private:
    bool insert(const byte_string& keyword);
    void compile();

    // The tree in the form the search walks: reachable nodes only, literal
    // children in a sorted edge array (or a 256-slot table for wide fans),
    // wildcard children at hand.
    struct flat_node {
        std::uint32_t first_edge = 0;
        std::uint32_t edge_count = 0;
        std::uint32_t table = no_node;       // index into m_tables, wide fans only
        std::uint32_t any_child = no_node;   // the '?' child
        std::uint32_t star_child = no_node;  // the '*' child
        std::uint32_t keyword = no_node;     // leaves: index into m_keywords
        std::uint32_t star_slot = no_node;   // star nodes: index among star nodes
        bool leaf = false;
        bool is_star = false;
    };
    struct edge {
        unsigned char ch;
        std::uint32_t target;
    };
    std::uint32_t literal_child(const flat_node& n, unsigned char c) const;
    void compile_automaton();
    bool search_automaton(const char* text, std::size_t length, byte_string& keyword, std::size_t& start,
                          std::size_t& end, bool& partial) const;

    std::vector<byte_string> m_pending;
    std::vector<node> m_nodes;  // [0] is the root; detached nodes wait for the next rebuild

    std::vector<flat_node> m_flat;  // [0] is the root
    std::vector<edge> m_edges;
    std::vector<std::uint32_t> m_tables;
    std::vector<byte_string> m_keywords;
    std::uint32_t m_star_count = 0;
    // Bytes that can begin an attempt (none of them '*' or '?', which the
    // text never matches with).
    std::array<bool, 256> m_starts{};

    // Keywords without wildcards (the usual lists) are also compiled into a
    // deterministic automaton over the same tree: one table step per text
    // byte, whatever the number of attempts in flight. Each state is a node
    // of the tree (the longest keyword prefix the text ends with); it finds
    // the same hit, start and partial report as the cursors, because the
    // attempts alive at a byte are exactly the prefixes the text ends with,
    // and the earliest of them that completes is the longest keyword ending
    // there. Built only while its table stays small (see compile_automaton).
    bool m_automaton = false;
    std::size_t m_automaton_limit = default_automaton_limit;
    std::uint32_t m_class_count = 0;
    std::array<std::uint8_t, 256> m_class{};  // byte -> column; 0 = no keyword has it
    std::vector<std::uint32_t> m_step;        // state * m_class_count + column -> state
    std::vector<std::uint32_t> m_found;       // state -> keyword index completed there, or no_node
    std::vector<std::uint32_t> m_depth;       // state -> length of its prefix
};
