#include "html/html_stream_filter.h"

#include <algorithm>
#include <boost/regex.hpp>
#include <exception>
#include <type_traits>
#include <vector>

#include "core/ascii.h"
#include "core/configuration.h"
#include "html/name_chars.h"
#include "log/log.h"
#include "platform/codepage.h"

// The per-tag steps of the parser: merged into their callers, they keep
// their results in registers instead of passing them through memory.
#if defined(__GNUC__)
#define ZEM_HOT_INLINE __attribute__((always_inline)) inline
#else
#define ZEM_HOT_INLINE inline
#endif

namespace html {

namespace {

enum scan_state { st_code, st_single_quote, st_double_quote, st_tag, st_line_remark, st_slash, st_block_comment };

template <class C>
std::basic_string<C> fold(const std::basic_string<C>& s) {
    std::basic_string<C> r(s);
    for (auto& c : r) c = ascii_lower(c);
    return r;
}

// FNV-1a over the code units of a folded tag name; the name may be given
// unfolded, it is folded as it is hashed.
template <class C>
std::uint64_t name_hash(const C* s, std::size_t n) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i) {
        h ^= static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<C>>(ascii_lower(s[i])));
        h *= 1099511628211ull;
    }
    return h;
}

// Whether the folded name at 'folded' is 'name' folded.
template <class C>
bool same_folded_name(const C* folded, std::size_t folded_size, const C* name, std::size_t size) {
    if (folded_size != size) return false;
    for (std::size_t i = 0; i < size; ++i)
        if (folded[i] != ascii_lower(name[i])) return false;
    return true;
}

// A character of script code that does nothing to the scanner but end a
// line start: none of < " ' / and no line break or blank.
template <class C>
bool plain_code_char(C c) {
    switch (c) {
        case C('<'):
        case C('"'):
        case C('\''):
        case C('/'):
        case C('\n'):
        case C('\r'):
        case C(' '):
        case C('\t'):
            return false;
        default:
            return true;
    }
}

std::size_t slot_of(std::uint64_t hash, std::size_t capacity) {
    return static_cast<std::size_t>(hash ^ (hash >> 29)) & (capacity - 1);
}

std::string printable(const std::string& s) { return s; }
void from_ansi(const byte_string& in, byte_string& out) { out = in; }
void from_ansi(const byte_string& in, wide_string& out) { out = platform::ansi_to_wide(in); }
std::string printable(const std::wstring& s) { return platform::wide_to_ansi(s); }

}  // namespace

template <class C>
html_stream_filter<C>::html_stream_filter(i_connection_feedback* feedback)
    : m_current(&m_text_handler),
      m_script_handlers{hyper_text_java_handler<C>(feedback, nullptr), hyper_text_java_handler<C>(feedback, nullptr)},
      m_text_handler(this, feedback, nullptr),
      m_qualifier(&m_stub_qualifier),
      m_feedback(feedback) {
    m_script_handlers[0].set_qualifier(&m_stub_qualifier);
    m_script_handlers[1].set_qualifier(&m_stub_qualifier);
    m_text_handler.set_qualifier(&m_stub_qualifier);
}

template <class C>
void html_stream_filter<C>::set_qualifier(host_permission_qualifier* q) {
    if (!q) q = &m_stub_qualifier;
    m_qualifier = q;
    m_script_handlers[0].set_qualifier(q);
    m_script_handlers[1].set_qualifier(q);
    m_text_handler.set_qualifier(q);
}

template <class C>
void html_stream_filter<C>::set_page_address(const byte_string& address) {
    m_page_address = address;
    m_script_handlers[0].set_page_address(address);
    m_script_handlers[1].set_page_address(address);
}

template <class C>
void html_stream_filter<C>::set_document_address(const byte_string& address) {
    set_page_address(address);
    std::size_t from = 0;
    if (address.size() >= 7 && fold(address.substr(0, 7)) == "http://") from = 7;
    std::size_t to = address.find_first_of("/?#", from);
    if (to == byte_string::npos) to = address.size();
    const byte_string host = address.substr(from, to - from);
    from_ansi(host, m_base_address);
}

