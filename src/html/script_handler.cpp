#include "html/script_handler.h"

#include <boost/regex.hpp>
#include <exception>
#include <vector>

#include "core/ascii.h"
#include "host/zem_io_commands.h"
#include "html/name_chars.h"
#include "log/log.h"
#include "platform/codepage.h"

namespace html {

namespace {

template <class C>
const boost::basic_regex<C>& script_expression() {
    // Never destroyed, like every compiled expression of the engine: a
    // connection thread may still be filtering while the process exits.
    static const boost::basic_regex<C>& rx = *new boost::basic_regex<C>(
        lit<C>(R"re(((((\w+\.)|(\s+))open\(.*?\))|((\w+\.)?SetCLSID(\(\w+\))?)|(new\s+ActiveXObject)))re"),
        boost::regex_constants::perl | boost::regex_constants::icase);
    return rx;
}

// What follows a "SetCLSID" without its "(word)" could still become that.
template <class C, class It>
bool may_continue_clsid(It b, It e) {
    static const boost::basic_regex<C>& rx =
        *new boost::basic_regex<C>(lit<C>(R"re(\(\w*)re"), boost::regex_constants::perl);
    return b == e || boost::regex_match(b, e, rx);
}

// Every construct of the expression holds one of three words ("open(",
// "SetCLSID", "ActiveXObject"), and before its word only word characters,
// blanks and dots. So a search can begin where such a stretch leads to the
// first of the words; without any of them only a trailing stretch can hold
// the beginning of a construct.
template <class C>
std::size_t find_construct_word(const std::basic_string<C>& s, std::size_t from) {
    for (std::size_t i = from; i < s.size(); ++i) {
        switch (s[i]) {
            case C('o'):
            case C('O'):
                if (ascii_folded_at(s, i, "open(")) return i;
                break;
            case C('s'):
            case C('S'):
                if (ascii_folded_at(s, i, "setclsid")) return i;
                break;
            case C('a'):
            case C('A'):
                if (ascii_folded_at(s, i, "activexobject")) return i;
                break;
            default:
                break;
        }
    }
    return std::basic_string<C>::npos;
}

template <class C>
std::size_t stretch_start(const std::basic_string<C>& s, std::size_t pos, std::size_t floor) {
    while (pos > floor) {
        C c = s[pos - 1];
        if (c != C('.') && !is_word_char(c) && !is_space_char(c)) break;
        --pos;
    }
    return pos;
}

// Whether the text from a "SetCLSID" that stands alone could still become
// a construct with an object in front, starting at the same place.
template <class C, class It>
bool may_grow_prefixed(It b, It e) {
    static const boost::basic_regex<C>& rx =
        *new boost::basic_regex<C>(lit<C>(R"re((\w+\.)(open\(.*?\)|SetCLSID(\(\w+\))?))re"),
                                   boost::regex_constants::perl | boost::regex_constants::icase);
    boost::match_results<It> m;
    return boost::regex_search(b, e, m, rx, boost::match_partial | boost::match_continuous) && !m[0].matched;
}

std::string describe(const byte_string& s) { return s; }
std::string describe(const wide_string& s) { return platform::wide_to_ansi(s); }

}  // namespace

template <class C>
hyper_text_java_handler<C>::hyper_text_java_handler(i_connection_feedback* feedback,
                                                    host_permission_qualifier* qualifier)
    : m_qualifier(qualifier ? qualifier : &m_default_qualifier), m_feedback(feedback) {}

template <class C>
struct hyper_text_java_handler<C>::scan_scratch {
    boost::match_results<typename string_t::const_iterator> match;
};

template <class C>
hyper_text_java_handler<C>::~hyper_text_java_handler() = default;

template <class C>
void hyper_text_java_handler<C>::reset() {
    m_held.clear();
    m_held.shrink_to_fit();
    m_rechecking = false;
    m_overflow = false;
}

template <class C>
bool hyper_text_java_handler<C>::whole_script_mode() {
    return m_qualifier->get_permissions()[idx_check_script] == content_action_block;
}

template <class C>
void hyper_text_java_handler<C>::notify(const string_t& matched, int index) {
    zem_io_commands::general_notify_object_blocked(m_feedback, m_qualifier->get_request_id(), matched.size(),
                                                   static_cast<std::uint32_t>(index), matched, byte_string(),
                                                   m_page_address);
}

template <class C>
bool hyper_text_java_handler<C>::update(string_t& text) {
    std::int32_t* permissions = m_qualifier->get_permissions();
    if (permissions[idx_check_script] == content_action_block && !m_rechecking && !m_overflow) {
        if (m_held.size() + text.size() <= max_whole_script) {
            m_held += text;
            text.clear();
            return true;
        }
        // Too long to hold for the host: from here on this script is
        // filtered like any other, starting with what was collected.
        m_overflow = true;
        m_held += text;
        text.swap(m_held);
        m_held.clear();
    }
    if (permissions[idx_popups] != content_action_allow || permissions[idx_ax_from_script] != content_action_allow) {
        filter_held(text, false);
    } else if (!m_held.empty()) {
        // The policy changed under a held tail: hand it back in order.
        m_held += text;
        text.swap(m_held);
        m_held.clear();
    }
    return true;
}

template <class C>
void hyper_text_java_handler<C>::filter_held(string_t& text, bool final) {
    using iterator = typename string_t::const_iterator;
    if (m_held.empty()) {
        // Nothing held back: the piece becomes the held text without a copy.
        m_held.swap(text);
    } else {
        m_held += text;
    }
    text.clear();
    std::vector<script_cut>& repl = m_cuts;
    repl.clear();
    std::size_t keep_from = m_held.size();
    const string_t& held = m_held;
    try {
        const auto& rx = script_expression<C>();
        if (!m_scratch) m_scratch = std::make_unique<scan_scratch>();
        boost::match_results<iterator>& m = m_scratch->match;
        std::size_t from = 0;
        while (from < held.size()) {
            const std::size_t word_at = find_construct_word(held, from);
            std::size_t start;
            if (word_at == string_t::npos) {
                if (final) break;
                start = stretch_start(held, held.size(), from);
                if (start == held.size()) break;
            } else {
                start = stretch_start(held, word_at, from);
            }
            auto flags = boost::match_default | boost::match_partial;
            if (start > 0) flags |= boost::match_prev_avail;
            if (!boost::regex_search(held.begin() + start, held.end(), m, rx, flags)) break;
            std::size_t b = static_cast<std::size_t>(m[0].first - held.begin());
            if (!m[0].matched) {
                // Only the next piece can tell; keep the start unless it has
                // grown past what a real construct needs.
                if (held.size() - b <= max_held_tail) keep_from = b;
                break;
            }
            std::size_t e = static_cast<std::size_t>(m[0].second - held.begin());
            if (!final && m[6].matched && !m[8].matched &&
                (may_continue_clsid<C>(held.begin() + e, held.end()) ||
                 (!m[7].matched && may_grow_prefixed<C>(held.begin() + b, held.end())))) {
                // A "SetCLSID" near the end may still get its "(word)", or
                // turn out to be the tail of "object.SetCLSID" or of
                // "object.open(...)": wait, so that where a piece ends does
                // not decide what goes.
                if (held.size() - b <= max_held_tail) keep_from = b;
                break;
            }
            std::size_t cb = static_cast<std::size_t>(m[1].first - held.begin());
            std::size_t ce = static_cast<std::size_t>(m[1].second - held.begin());
            if (m[2].matched) {
                if (m_qualifier->is_restricted(idx_popups) && !m_qualifier->get_permission_by_index(idx_popups)) {
                    repl.push_back({cb, ce, true});
                    notify(held.substr(cb, ce - cb), idx_popups);
                }
            } else if (m_qualifier->is_restricted(idx_ax_from_script) &&
                       !m_qualifier->get_permission_by_index(idx_ax_from_script)) {
                repl.push_back({cb, ce, false});
                notify(held.substr(cb, ce - cb), idx_ax_from_script);
            }
            if (e >= held.size() || e == b) break;
            from = e;
        }
    } catch (const std::exception& ex) {
        ZEM_LOG_ERROR("Plugin/HTML/html", "!!!EXCEPRION RAISED!!! in hyper_text_java_handler: "
                                              << ex.what() << "\r\n BUFFER:" << describe(held));
        keep_from = held.size();
    } catch (...) {
        ZEM_LOG_ERROR(
            "Plugin/HTML/html",
            "!!!EXCEPRION RAISED!!! in hyper_text_java_handler:(unkonown exception) BUFFER:" << describe(held));
        keep_from = held.size();
    }
    if (repl.empty() && keep_from == held.size()) {
        // Nothing to change or keep: the held text goes out as it is, and
        // the emptied buffer of 'text' is the next one to hold in.
        text.swap(m_held);
        m_held.clear();
        return;
    }
    std::size_t at = 0;
    for (const auto& r : repl) {
        text.append(held, at, r.begin - at);
        if (r.popup) {
            static const string_t empty_object = lit<C>("new Object( )");
            text += empty_object;
        }
        at = r.end;
    }
    if (at < keep_from) text.append(held, at, keep_from - at);
    m_held.erase(0, keep_from);
}

template <class C>
void hyper_text_java_handler<C>::stop(string_t& text) {
    if (!m_held.empty() && !m_overflow && whole_script_mode()) {
        zem_io_commands::http_check_script(m_held, m_feedback, m_qualifier->get_request_id());
        string_t checked;
        checked.swap(m_held);
        m_rechecking = true;
        update(checked);
        m_rechecking = false;
        text += checked;
    }
    if (!m_held.empty()) {
        // The end of the script. A construct held back only in case it went
        // on is complete now and goes as it would have in one piece; what is
        // still only the beginning of a construct goes out unchanged.
        string_t rest;
        std::int32_t* permissions = m_qualifier->get_permissions();
        if (permissions[idx_popups] != content_action_allow ||
            permissions[idx_ax_from_script] != content_action_allow) {
            filter_held(rest, true);
        }
        text += rest;
        text += m_held;
        m_held.clear();
    }
    m_overflow = false;
}

template class hyper_text_java_handler<char>;
template class hyper_text_java_handler<wchar_t>;

}  // namespace html
