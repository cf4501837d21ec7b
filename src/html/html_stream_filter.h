#pragma once
// The streaming HTML filter. It splits a document that arrives in chunks of
// any size into text, markup, comments and script bodies, emitting each piece
// as soon as no later input can change it; opening tags go to the tag rules,
// script bodies to the script handler, page text to the stop-word handler.
//
// Held input is bounded: a tag still open after max_held_markup characters,
// or a script construct (string, comment) after max_held_script characters,
// is emitted as it stands and the parser reads on without holding that
// construct again. The tag stack keeps at most max_tag_depth entries.
//
// A page on which no rule of the connection's policy can act (nothing is
// restricted that the rules or the script handler look at, and no stop word
// is set) is not parsed at all: its chunks come back as they went in. The
// policy is looked at on every chunk until it can act; from then on the rest
// of the page is parsed, starting at that chunk as at the top of a page.
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "core/interfaces.h"
#include "host/ipc_permission_qualifier.h"
#include "host/permission_qualifier.h"
#include "html/hyper_text.h"
#include "html/script_handler.h"
#include "html/text_handler.h"

namespace html {

namespace rules {
struct attr_value;
}

enum tag_type_value : std::int32_t {
    tag_undefined = 0,
    tag_other = 1,
    tag_a = 2,
    tag_script = 3,
    tag_noscript = 4,
    tag_object = 5,
    tag_embed = 6,
    tag_applet = 7,
    tag_iframe = 8,
    tag_frame = 9,
    tag_frameset = 10,
    tag_body = 11,
    tag_img = 12,
};

template <class C>
class html_stream_filter {
public:
    using string_t = std::basic_string<C>;
    using handler_t = i_hyper_text_handler<C>;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    static constexpr std::size_t max_held_markup = 256 * 1024;
    static constexpr std::size_t max_held_script = 256 * 1024;
    static constexpr std::size_t max_tag_depth = 8192;
    static constexpr std::size_t max_frames = 4096;

    // One open tag. Its folded name lives in m_tag_names (a stack like
    // m_tags), the text of the tag being handled in m_tag_text, so that an
    // entry holds no string of its own.
    struct tag_entry {
        std::size_t name_at = 0;
        std::size_t name_size = 0;
        std::int32_t tag_type = tag_undefined;
        handler_t* handler = nullptr;
        handler_t* saved_handler = nullptr;
        bool saved_cutting = false;
        bool ends_ad_link = false;  // closing it ends the advertisement link it opened
        // Stack bookkeeping: the hash of the folded name, and the next entry
        // outwards with the same hash.
        std::uint64_t name_hash = 0;
        std::size_t outer_same_name = npos;
    };

    explicit html_stream_filter(i_connection_feedback* feedback);
    html_stream_filter(const html_stream_filter&) = delete;
    html_stream_filter& operator=(const html_stream_filter&) = delete;

    ~html_stream_filter();

    bool update(string_t& text);
    void stop(string_t& text);
    void reset();
    // True while the page passes unparsed (see above), or after a failure
    // made the filter step aside: the caller may hand the chunk on as it is.
    // Once it returns false it stays false until reset.
    bool passes_unparsed();

    // The connection's qualifier, installed in the filter and its handlers
    // (null restores the built-in allow-all policy).
    void set_qualifier(host_permission_qualifier* q);
    void set_page_address(const byte_string& address);
    void set_base_address(const string_t& base) { m_base_address = base; }
    // The page's address for notifications and its host ("http://host/x"
    // or "host/x" gives "host") as the base of links without a scheme.
    void set_document_address(const byte_string& address);
    const string_t& base_address() const { return m_base_address; }
    const byte_string& page_address() const { return m_page_address; }

    // Used by the text handler on a stop word: the page ends here.
    void block_page() {
        m_fresh = false;
        m_blocked = true;
        m_need_more = true;
    }
    bool blocked() const { return m_blocked; }
    std::size_t held_size() const { return m_input.size() - m_pos; }
    std::size_t tag_depth() const { return m_tags.size(); }