template <class C>
void html_stream_filter<C>::reset() {
    // Base address, page address and qualifier survive; the rest starts anew.
    if (m_fresh) return;
    m_fresh = true;
    m_comment_replacement_read = false;
    m_cutting = false;
    m_line_start = true;
    m_in_ad_link = false;
    m_in_script = false;
    m_in_comment = false;
    m_script_language = 0;
    m_input.clear();
    m_pos = 0;
    m_output.clear();
    m_span_begin = m_span_end = 0;
    m_tags.clear();
    m_tag_names.clear();
    // A table that a deep page grew goes; an ordinary one stays for the next.
    if (m_innermost.size() > 1024) {
        std::vector<name_slot>().swap(m_innermost);
    } else {
        std::fill(m_innermost.begin(), m_innermost.end(), name_slot());
    }
    m_innermost_count = 0;
    m_indexed = false;
    m_frames.clear();
    m_current = &m_text_handler;
    m_script_handlers[0].reset();
    m_script_handlers[1].reset();
    m_text_handler.reset();
    m_blocked = false;
    m_need_more = false;
    m_passthrough = false;
    m_scan = script_scan();
    m_partial = partial_tag();
    m_skip_to_gt = false;
    m_mode = page_mode::passing;
}

template <class C>
bool html_stream_filter<C>::policy_inert() {
    // Every permission that a tag rule or the script handler reads before it
    // changes anything; "learn" counts as restricted. The answer to a
    // restricted one is never asked here, so no host question is raised for
    // a page that would not have raised it.
    static constexpr permission_index acted_on[] = {idx_activex,       idx_java_applets,   idx_flash,
                                                    idx_hidden_frames, idx_ext_images,     idx_jscript,
                                                    idx_vbscript,      idx_ax_from_script, idx_load_unload_script,
                                                    idx_popups,        idx_ads_by_link,    idx_ads_by_size};
    const std::int32_t* permissions = m_qualifier->get_permissions();
    if (!permissions) return false;
    for (permission_index idx : acted_on)
        if (permissions[idx] != content_action_allow || m_qualifier->is_restricted(idx)) return false;
    if (permissions[idx_check_script] == content_action_block) return false;
    return !m_text_handler.may_block();
}

template <class C>
bool html_stream_filter<C>::passes_unparsed() {
    m_fresh = false;
    if (m_passthrough) return true;
    if (m_mode == page_mode::parsing) return false;
    try {
        if (policy_inert()) return true;
        m_mode = page_mode::parsing;
        return false;
    } catch (const std::exception& ex) {
        ZEM_LOG_ERROR("Plugin/HTML/html", "html_stream_filter: filtering ends: " << ex.what());
    } catch (...) {
        ZEM_LOG_ERROR("Plugin/HTML/html", "html_stream_filter: filtering ends: unknown exception");
    }
    m_passthrough = true;
    return true;
}

template <class C>
bool html_stream_filter<C>::update(string_t& text) {
    // Nothing is held while the page passes unparsed, nor once the filter
    // has stepped aside (it handed everything back then).
    if (passes_unparsed()) return true;
    if (m_blocked) {
        text.clear();
        m_input.clear();
        m_pos = 0;
        return true;
    }
    mark_step();
    try {
        if (m_input.empty()) {
            m_input.swap(text);
            m_pos = 0;
        } else {
            m_input += text;
        }
        text.clear();
        bool result = parse();
        flush_span();
        compact();
        if (m_blocked) {
            m_input.clear();
            m_pos = 0;
        }
        text.swap(m_output);
        m_output.clear();
        return result;
    } catch (const std::exception& ex) {
        ZEM_LOG_ERROR("Plugin/HTML/html", "html_stream_filter: filtering ends: " << ex.what());
    } catch (...) {
        ZEM_LOG_ERROR("Plugin/HTML/html", "html_stream_filter: filtering ends: unknown exception");
    }
    // Hand back everything that is still here and step aside: the output up
    // to the step that failed, and the input from that step's beginning (a
    // step may have consumed a tag and not yet written what stands for it).
    m_passthrough = true;
    if (m_output.size() > m_step.output) m_output.resize(m_step.output);
    m_span_begin = m_step.span_begin;
    m_span_end = m_step.span_end;
    flush_span();
    string_t rest;
    rest.swap(m_output);
    if (m_step.input < m_input.size()) rest.append(m_input, m_step.input, string_t::npos);
    m_input.clear();
    m_pos = 0;
    text.swap(rest);
    return true;
}

