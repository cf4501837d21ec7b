#pragma once
// The script handler: removes pop-up window calls and ActiveX creation from
// script text, holding back a construct that may continue in the next piece;
// in whole-script mode it collects the script and lets the host check it.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/interfaces.h"
#include "host/ipc_permission_qualifier.h"
#include "host/permission_qualifier.h"
#include "html/hyper_text.h"

namespace html {

template <class C>
class hyper_text_java_handler : public i_hyper_text_handler<C> {
public:
    using string_t = std::basic_string<C>;

    // A construct still open after this many held characters is released
    // unchanged: only its end could have completed it.
    static constexpr std::size_t max_held_tail = 4096;
    // A script longer than this is not collected for the host any more: what
    // is held goes out through the ordinary rules and the rest follows piece
    // by piece.
    static constexpr std::size_t max_whole_script = 256 * 1024;

    explicit hyper_text_java_handler(i_connection_feedback* feedback = nullptr,
                                     host_permission_qualifier* qualifier = nullptr);
    ~hyper_text_java_handler() override;

    bool update(string_t& text) override;
    void stop(string_t& text) override;

    void set_qualifier(host_permission_qualifier* q) { m_qualifier = q ? q : &m_default_qualifier; }
    host_permission_qualifier* qualifier() const { return m_qualifier; }
    void set_page_address(const byte_string& a) { m_page_address = a; }
    const byte_string& page_address() const { return m_page_address; }
    // Back to idle, keeping qualifier, feedback and page address.
    void reset();

private:
    bool whole_script_mode();
    // final: the end of the script: nothing more can follow, so a complete
    // construct is not held back in case it went on; the beginning of one
    // stays in m_held.
    void filter_held(string_t& text, bool final);
    void notify(const string_t& matched, int index);

    // A construct to take out of m_held: a pop-up call is replaced by an
    // empty object, an ActiveX creation removed.
    struct script_cut {
        std::size_t begin, end;
        bool popup;
    };
    std::vector<script_cut> m_cuts;  // reused by filter_held
    // The match results filter_held reuses (defined with it).
    struct scan_scratch;
    std::unique_ptr<scan_scratch> m_scratch;
    string_t m_held;
    bool m_rechecking = false;
    bool m_overflow = false;  // this script outgrew max_whole_script
    host_permission_qualifier* m_qualifier;
    i_connection_feedback* m_feedback;
    byte_string m_page_address;
    stub_permission_qualifier m_default_qualifier;
};

extern template class hyper_text_java_handler<char>;
extern template class hyper_text_java_handler<wchar_t>;

}  // namespace html