    static std::int32_t classify_tag(const string_t& name);
    // name_chars_only: the caller knows every character is a name character.
    static std::int32_t classify_tag(const C* name, std::size_t size, bool name_chars_only = false);

protected:
    // Where the script scanner stands; offsets index m_input.
    struct script_scan {
        int state = 0;
        bool pending = false;
        bool line_comment = false;
        bool released = false;  // the open construct outgrew the bound
        std::size_t mark = 0;
        std::size_t pos = 0;  // next character to look at
        C prev = 0;           // the character before pos
    };
    // A tag seen to be incomplete at the front of the input.
    // Offsets count from the '<'.
    struct partial_tag {
        bool valid = false;
        bool closing = false;
        std::size_t name_begin = 0;
        std::size_t name_end = npos;  // npos: the name ran to the end
        std::size_t scanned = 0;      // no '>' (or name end) before this offset
    };
    enum tag_found { found_none, found_partial, found_comment, found_tag };

    bool parse();
    void parse_comment();
    void parse_script();
    void parse_markup();
    tag_found find_tag(std::size_t from, std::size_t& start, std::size_t& end, std::size_t& name_begin,
                       std::size_t& name_end, bool& closing);
    bool find_script_end(bool& found, bool& pending, std::size_t& mark, std::size_t& next);
    void emit(std::size_t begin, std::size_t end);
    void emit_piece(string_t& piece);
    // Output that is input left as it was is noted as a span of m_input and
    // appended in one piece when something else is written (output()) or the
    // call ends, instead of piece by piece.
    void copy_input(std::size_t begin, std::size_t end);
    void flush_span();
    string_t& output() {
        flush_span();
        return m_output;
    }
    void compact();
    // Where the parse step under way began, for the hand-back after a
    // failure: nothing of the step is in the output, all of it in the input.
    struct step_mark {
        std::size_t input = 0;
        std::size_t output = 0;
        std::size_t span_begin = 0;
        std::size_t span_end = 0;
    };
    void mark_step() { m_step = {m_pos, m_output.size(), m_span_begin, m_span_end}; }
    void handle_close_tag(std::size_t name_begin, std::size_t name_size, std::size_t start, std::size_t end);
    void push_tag(tag_entry& entry, std::size_t name_begin, std::size_t name_size);
    void pop_tags_from(std::size_t index);
    bool policy_inert();

    // Innermost stack index per name hash: open addressing, linear probing,
    // grown but never shrunk while a page lasts, so that opening and closing
    // tags allocate nothing once it has room. Kept only while m_indexed: a
    // closing tag first looks through the top index_after entries itself,
    // and only a stack searched that far in vain is indexed (index_stack),
    // until it is shallower than unindex_below again. Each indexing follows
    // at least index_after - unindex_below pushes, so its cost is spread
    // over them, and no closing tag looks through more than index_after
    // entries without the index.
    static constexpr std::size_t index_after = 32;
    static constexpr std::size_t unindex_below = 8;
    void index_stack();
    struct name_slot {
        std::uint64_t hash = 0;
        std::size_t index = npos;  // npos: empty slot
    };
    std::size_t innermost_find(std::uint64_t hash) const;
    // Returns the index the hash had before, npos when it had none.
    std::size_t innermost_set(std::uint64_t hash, std::size_t index);
    void innermost_grow();
    void innermost_erase(std::uint64_t hash);