template <class C>
void html_stream_filter<C>::stop(string_t& text) {
    m_fresh = false;
    if (!m_passthrough) {
        try {
            m_current->stop(text);
        } catch (...) {
            ZEM_LOG_ERROR("Plugin/HTML/html", "html_stream_filter: stop failed");
        }
    }
    if (m_pos < m_input.size()) text.append(m_input, m_pos, string_t::npos);
    m_input.clear();
    m_pos = 0;
    m_partial.valid = false;
}

template <class C>
void html_stream_filter<C>::compact() {
    if (m_pos == 0) return;
    if (m_pos >= m_input.size()) {
        m_input.clear();
    } else {
        m_input.erase(0, m_pos);
    }
    m_scan.mark = m_scan.mark >= m_pos ? m_scan.mark - m_pos : 0;
    m_scan.pos = m_scan.pos >= m_pos ? m_scan.pos - m_pos : 0;
    m_pos = 0;
}

template <class C>
ZEM_HOT_INLINE void html_stream_filter<C>::copy_input(std::size_t begin, std::size_t end) {
    if (begin >= end) return;
    if (begin == m_span_end && m_span_begin < m_span_end) {
        m_span_end = end;
        return;
    }
    flush_span();
    m_span_begin = begin;
    m_span_end = end;
}

template <class C>
void html_stream_filter<C>::flush_span() {
    if (m_span_begin >= m_span_end) return;
    const std::size_t begin = m_span_begin, end = m_span_end;
    m_span_begin = m_span_end = 0;
    m_output.append(m_input, begin, end - begin);
}

template <class C>
void html_stream_filter<C>::emit_piece(string_t& piece) {
    m_current->update(piece);
    output() += piece;
}

template <class C>
ZEM_HOT_INLINE void html_stream_filter<C>::emit(std::size_t begin, std::size_t end) {
    if (begin >= end) return;
    if (m_current == &m_stub || (m_current == &m_text_handler && m_text_handler.passes_unchanged())) {
        copy_input(begin, end);
        return;
    }
    m_piece.assign(m_input, begin, end - begin);
    emit_piece(m_piece);
}

template <class C>
bool html_stream_filter<C>::parse() {
    m_need_more = false;
    while (!m_need_more) {
        mark_step();
        if (m_in_comment) {
            parse_comment();
        } else if (m_in_script) {
            parse_script();
        } else {
            parse_markup();
        }
    }
    return true;
}

template <class C>
void html_stream_filter<C>::parse_comment() {
    static const string_t terminator = lit<C>("-->");
    const std::size_t n = m_input.size();
    std::size_t at = m_input.find(terminator, m_pos);
    if (at == string_t::npos) {
        // A terminator may be cut by the chunk boundary: its first dashes
        // wait for the next chunk, so that where the chunks fall does not
        // decide where the comment ends.
        std::size_t keep = 0;
        if (n - m_pos >= 2 && m_input[n - 1] == C('-') && m_input[n - 2] == C('-')) {
            keep = 2;
        } else if (n - m_pos >= 1 && m_input[n - 1] == C('-')) {
            keep = 1;
        }
        emit(m_pos, n - keep);
        m_pos = n - keep;
        m_need_more = true;
        return;
    }
    emit(m_pos, at);
    m_pos = at;
    if (m_need_more) return;  // the page was blocked
    emit(at, at + terminator.size());
    m_in_comment = false;
    m_pos = at + terminator.size();
}

