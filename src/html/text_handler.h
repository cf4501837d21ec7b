#pragma once
// The text handler: checks page text for the host's stop words and blocks
// the page at the first one. A word may start in an earlier piece (before a
// tag or a chunk boundary): the tail where it may begin is carried over.
#include <cstddef>
#include <list>
#include <string>

#include "core/interfaces.h"
#include "host/ipc_permission_qualifier.h"
#include "host/permission_qualifier.h"
#include "html/hyper_text.h"
#include "match/multiple_matcher.h"

namespace html {

template <class C>
class html_stream_filter;

template <class C>
class hyper_text_text_handler : public i_hyper_text_handler<C> {
public:
    using string_t = std::basic_string<C>;

    // The carried tail never exceeds this: a stop word longer than that
    // (possible only with wildcards) is not followed across pieces.
    static constexpr std::size_t max_carry = 4096;

    hyper_text_text_handler(html_stream_filter<C>* filter, i_connection_feedback* feedback,
                            host_permission_qualifier* qualifier = nullptr);

    bool update(string_t& text) override;
    void stop(string_t& text) override;

    void set_qualifier(host_permission_qualifier* q) { m_qualifier = q ? q : &m_default_qualifier; }
    // Text would pass unchanged (the list is loaded or not needed, and empty
    // or not needed): the parser may skip the call.
    bool passes_unchanged() const { return m_initialised && !m_active; }
    // Whether a stop word can block the page: loads the list when the policy
    // asks for one (and asks again next time while it is empty).
    bool may_block() {
        if (!m_initialised) initialise();
        return m_active;
    }
    // Back to uninitialised, keeping filter, feedback and qualifier.
    void reset();

private:
    void initialise();
    void block(const byte_string& keyword);

    bool m_initialised = false;
    bool m_active = false;
    byte_string m_carry;
    html_stream_filter<C>* m_filter;
    i_connection_feedback* m_feedback;
    host_permission_qualifier* m_qualifier;
    std::list<byte_string> m_stop_words;
    multiple_matcher m_matcher;
    stub_permission_qualifier m_default_qualifier;
};

extern template class hyper_text_text_handler<char>;
extern template class hyper_text_text_handler<wchar_t>;

}  // namespace html
