#include "match/multiple_matcher.h"

#include <algorithm>

#include "log/log.h"
#include "platform/codepage.h"

namespace {

// A literal fan wider than this gets a direct 256-slot table; narrower fans
// are scanned, which is faster for the two or three children most nodes have.
constexpr std::uint32_t table_threshold = 8;

// Keywords longer than this keep the cursor search, whose bound on attempts
// in flight (max_live_cursors) could otherwise change a result.
constexpr std::size_t automaton_max_keyword = 512;
// Marks an automaton step into a state where a keyword completes.
constexpr std::uint32_t automaton_hit = 0x80000000u;

// The text's wildcard characters take no part in matching.
inline bool skipped(char c) { return c == '*' || c == '?'; }

// Offset of the count-th byte before stop (exclusive) that is not skipped.
std::size_t back_over(const char* text, std::size_t stop, std::size_t count) {
    std::size_t p = stop;
    while (count > 0) {
        --p;
        if (!skipped(text[p])) --count;
    }
    return p;
}

// An attempt in progress: where it began and how far down the tree it got.
struct cursor {
    std::size_t start;
    std::uint32_t node;
};

// Per-thread working lists, so that searching short texts (links) does not
// allocate on every call. Their size is bounded by the number of tree nodes.
struct search_scratch {
    std::vector<cursor> live;
    std::vector<cursor> next;
    // Per star node: the step it was last claimed at. Steps count on across
    // searches (and matchers), so the table never needs clearing.
    std::vector<std::uint64_t> claim_stamp;
    std::uint64_t step = 0;
};

bool all_stars(const byte_string& word) { return word.find_first_not_of('*') == byte_string::npos; }

}  // namespace

multiple_matcher::multiple_matcher() {
    m_nodes.emplace_back();
    compile();
}

bool multiple_matcher::assign(const std::vector<byte_string>& words) {
    m_pending = words;
    rebuild();
    return true;
}

bool multiple_matcher::assign(const std::list<byte_string>& words) {
    m_pending.assign(words.begin(), words.end());
    rebuild();
    return true;
}

bool multiple_matcher::assign(const std::vector<wide_string>& words) {
    m_pending.clear();
    m_pending.reserve(words.size());
    for (const auto& w : words) m_pending.push_back(platform::wide_to_ansi(w));
    rebuild();
    return true;
}

bool multiple_matcher::assign(const std::list<wide_string>& words) {
    m_pending.clear();
    m_pending.reserve(words.size());
    for (const auto& w : words) m_pending.push_back(platform::wide_to_ansi(w));
    rebuild();
    return true;
}

void multiple_matcher::rebuild() {
    m_nodes.clear();
    m_nodes.emplace_back();
    for (auto& word : m_pending) {
        // A keyword made of stars only would match everything, or (as a lone
        // star left after trimming) poison every search; such words are dropped
        // like empty ones.
        if (word.empty() || all_stars(word)) continue;
        if (word.front() == '*') word.erase(0, 1);
        if (!word.empty() && word.back() == '*') word.pop_back();
        if (word.empty()) continue;
        insert(word);
    }
    m_pending.clear();
    m_pending.shrink_to_fit();
    compile();
}

bool multiple_matcher::insert(const byte_string& keyword) {
    std::uint32_t current = root_node;
    for (std::size_t k = 0; k < keyword.size(); ++k) {
        const auto ch = static_cast<unsigned char>(keyword[k]);
        std::uint32_t child;
        auto it = m_nodes[current].children.find(ch);
        if (it == m_nodes[current].children.end()) {
            child = static_cast<std::uint32_t>(m_nodes.size());
            node fresh;
            fresh.ch = ch;
            fresh.parent = current;
            m_nodes.push_back(std::move(fresh));
            m_nodes[current].children.emplace(ch, child);
            m_nodes[current].has_children = true;
        } else {
            child = it->second;
            if (!m_nodes[child].has_children) {
                ZEM_LOG(0, "Keyword " << keyword << " overrided by keyword " << keyword_of(child) << ", ignorred.\n");
                return false;
            }
        }
        if (k + 1 == keyword.size() && m_nodes[child].has_children) {
            ZEM_LOG(0, "Keyword " << keyword << " overrides other keywords, minium "
                                  << static_cast<int>(m_nodes[child].has_children) << " times, ignored them.\n");
            // The detached nodes stay unreachable in m_nodes until the next
            // rebuild; compile() only walks what hangs from the root.
            m_nodes[child].children.clear();
            m_nodes[child].has_children = false;
        }
        current = child;
    }
    return true;
}