template <class C>
void html_stream_filter<C>::parse_script() {
    bool found = false, pending = false;
    std::size_t mark = 0, next = 0;
    find_script_end(found, pending, mark, next);
    const std::size_t n = m_input.size();
    if (found) {
        emit(m_pos, mark);
        m_current->stop(output());
        if (m_tags.empty() || m_tags.back().handler == &m_stub) {
            copy_input(mark, next);
        } else {
            m_piece.assign(m_input, mark, next - mark);
            m_tags.back().handler->update(m_piece);
            output() += m_piece;
        }
        if (!m_tags.empty()) {
            tag_entry& top = m_tags.back();
            m_current = top.saved_handler;
            m_cutting = top.saved_cutting;
            pop_tags_from(m_tags.size() - 1);
        }
        m_in_script = false;
        m_pos = next;
        // The rest of the input is parsed at once: the closing tag has
        // settled everything before it.
        return;
    }
    if (!pending || m_scan.released) {
        emit(m_pos, n);
        m_pos = n;
        m_need_more = true;
        return;
    }
    emit(m_pos, mark);
    m_pos = mark;
    if (n - mark > max_held_script) {
        // An endless string or comment: let it go as it stands and keep
        // following it without holding it again.
        emit(mark, n);
        m_pos = n;
        m_scan.released = true;
    }
    m_need_more = true;
}

template <class C>
bool html_stream_filter<C>::find_script_end(bool& found, bool& pending, std::size_t& mark, std::size_t& next) {
    static const string_t closing_tag = lit<C>("</script>");
    const string_t& s = m_input;
    const std::size_t n = s.size();
    script_scan& sc = m_scan;
    if (sc.pos < m_pos) sc.pos = m_pos;
    const bool vb = m_script_language == 1;
    for (std::size_t i = sc.pos; i < n; ++i) {
        // Runs that change nothing but 'prev' (and the line start) are
        // stepped over at once: inside a string or comment everything up to
        // its one closing character, in code every plain character.
        if (sc.state == st_code) {
            std::size_t j = i;
            while (j < n && plain_code_char(s[j])) ++j;
            if (j > i) {
                m_line_start = false;
                sc.prev = s[j - 1];
                i = j;
                if (i == n) break;
            }
        } else if (sc.state != st_tag && sc.state != st_slash) {
            const C closing = sc.state == st_single_quote    ? C('\'')
                              : sc.state == st_double_quote  ? C('"')
                              : sc.state == st_block_comment ? C('/')
                                                             : C('\n');
            std::size_t j = s.find(closing, i);
            if (j == string_t::npos) j = n;
            if (j > i) {
                sc.prev = s[j - 1];
                i = j;
                if (i == n) break;
            }
        }
        const C ch = s[i];
        switch (sc.state) {
            case st_code:
                if (ch == C('<')) {
                    sc.pending = true;
                    sc.released = false;
                    sc.mark = i;
                    sc.state = st_tag;
                } else if (ch == C('"') && !sc.line_comment) {
                    sc.pending = true;
                    sc.released = false;
                    sc.mark = i;
                    sc.state = st_double_quote;
                } else if (ch == C('\'') && !sc.line_comment) {
                    sc.pending = true;
                    sc.released = false;
                    sc.mark = i;
                    sc.state = (vb && m_line_start) ? st_line_remark : st_single_quote;
                } else if (ch == C('/') && !sc.line_comment) {
                    sc.pending = true;
                    sc.released = false;
                    sc.mark = i;
                    sc.state = st_slash;
                } else if (ch == C('\n')) {
                    m_line_start = true;
                    sc.line_comment = false;
                } else if (ch == C('\r') || ch == C(' ') || ch == C('\t')) {
                } else {
                    m_line_start = false;
                }
                break;
            case st_single_quote:
                if (ch == C('\'') && sc.prev != C('\\')) {
                    sc.pending = false;
                    sc.mark = 0;
                    sc.state = st_code;
                }
                break;
            case st_double_quote:
                if (ch == C('"') && !(!vb && sc.prev == C('\\'))) {
                    sc.pending = false;
                    sc.mark = 0;
                    sc.state = st_code;
                }
                break;
            case st_tag:
                if (ch == C('"')) {
                    sc.pending = true;
                    sc.mark = i;
                    sc.state = st_double_quote;
                } else if (ch == C('\'')) {
                    sc.pending = true;
                    sc.mark = i;
                    sc.state = st_single_quote;
                } else if (ch == C('>')) {
                    if (i - sc.mark == 8 && sc.mark + 9 <= n) {
                        bool same = true;
                        for (std::size_t k = 0; k < 9 && same; ++k)
                            same = ascii_lower(s[sc.mark + k]) == closing_tag[k];
                        if (same) {
                            found = true;
                            pending = true;
                            mark = sc.mark;
                            next = i + 1;
                            sc = script_scan();
                            sc.pos = next;
                            return true;
                        }
                    }
                } else if (ch == C('<')) {
                    sc.mark = i;
                } else if (ch == C('-') && i - sc.mark == 3 && s[i - 2] == C('!') && s[i - 1] == C('-')) {
                    sc.pending = false;
                    sc.mark = 0;
                    sc.state = st_code;
                } else if (i - sc.mark >= 9) {
                    sc.pending = false;
                    sc.mark = 0;
                    sc.state = st_code;
                }
                break;
            case st_line_remark:
                if (ch == C('\n')) {
                    sc.pending = false;
                    sc.mark = 0;
                    sc.state = st_code;
                }
                break;
            case st_slash:
                if (ch == C('/')) {
                    sc.line_comment = true;
                    sc.state = st_code;
                } else if (ch == C('*')) {
                    sc.state = st_block_comment;
                } else {
                    sc.pending = false;
                    sc.mark = 0;
                    sc.state = st_code;
                }
                break;
            case st_block_comment:
                if (ch == C('/') && sc.prev == C('*')) {
                    sc.pending = false;
                    sc.mark = 0;
                    sc.state = st_code;
                }
                break;
        }
        sc.prev = ch;
    }
    sc.pos = n;
    found = false;
    pending = sc.pending;
    mark = sc.mark;
    return true;
}