    // Tag rules.
    bool handle_open_tag(tag_entry& entry);
    void pass(tag_entry& entry);
    void block_element(tag_entry& entry, int idx, const byte_string& keyword);
    void block_tag(tag_entry& entry, int idx, const byte_string& keyword);
    void notify(const tag_entry& entry, int idx, const byte_string& keyword);
    void append_blocked_replacement(int idx);
    bool set(int idx) { return m_qualifier->is_restricted(idx); }
    bool allowed(int idx) { return m_qualifier->get_permission_by_index(idx); }
    bool blocked_by(int idx) { return set(idx) && !allowed(idx); }
    bool tag_link(const string_t& text, int which, string_t& link);
    bool ad_link(const string_t& text, int which, byte_string& keyword);
    bool external_absolute(const string_t& text, int which);
    bool banner_size(const string_t& text);
    bool external_image(const string_t& text);
    void rule_a(tag_entry& e);
    void rule_script(tag_entry& e);
    void rule_noscript(tag_entry& e);
    void rule_object(tag_entry& e);
    void rule_flash_object(tag_entry& e);
    void rule_embed(tag_entry& e);
    void rule_applet(tag_entry& e);
    void rule_iframe(tag_entry& e);
    void rule_frame(tag_entry& e);
    void rule_frameset(tag_entry& e);
    void rule_body(tag_entry& e);
    void rule_img(tag_entry& e);
    void parse_sizes(string_t& text, int which, std::list<bool>& flags);

    enum class page_mode { passing, parsing };
    // Match results reused by the tag rules (defined with them).
    struct rule_scratch;
    rule_scratch& scratch();
    // An attribute value of a tag (the rules' common expressions).
    template <class V, class M>
    bool tag_value(const string_t& text, int id, V& v, M& m);
    // HEIGHT or WIDTH of m_tag_text, found once per tag.
    bool tag_size(int id, rules::attr_value& v);

    // Nothing has touched the filter since it was made or reset: a reset
    // (made for every response, whichever filter the body takes) has
    // nothing to do.
    bool m_fresh = true;
    bool m_comment_replacement_read = false;  // m_comment_replacement is for this page
    bool m_cutting = false;
    bool m_line_start = true;
    bool m_in_ad_link = false;
    bool m_in_script = false;
    bool m_in_comment = false;
    std::uint32_t m_comment_replacement = 0;
    std::int32_t m_script_language = 0;
    string_t m_input;
    std::size_t m_pos = 0;  // m_input before this offset is consumed
    string_t m_output;
    std::size_t m_span_begin = 0;  // see copy_input
    std::size_t m_span_end = 0;
    string_t m_base_address;
    std::vector<tag_entry> m_tags;
    string_t m_tag_names;  // the folded names of m_tags, back to back
    std::vector<name_slot> m_innermost;
    std::size_t m_innermost_count = 0;
    bool m_indexed = false;
    step_mark m_step;
    string_t m_tag_text;             // the opening tag being handled by the rules
    std::size_t m_tag_at = 0;        // where m_input holds it
    std::uint64_t m_tag_serial = 0;  // counts the tags put in m_tag_text
    string_t m_link;                 // a link being checked by the rules
    std::list<bool> m_frames;
    byte_string m_page_address;
    handler_t* m_current;
    hyper_text_stub<C> m_stub;
    hyper_text_cut_of<C> m_cut;
    hyper_text_java_handler<C> m_script_handlers[2];
    hyper_text_text_handler<C> m_text_handler;
    host_permission_qualifier* m_qualifier;
    stub_permission_qualifier m_stub_qualifier;
    i_connection_feedback* m_feedback;
    bool m_blocked = false;
    bool m_need_more = false;
    bool m_passthrough = false;  // an internal failure: everything passes

    script_scan m_scan;
    partial_tag m_partial;
    bool m_skip_to_gt = false;  // an over-long tag is being passed as text
    string_t m_piece;
    page_mode m_mode = page_mode::passing;
    std::unique_ptr<rule_scratch> m_scratch;
};

extern template class html_stream_filter<char>;
extern template class html_stream_filter<wchar_t>;

using narrow_html_filter = html_stream_filter<char>;
using wide_html_filter = html_stream_filter<wchar_t>;

}  // namespace html