byte_string multiple_matcher::keyword_of(std::uint32_t node_index) const {
    byte_string out;
    if (node_index >= m_nodes.size()) return out;
    for (std::uint32_t n = node_index; n != root_node && n != no_node; n = m_nodes[n].parent)
        out.push_back(static_cast<char>(m_nodes[n].ch));
    std::reverse(out.begin(), out.end());
    return out;
}

void multiple_matcher::compile() {
    m_flat.clear();
    m_edges.clear();
    m_tables.clear();
    m_keywords.clear();
    m_star_count = 0;

    // Breadth-first numbering of the reachable nodes.
    std::vector<std::uint32_t> order;
    std::vector<std::uint32_t> renumber(m_nodes.size(), no_node);
    order.push_back(root_node);
    renumber[root_node] = 0;
    for (std::size_t q = 0; q < order.size(); ++q) {
        for (const auto& kv : m_nodes[order[q]].children) {
            renumber[kv.second] = static_cast<std::uint32_t>(order.size());
            order.push_back(kv.second);
        }
    }

    m_flat.resize(order.size());
    for (std::size_t q = 0; q < order.size(); ++q) {
        const node& n = m_nodes[order[q]];
        flat_node& f = m_flat[q];
        const bool is_root = q == 0;
        f.is_star = !is_root && n.ch == '*';
        if (f.is_star) f.star_slot = m_star_count++;
        f.leaf = !is_root && !n.has_children;
        if (f.leaf) {
            f.keyword = static_cast<std::uint32_t>(m_keywords.size());
            m_keywords.push_back(keyword_of(order[q]));
        }
        f.first_edge = static_cast<std::uint32_t>(m_edges.size());
        for (const auto& kv : n.children) {
            const std::uint32_t target = renumber[kv.second];
            if (kv.first == '?')
                f.any_child = target;
            else if (kv.first == '*')
                f.star_child = target;
            else
                m_edges.push_back({kv.first, target});
        }
        f.edge_count = static_cast<std::uint32_t>(m_edges.size()) - f.first_edge;
        if (f.edge_count > table_threshold) {
            f.table = static_cast<std::uint32_t>(m_tables.size() / 256);
            m_tables.resize(m_tables.size() + 256, no_node);
            std::uint32_t* slots = &m_tables[f.table * 256u];
            for (std::uint32_t e = 0; e < f.edge_count; ++e)
                slots[m_edges[f.first_edge + e].ch] = m_edges[f.first_edge + e].target;
        }
    }
    const flat_node& root = m_flat[root_node];
    const bool any = root.any_child != no_node || root.star_child != no_node;
    for (unsigned c = 0; c < 256; ++c)
        m_starts[c] = c != '*' && c != '?' && (any || literal_child(root, static_cast<unsigned char>(c)) != no_node);
    compile_automaton();
}