template <class C>
ZEM_HOT_INLINE typename html_stream_filter<C>::tag_found html_stream_filter<C>::find_tag(
    std::size_t from, std::size_t& start, std::size_t& end, std::size_t& name_begin, std::size_t& name_end,
    bool& closing) {
    using traits = std::char_traits<C>;
    const C* const s = m_input.data();
    const std::size_t n = m_input.size();
    const name_test<C> is_name;
    std::size_t q = from;
    for (;;) {
        if (q >= n) return found_none;
        const C* lt = traits::find(s + q, n - q, C('<'));
        if (!lt) return found_none;
        q = static_cast<std::size_t>(lt - s);
        start = q;
        if (q + 1 >= n) return found_partial;
        const C c1 = s[q + 1];
        if (c1 == C('!') && q + 3 < n && s[q + 2] == C('-') && s[q + 3] == C('-')) {
            end = q + 4;
            return found_comment;
        }
        std::size_t i;
        bool is_closing;
        std::size_t begin;
        if (m_partial.valid && q == m_pos) {
            // The same incomplete tag as last time: go on where that scan ended.
            is_closing = m_partial.closing;
            begin = q + m_partial.name_begin;
            i = q + m_partial.scanned;
            if (m_partial.name_end == npos) {
                while (i < n && is_name(s[i])) ++i;
            } else {
                i = q + m_partial.name_end;
                name_end = i;
                const std::size_t scanned = q + m_partial.scanned;
                name_begin = begin;
                closing = is_closing;
                const C* gt = traits::find(s + scanned, n - scanned, C('>'));
                if (!gt) {
                    m_partial.scanned = n - q;
                    return found_partial;
                }
                m_partial.valid = false;
                end = static_cast<std::size_t>(gt - s) + 1;
                return found_tag;
            }
        } else {
            if (c1 == C('/')) {
                if (q + 2 >= n) return found_partial;
                if (!is_name(s[q + 2])) {
                    ++q;
                    continue;
                }
                is_closing = true;
                begin = q + 2;
            } else if (is_name(c1)) {
                is_closing = false;
                begin = q + 1;
            } else {
                ++q;
                continue;
            }
            i = begin + 1;
            while (i < n && is_name(s[i])) ++i;
        }
        name_begin = begin;
        name_end = i;
        closing = is_closing;
        const C* gt = i < n ? traits::find(s + i, n - i, C('>')) : nullptr;
        if (!gt) {
            // Incomplete: the next call resumes here instead of scanning the
            // name and attributes again.
            m_partial.valid = true;
            m_partial.closing = is_closing;
            m_partial.name_begin = begin - q;
            m_partial.name_end = i == n ? npos : i - q;
            m_partial.scanned = n - q;
            return found_partial;
        }
        m_partial.valid = false;
        end = static_cast<std::size_t>(gt - s) + 1;
        return found_tag;
    }
}

