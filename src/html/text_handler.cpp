#include "html/text_handler.h"

#include "host/zem_io_commands.h"
#include "html/html_stream_filter.h"
#include "log/log.h"
#include "platform/codepage.h"

namespace html {

namespace {

// The matcher works on narrow text. Wide text is narrowed one unit to one
// byte so that the matcher's offsets apply to the wide text unchanged.
const byte_string& narrow_view(const byte_string& s, byte_string&) { return s; }
const byte_string& narrow_view(const wide_string& s, byte_string& buffer) {
    buffer = platform::wide_to_ansi(s);
    if (buffer.size() != s.size()) {
        buffer.clear();
        buffer.reserve(s.size());
        for (wchar_t u : s) {
            byte_string one = platform::wide_to_ansi(wide_string(1, u));
            buffer.push_back(one.size() == 1 ? one[0] : '?');
        }
    }
    return buffer;
}

}  // namespace

template <class C>
hyper_text_text_handler<C>::hyper_text_text_handler(html_stream_filter<C>* filter, i_connection_feedback* feedback,
                                                    host_permission_qualifier* qualifier)
    : m_filter(filter), m_feedback(feedback), m_qualifier(qualifier ? qualifier : &m_default_qualifier) {}

template <class C>
void hyper_text_text_handler<C>::reset() {
    m_initialised = false;
    m_active = false;
    m_carry.clear();
    m_stop_words.clear();
    if (!m_matcher.empty()) m_matcher.assign(std::list<byte_string>());
}

template <class C>
void hyper_text_text_handler<C>::initialise() {
    if (!m_qualifier->is_restricted(idx_content_by_keywords) ||
        m_qualifier->get_permission_by_index(idx_content_by_keywords)) {
        m_initialised = true;
        return;
    }
    zem_io_commands::wide_list words;
    zem_io_commands::http_query_stop_words(words);
    for (const auto& w : words) m_stop_words.push_back(platform::wide_to_ansi(w));
    if (m_stop_words.empty()) return;
    if (!m_matcher.assign(m_stop_words)) {
        ZEM_LOG_ERROR("Plugin/HTML/html", "hyper_text_text_handler: Failed to assign stop_words_list for matcher");
        return;
    }
    m_active = true;
    m_initialised = true;
}

template <class C>
void hyper_text_text_handler<C>::block(const byte_string& keyword) {
    m_filter->block_page();
    if (m_feedback) m_feedback->request_stop();
    zem_io_commands::general_notify_stopword_blocked(
        m_feedback, m_qualifier->get_request_id(), m_qualifier->get_host(byte_string()),
        m_qualifier->get_address(byte_string()), platform::ansi_to_wide(keyword));
    ZEM_LOG(3, "Blocked by stopword: \"" << keyword << "\"!\n");
}

template <class C>
bool hyper_text_text_handler<C>::update(string_t& text) {
    if (!m_initialised) initialise();
    if (!m_active || text.empty()) return true;
    byte_string buffer;
    const byte_string& piece = narrow_view(text, buffer);
    const bool carry_case = !m_carry.empty();
    const std::size_t carried = m_carry.size();
    if (carry_case) m_carry += piece;
    const byte_string& w = carry_case ? m_carry : piece;

    byte_string keyword;
    std::size_t start = 0, end = 0;
    bool partial = false;
    if (m_matcher.search(w, keyword, start, end, partial)) {
        // Pieces emitted before this one stay emitted; this one is cut where
        // the word begins, or dropped when the word began earlier.
        std::size_t cut = start >= carried ? start - carried : 0;
        text.erase(cut);
        m_carry.clear();
        block(keyword);
        return true;
    }
    if (!partial) {
        m_carry.clear();
    } else if (carry_case) {
        m_carry.erase(0, start);
    } else {
        m_carry.assign(piece, start, byte_string::npos);
    }
    if (m_carry.size() > max_carry) m_carry.erase(0, m_carry.size() - max_carry);
    return true;
}

template <class C>
void hyper_text_text_handler<C>::stop(string_t&) {
    m_carry.clear();
}

template class hyper_text_text_handler<char>;
template class hyper_text_text_handler<wchar_t>;

}  // namespace html