void multiple_matcher::compile_automaton() {
    m_automaton = false;
    m_class_count = 0;
    m_class.fill(0);
    m_step.clear();
    m_found.clear();
    m_depth.clear();
    if (m_keywords.empty() || m_star_count != 0) return;
    for (const auto& f : m_flat)
        if (f.any_child != no_node) return;
    for (const auto& k : m_keywords)
        if (k.size() > automaton_max_keyword) return;

    // Column 0 for bytes no keyword holds, column 1 for the text's wildcard
    // characters (which leave the state as it is), then one per keyword byte.
    std::vector<unsigned char> sample(2, 0);
    m_class[static_cast<unsigned char>('*')] = 1;
    m_class[static_cast<unsigned char>('?')] = 1;
    for (const auto& e : m_edges)
        if (m_class[e.ch] == 0) {
            m_class[e.ch] = static_cast<std::uint8_t>(sample.size());
            sample.push_back(e.ch);
            if (sample.size() > 255) return;
        }
    const std::size_t columns = sample.size();
    const std::size_t states = m_flat.size();
    if (states * columns > m_automaton_limit || states * columns >= automaton_hit) return;

    // Entries hold the target's row offset (state * columns), with
    // automaton_hit set when a keyword completes on entering it.
    m_step.assign(states * columns, 0);
    m_found.assign(states, no_node);
    m_depth.assign(states, 0);
    std::vector<std::uint32_t> fail(states, root_node);
    auto entry = [&](std::uint32_t target) {
        const auto offset = static_cast<std::uint32_t>(target * columns);
        return m_found[target] != no_node ? offset | automaton_hit : offset;
    };
    // m_flat is numbered breadth first, so a node's fallback (shallower) has
    // its row complete before the node's own row is made.
    for (std::uint32_t q = 0; q < states; ++q) {
        const flat_node& n = m_flat[q];
        std::uint32_t* row = &m_step[q * columns];
        const std::uint32_t* fallback = &m_step[fail[q] * columns];
        row[0] = root_node;
        row[1] = entry(q);
        for (std::size_t col = 2; col < columns; ++col) {
            const std::uint32_t child = literal_child(n, sample[col]);
            if (child == no_node) {
                row[col] = q == root_node ? root_node : fallback[col];
                continue;
            }
            m_depth[child] = m_depth[q] + 1;
            fail[child] =
                q == root_node ? root_node : static_cast<std::uint32_t>((fallback[col] & ~automaton_hit) / columns);
            m_found[child] = m_flat[child].leaf ? m_flat[child].keyword : m_found[fail[child]];
            row[col] = entry(child);
        }
    }
    m_class_count = static_cast<std::uint32_t>(columns);
    m_automaton = true;
}

bool multiple_matcher::search_automaton(const char* text, std::size_t length, byte_string& keyword, std::size_t& start,
                                        std::size_t& end, bool& partial) const {
    const std::uint32_t* step = m_step.data();
    const std::uint8_t* column = m_class.data();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::uint32_t row = 0;
    for (std::size_t i = 0; i < length; ++i) {
        row = step[row + column[bytes[i]]];
        if (row & automaton_hit) {
            keyword = m_keywords[m_found[(row & ~automaton_hit) / m_class_count]];
            end = i;
            start = back_over(text, i + 1, keyword.size());
            return true;
        }
    }
    if (row != 0) {
        partial = true;
        start = back_over(text, length, m_depth[row / m_class_count]);
    }
    return false;
}

std::uint32_t multiple_matcher::literal_child(const flat_node& n, unsigned char c) const {
    if (n.table != no_node) return m_tables[n.table * 256u + c];
    const edge* e = m_edges.data() + n.first_edge;
    for (std::uint32_t k = 0; k < n.edge_count; ++k) {
        if (e[k].ch == c) return e[k].target;
        if (e[k].ch > c) break;  // edges are sorted
    }
    return no_node;
}

bool multiple_matcher::search(const byte_string& text, byte_string& keyword, std::size_t& start, std::size_t& end,
                              bool& partial) const {
    return search(text.data(), text.size(), keyword, start, end, partial);
}