template <class C>
void html_stream_filter<C>::parse_markup() {
    const std::size_t n = m_input.size();
    if (m_skip_to_gt) {
        std::size_t gt = m_input.find(C('>'), m_pos);
        std::size_t until = gt == string_t::npos ? n : gt + 1;
        if (!m_cutting) emit(m_pos, until);
        m_pos = until;
        if (gt == string_t::npos) {
            m_need_more = true;
        } else {
            m_skip_to_gt = false;
        }
        return;
    }
    std::size_t start = 0, end = 0, name_begin = 0, name_end = 0;
    bool closing = false;
    tag_found what = find_tag(m_pos, start, end, name_begin, name_end, closing);
    if (what != found_partial) m_partial.valid = false;
    if (what == found_none) {
        if (!m_cutting) emit(m_pos, n);
        m_pos = n;
        m_need_more = true;
        return;
    }
    if (start > m_pos) {
        std::size_t from = m_pos;
        m_pos = start;
        if (!m_cutting) {
            emit(from, start);
            if (m_need_more) return;
        }
    }
    if (what == found_partial) {
        m_need_more = true;
        if (n - start > max_held_markup) {
            // A tag that never closes: what is held goes out as text, and
            // the rest of it, up to its '>', follows as text too.
            m_partial.valid = false;
            if (!m_cutting) emit(start, n);
            m_pos = n;
            m_skip_to_gt = true;
        }
        return;
    }
    m_pos = end;
    if (what == found_comment) {
        m_in_comment = true;
        emit(start, end);
        return;
    }
    const std::size_t name_size = name_end - name_begin;
    if (closing) {
        handle_close_tag(name_begin, name_size, start, end);
        return;
    }
    tag_entry entry;
    entry.handler = m_cutting ? static_cast<handler_t*>(&m_cut) : static_cast<handler_t*>(&m_stub);
    entry.saved_handler = m_current;
    entry.saved_cutting = m_cutting;
    entry.tag_type = classify_tag(m_input.data() + name_begin, name_size, true);
    if (!m_cutting) {
        if (entry.tag_type == tag_other) {
            // No rule for it: passed as it stands, without a copy.
            copy_input(start, end);
        } else {
            m_tag_text.assign(m_input, start, end - start);
            m_tag_at = start;
            ++m_tag_serial;
            handle_open_tag(entry);
        }
    }
    const bool script = entry.tag_type == tag_script;
    push_tag(entry, name_begin, name_size);
    if (script) {
        m_in_script = true;
        m_scan = script_scan();
        m_scan.pos = m_pos;
    }
}

template <class C>
void html_stream_filter<C>::handle_close_tag(std::size_t name_begin, std::size_t name_size, std::size_t start,
                                             std::size_t end) {
    // The name is compared and hashed where it stands, folded on the way.
    const C* name = m_input.data() + name_begin;
    const std::uint64_t hash = name_hash(name, name_size);
    auto same_name = [&](std::size_t k) {
        return m_tags[k].name_hash == hash &&
               same_folded_name(m_tag_names.data() + m_tags[k].name_at, m_tags[k].name_size, name, name_size);
    };
    std::size_t found = npos;
    bool ask_index = m_indexed;
    if (!m_indexed) {
        // Elements mostly close near the top of the stack: look there first.
        // A stack searched this far in vain gets its name index (see
        // m_indexed), so that no closing tag costs more than the bound.
        std::size_t k = m_tags.size();
        for (std::size_t looked = 0; k > 0 && looked < index_after; ++looked)
            if (same_name(--k)) {
                found = k;
                break;
            }
        if (found == npos && k > 0) {
            index_stack();
            ask_index = true;
        }
    }
    if (ask_index) {
        // The innermost open element is mostly the one closed: then it is
        // the innermost of that name, and the table need not be asked.
        found = !m_tags.empty() && m_tags.back().name_hash == hash ? m_tags.size() - 1 : innermost_find(hash);
        while (found != npos && !same_name(found)) found = m_tags[found].outer_same_name;
    }
    if (found == npos) {
        copy_input(start, end);
        ZEM_LOG(2, "HTML: Can't find opening tag for closing tag = " << printable(m_input.substr(start, end - start))
                                                                     << "\n");
        return;
    }
    const std::size_t index = found;
    tag_entry& entry = m_tags[index];
    if (entry.ends_ad_link) m_in_ad_link = false;
    if (entry.handler == &m_stub) {
        copy_input(start, end);
    } else {
        m_piece.assign(m_input, start, end - start);
        entry.handler->update(m_piece);
        output() += m_piece;
    }
    m_current = entry.saved_handler;
    m_cutting = entry.saved_cutting;
    pop_tags_from(index);
}

template <class C>
ZEM_HOT_INLINE std::size_t html_stream_filter<C>::innermost_find(std::uint64_t hash) const {
    if (m_innermost.empty()) return npos;
    const std::size_t mask = m_innermost.size() - 1;
    for (std::size_t i = slot_of(hash, m_innermost.size());; i = (i + 1) & mask) {
        const name_slot& slot = m_innermost[i];
        if (slot.index == npos) return npos;
        if (slot.hash == hash) return slot.index;
    }
}

template <class C>
void html_stream_filter<C>::innermost_grow() {
    std::vector<name_slot> old;
    old.swap(m_innermost);
    m_innermost.assign(old.empty() ? 64 : old.size() * 2, name_slot());
    m_innermost_count = 0;
    for (const name_slot& slot : old)
        if (slot.index != npos) innermost_set(slot.hash, slot.index);
}

template <class C>
ZEM_HOT_INLINE std::size_t html_stream_filter<C>::innermost_set(std::uint64_t hash, std::size_t index) {
    if ((m_innermost_count + 1) * 2 > m_innermost.size()) innermost_grow();
    const std::size_t mask = m_innermost.size() - 1;
    for (std::size_t i = slot_of(hash, m_innermost.size());; i = (i + 1) & mask) {
        name_slot& slot = m_innermost[i];
        if (slot.index == npos) {
            slot.hash = hash;
            slot.index = index;
            ++m_innermost_count;
            return npos;
        }
        if (slot.hash == hash) {
            const std::size_t previous = slot.index;
            slot.index = index;
            return previous;
        }
    }
}

template <class C>
void html_stream_filter<C>::innermost_erase(std::uint64_t hash) {
    if (m_innermost.empty()) return;
    const std::size_t size = m_innermost.size();
    const std::size_t mask = size - 1;
    std::size_t i = slot_of(hash, size);
    while (m_innermost[i].index != npos && m_innermost[i].hash != hash) i = (i + 1) & mask;
    if (m_innermost[i].index == npos) return;
    // Backward shift: later slots of the probe run move up into the hole, so
    // that lookups never need markers for removed entries.
    for (std::size_t j = (i + 1) & mask;; j = (j + 1) & mask) {
        if (m_innermost[j].index == npos) break;
        const std::size_t home = slot_of(m_innermost[j].hash, size);
        // The entry at j may fill the hole at i when its home is not in the
        // cyclic range (i, j].
        const bool home_between = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (!home_between) {
            m_innermost[i] = m_innermost[j];
            i = j;
        }
    }
    m_innermost[i] = name_slot();
    --m_innermost_count;
}