// Cursors at the same node behave identically from then on, and the one
// earlier in the list always reports first; so a later cursor that lands on
// the node of an earlier one is dropped. The list stays ordered by start (new
// attempts are appended, a split copy is placed just before its original with
// the same start), so the earlier one also began no later and the partial
// report is unchanged. Two cursors can only meet at a star node (every other
// node is reached from its parent alone), so only star nodes are tracked.
// Folding changes no result. Together with max_live_cursors it keeps the cost
// per text byte bounded whatever the text: without them a star keyword such as
// "m*z" over a long run of 'm' would keep one attempt per byte alive and make
// the search quadratic.
bool multiple_matcher::search(const char* text, std::size_t length, byte_string& keyword, std::size_t& start,
                              std::size_t& end, bool& partial) const {
    start = 0;
    end = 0;
    partial = false;
    if (!m_nodes[root_node].has_children || text == nullptr) return false;
    if (m_automaton) return search_automaton(text, length, keyword, start, end, partial);

    thread_local search_scratch scratch;
    std::vector<cursor>& live = scratch.live;
    std::vector<cursor>& next = scratch.next;
    live.clear();
    next.clear();
    if (scratch.claim_stamp.size() < m_star_count) scratch.claim_stamp.resize(m_star_count, 0);

    for (std::size_t i = 0; i < length; ++i) {
        if (live.empty()) {
            // Nothing in flight: only a byte that can begin an attempt
            // matters (an attempt that would die on its first byte changes
            // nothing).
            while (i < length && !m_starts[static_cast<unsigned char>(text[i])]) ++i;
            if (i == length) break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '*' || c == '?') continue;
        const bool starts_here = m_starts[c];
        const std::uint64_t stamp = ++scratch.step;
        if (starts_here && live.size() < max_live_cursors) live.push_back(cursor{i, root_node});
        next.clear();

        auto emit = [&](const cursor& cu) {
            const flat_node& target = m_flat[cu.node];
            if (target.is_star) {
                const std::uint32_t slot = target.star_slot;
                if (scratch.claim_stamp[slot] == stamp) return;
                scratch.claim_stamp[slot] = stamp;
            }
            next.push_back(cu);
        };

        for (std::size_t k = 0; k < live.size(); ++k) {
            cursor cu = live[k];
            const flat_node& n = m_flat[cu.node];

            const std::uint32_t lit = literal_child(n, c);
            if (lit != no_node) {
                if (m_flat[lit].leaf) {
                    keyword = m_keywords[m_flat[lit].keyword];
                    start = cu.start;
                    end = i;
                    return true;
                }
                cu.node = lit;
                emit(cu);
                continue;
            }
            if (n.is_star) {  // the star absorbs c
                emit(cu);
                continue;
            }
            bool moved = false;
            if (n.any_child != no_node) {
                if (m_flat[n.any_child].leaf) {
                    keyword = m_keywords[m_flat[n.any_child].keyword];
                    start = cu.start;
                    end = i;
                    return true;
                }
                cu.node = n.any_child;
                moved = true;
            }
            if (n.star_child != no_node) {
                if (m_flat[n.star_child].leaf) {
                    ZEM_LOG_ERROR("common/inc/multiple_matcher", "Mask cant' ends with '*' symbol");
                    return false;
                }
                if (moved) {
                    // The '?' reading and the '*' reading both go on. The star
                    // attempt belongs to the same keyword occurrence, so it keeps
                    // the attempt's start: a hit through it must be cut from the
                    // keyword's first byte, and a partial report must not drop
                    // bytes the keyword may still need. It takes no further part
                    // in this byte.
                    emit(cursor{cu.start, n.star_child});
                } else {
                    cu.node = n.star_child;
                    moved = true;
                }
            }
            if (moved) emit(cu);
        }
        live.swap(next);
    }

    if (!live.empty()) {
        partial = true;
        std::size_t earliest = live.front().start;
        for (const auto& cu : live) earliest = std::min(earliest, cu.start);
        start = earliest;
    }
    return false;
}