template <class C>
ZEM_HOT_INLINE void html_stream_filter<C>::push_tag(tag_entry& entry, std::size_t name_begin, std::size_t name_size) {
    // Past the depth bound only SCRIPT entries (at most one open at a time)
    // are kept; the closing tag of an entry not kept resolves to an outer
    // element of the same name or passes unchanged.
    if (m_tags.size() >= max_tag_depth && entry.tag_type != tag_script) return;
    // The names are a stack like the entries: this one goes after the top's.
    const std::size_t at = m_tags.empty() ? 0 : m_tags.back().name_at + m_tags.back().name_size;
    entry.name_at = at;
    entry.name_size = name_size;
    if (m_tag_names.size() < at + name_size)
        m_tag_names.resize(std::max<std::size_t>(m_tag_names.size() * 2, at + name_size + 256));
    // Folded and hashed in one pass (the hash is name_hash's).
    const C* from = m_input.data() + name_begin;
    C* to = &m_tag_names[at];
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t k = 0; k < name_size; ++k) {
        const C c = ascii_lower(from[k]);
        to[k] = c;
        h ^= static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<C>>(c));
        h *= 1099511628211ull;
    }
    entry.name_hash = h;
    // One probe both finds the outer entry of the same name and puts this one
    // in its place.
    entry.outer_same_name = m_indexed ? innermost_set(entry.name_hash, m_tags.size()) : npos;
    m_tags.push_back(entry);
}

template <class C>
void html_stream_filter<C>::index_stack() {
    std::fill(m_innermost.begin(), m_innermost.end(), name_slot());
    m_innermost_count = 0;
    m_indexed = true;
    for (std::size_t k = 0; k < m_tags.size(); ++k) m_tags[k].outer_same_name = innermost_set(m_tags[k].name_hash, k);
}

template <class C>
ZEM_HOT_INLINE void html_stream_filter<C>::pop_tags_from(std::size_t index) {
    if (index >= m_tags.size()) return;
    if (m_indexed) {
        for (std::size_t k = m_tags.size(); k > index; --k) {
            const tag_entry& top = m_tags[k - 1];
            if (top.outer_same_name == npos) {
                innermost_erase(top.name_hash);
            } else {
                innermost_set(top.name_hash, top.outer_same_name);
            }
        }
    }
    m_tags.resize(index);
    if (m_indexed && m_tags.size() < unindex_below) {
        // Shallow again: the index goes until a search needs it again.
        std::fill(m_innermost.begin(), m_innermost.end(), name_slot());
        m_innermost_count = 0;
        m_indexed = false;
    }
}

template <class C>
std::int32_t html_stream_filter<C>::classify_tag(const string_t& name) {
    return classify_tag(name.data(), name.size());
}

template <class C>
std::int32_t html_stream_filter<C>::classify_tag(const C* name, std::size_t size, bool name_chars_only) {
    if (size == 0) return tag_undefined;
    // By length and first letter, at most one known name is left to compare.
    auto is = [name](const char* word) {
        for (std::size_t j = 1; word[j]; ++j)
            if (ascii_lower(name[j]) != C(word[j])) return false;
        return true;
    };
    const C first = ascii_lower(name[0]);
    std::int32_t known = tag_undefined;
    switch (size) {
        case 1:
            if (first == C('a')) return tag_a;
            break;
        case 3:
            if (first == C('i') && is("img")) known = tag_img;
            break;
        case 4:
            if (first == C('b') && is("body")) known = tag_body;
            break;
        case 5:
            if (first == C('e') && is("embed")) known = tag_embed;
            if (first == C('f') && is("frame")) known = tag_frame;
            break;
        case 6:
            if (first == C('s') && is("script")) known = tag_script;
            if (first == C('o') && is("object")) known = tag_object;
            if (first == C('a') && is("applet")) known = tag_applet;
            if (first == C('i') && is("iframe")) known = tag_iframe;
            break;
        case 8:
            if (first == C('n') && is("noscript")) known = tag_noscript;
            if (first == C('f') && is("frameset")) known = tag_frameset;
            break;
        default:
            break;
    }
    if (known != tag_undefined || name_chars_only) return known != tag_undefined ? known : tag_other;
    for (std::size_t j = 0; j < size; ++j)
        if (!is_name_char(name[j])) return tag_undefined;
    return tag_other;
}

}  // namespace html

#include "html/tag_rules.ipp"

namespace html {

template <class C>
html_stream_filter<C>::~html_stream_filter() = default;

template class html_stream_filter<char>;
template class html_stream_filter<wchar_t>;

}  // namespace html
