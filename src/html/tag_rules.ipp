// The tag rules of html_stream_filter: what happens to an opening tag that
// the parser finds outside a removed element. Included by
// html_stream_filter.cpp, which instantiates the filter.

#include <algorithm>
#include <boost/regex.hpp>
#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/ascii.h"
#include "core/configuration.h"
#include "host/zem_io_commands.h"
#include "log/log.h"

namespace html {

namespace rules {

enum attr_id {
    rx_a_link,
    rx_body_load,
    rx_hidden_iframe,
    rx_tiny_object,
    rx_rows,
    rx_cols,
    rx_one_size,
    rx_clsid,
    rx_flash,
    rx_java,
    rx_src_host,
    rx_abs_src,
    rx_src,
    rx_data,
    rx_abs_codebase,
    rx_language,
    rx_height,
    rx_width,
    // The parts of the three detectors with an open stretch in the middle
    // (see detect below).
    rx_style_open,
    rx_hidden_style,
    rx_flash_type,
    rx_reference_open,
    rx_flash_file,
    rx_java_type,
    rx_java_file,
    rx_count
};

template <class C>
const boost::basic_regex<C>& attr_expression(int id) {
    static const char* const literals[rx_count] = {
        R"re(HREF=\s*?"((http://)?(.*?))")re",
        R"re((onload|onunload)=\s*".*?")re",
        R"re(((HEIGHT|WIDTH)="(0|1)")|(STYLE=".*?(visibility:hidden|display:none).*?"))re",
        R"re(((HEIGHT|WIDTH)="(0|1)"))re",
        R"re(ROWS="(.*?)")re",
        R"re(COLS="(.*?)")re",
        R"re(((\d+)?((\*)|(%))?)((,)|($)))re",
        R"re(classid="?(clsid:)?([0-9a-f]{8}-([0-9a-f]{4}-){3}[0-9a-f]{12}))re",
        R"re(((TYPE|CODETYPE)="application/(x-shockwave-flash)")|((SRC|CODE|DATA)=".*?\.(SWF)"))re",
        R"re((TYPE="application/(x-java-applet|java-archive|x-jar)")|((SRC|CODE|DATA)=".*?\.(JAR|CLASS)"))re",
        R"re(SRC="((http|ftp|.*?)://([^/]*))?(.*?)")re",
        R"re(SRC="((http://)?.*?)")re",
        R"re(SRC="(.*?)")re",
        R"re(DATA="(.*?)")re",
        R"re(CODEBASE="((http://)?.*?)")re",
        R"re(LANGUAGE="?((VBScript)|(JavaScript)))re",
        R"re(HEIGHT="?(\d+(%)?))re",
        R"re(WIDTH="?(\d+(%)?))re",
        R"re(STYLE=")re",
        R"re((visibility:hidden|display:none))re",
        R"re(((TYPE|CODETYPE)="application/(x-shockwave-flash)"))re",
        R"re((SRC|CODE|DATA)=")re",
        R"re(\.(SWF)")re",
        R"re((TYPE="application/(x-java-applet|java-archive|x-jar)"))re",
        R"re(\.(JAR|CLASS)")re",
    };
    // Never destroyed, like every compiled expression of the engine: a
    // connection thread may still be filtering while the process exits.
    static const std::vector<boost::basic_regex<C>>& compiled = *new std::vector<boost::basic_regex<C>>([] {
        std::vector<boost::basic_regex<C>> v;
        v.reserve(rx_count);
        for (const char* l : literals)
            v.emplace_back(lit<C>(l), boost::regex_constants::perl | boost::regex_constants::icase);
        return v;
    }());
    return compiled[id];
}

template <class C>
using match_t = boost::match_results<typename std::basic_string<C>::const_iterator>;

// A search that never throws: an expression the engine gives up on counts
// as no match, and the tag keeps its way through the rules.
// The text every match of an expression begins with (ASCII, lower case),
// or null when it has no such fixed beginning.
inline const char* leading_literal(int id) {
    switch (id) {
        case rx_a_link:
            return "href=";
        case rx_body_load:
            return "on";
        case rx_rows:
            return "rows=\"";
        case rx_cols:
            return "cols=\"";
        case rx_clsid:
            return "classid=";
        case rx_src_host:
        case rx_abs_src:
        case rx_src:
            return "src=\"";
        case rx_data:
            return "data=\"";
        case rx_abs_codebase:
            return "codebase=\"";
        case rx_language:
            return "language=";
        case rx_height:
            return "height=";
        case rx_width:
            return "width=";
        case rx_style_open:
            return "style=\"";
        default:
            return nullptr;
    }
}

// Where a match of an expression beginning with 'literal' may start: the
// first place the literal stands (ignoring ASCII case), or an earlier
// character outside ASCII, which some case folding might turn into a letter
// of it. The size of the text when there is neither: no match can exist.
template <class C>
std::size_t first_possible_start(const std::basic_string<C>& text, const char* literal) {
    const auto first = static_cast<unsigned char>(literal[0]);
    const auto first_upper = static_cast<unsigned char>(first >= 'a' && first <= 'z' ? first - 32 : first);
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<std::make_unsigned_t<C>>(text[i]);
        if (c >= 0x80) return i;
        if ((c == first || c == first_upper) && ascii_folded_at(text, i, literal)) return i;
    }
    return n;
}

template <class C>
bool find_attr(const std::basic_string<C>& text, int id, match_t<C>& m) {
    try {
        // No match can begin before the expression's fixed beginning: the
        // search starts there, and a tag without it is not searched at all.
        if (const char* literal = leading_literal(id)) {
            const std::size_t from = first_possible_start(text, literal);
            if (from >= text.size()) return false;
            if (from > 0)
                return boost::regex_search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), m,
                                           attr_expression<C>(id), boost::match_default | boost::match_prev_avail);
        }
        return boost::regex_search(text.begin(), text.end(), m, attr_expression<C>(id));
    } catch (const std::exception& ex) {
        ZEM_LOG_ERROR("Plugin/HTML/html", "HTML: attribute expression failed: " << ex.what());
    } catch (...) {
        ZEM_LOG_ERROR("Plugin/HTML/html", "HTML: attribute expression failed");
    }
    return false;
}

// Capture 1 of an attribute expression as offsets, and whether capture 2
// matched (the "http://" of a link, the "%" of a size).
struct attr_value {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool second = false;
};

template <class C>
bool is_ascii_blank(C c) {
    return c == C(' ') || c == C('\t') || c == C('\n') || c == C('\v') || c == C('\f') || c == C('\r');
}

// For ASCII text only. Each literal holds one '=', 'before' characters in:
// the text is searched for that character (a memchr for narrow text), and the
// literal is compared around each one found, in the order of the text, so
// the first match found is the first one there is.
template <class C>
std::size_t find_folded(const std::basic_string<C>& text, std::size_t from, const char* literal, std::size_t before) {
    using traits = std::char_traits<C>;
    const C* const s = text.data();
    const std::size_t n = text.size();
    for (std::size_t at = from + before; at < n;) {
        const C* eq = traits::find(s + at, n - at, C('='));
        if (!eq) break;
        const std::size_t p = static_cast<std::size_t>(eq - s) - before;
        if (ascii_starts_folded(s + p, n - p, literal)) return p;
        at = static_cast<std::size_t>(eq - s) + 1;
    }
    return std::basic_string<C>::npos;
}

// The common attribute expressions worked out directly, as the expression
// engine would match them, for a tag in plain ASCII (outside it, what counts
// as a blank, a digit or the same letter may depend on the locale): false in
// 'decided' when the expression has to run.
template <class C>
bool is_plain_ascii(const std::basic_string<C>& text) {
    std::size_t k = 0;
    if constexpr (sizeof(C) == 1) {
        // Eight bytes at a time: a byte outside ASCII has its top bit set.
        std::uint64_t bits = 0;
        for (; k + 8 <= text.size(); k += 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + k, 8);
            bits |= word;
        }
        if (bits & 0x8080808080808080ull) return false;
    }
    std::make_unsigned_t<C> bits = 0;
    for (; k < text.size(); ++k) bits |= static_cast<std::make_unsigned_t<C>>(text[k]);
    return bits < 0x80;
}

template <class C>
bool quick_value(const std::basic_string<C>& text, bool ascii, int id, attr_value& v, bool& decided) {
    using string_t = std::basic_string<C>;
    decided = false;
    // Each literal with its length and where its '=' stands.
    const char* literal = nullptr;
    std::size_t length = 0, before = 0;
    switch (id) {
        case rx_a_link:
            literal = "href=", length = 5, before = 4;
            break;
        case rx_src:
            literal = "src=\"", length = 5, before = 3;
            break;
        case rx_data:
            literal = "data=\"", length = 6, before = 4;
            break;
        case rx_height:
            literal = "height=", length = 7, before = 6;
            break;
        case rx_width:
            literal = "width=", length = 6, before = 5;
            break;
        default:
            return false;
    }
    if (!ascii) return false;
    decided = true;
    const std::size_t n = text.size();
    for (std::size_t p = find_folded(text, 0, literal, before); p != string_t::npos;
         p = find_folded(text, p + 1, literal, before)) {
        std::size_t j = p + length;
        if (id == rx_src || id == rx_data) {
            // NAME="(.*?)": the value runs to the next quote.
            const std::size_t close = text.find(C('"'), j);
            if (close == string_t::npos) return false;
            v = {j, close, false};
            return true;
        }
        if (id == rx_a_link) {
            // HREF=\s*?"((http://)?(.*?))"
            while (j < n && text[j] != C('"') && is_ascii_blank(text[j])) ++j;
            if (j >= n || text[j] != C('"')) continue;
            const std::size_t close = text.find(C('"'), j + 1);
            if (close == string_t::npos) continue;
            v = {j + 1, close, ascii_folded_at(text, j + 1, "http://")};
            return true;
        }
        // NAME="?(\d+(%)?)
        if (j < n && text[j] == C('"')) ++j;
        std::size_t d = j;
        while (d < n && text[d] >= C('0') && text[d] <= C('9')) ++d;
        if (d == j) continue;
        const bool percent = d < n && text[d] == C('%');
        v = {j, d + (percent ? 1 : 0), percent};
        return true;
    }
    return false;
}

template <class C>
bool find_value(const std::basic_string<C>& text, bool ascii, int id, attr_value& v, match_t<C>& m) {
    bool decided = false;
    const bool found = quick_value(text, ascii, id, v, decided);
    if (decided) return found;
    if (!find_attr(text, id, m)) return false;
    v.begin = static_cast<std::size_t>(m[1].first - text.begin());
    v.end = static_cast<std::size_t>(m[1].second - text.begin());
    v.second = m[2].matched;
    return true;
}

// B somewhere after the end of A.
template <class C>
bool followed_by(const std::basic_string<C>& text, int a, int b) {
    match_t<C> m;
    if (!find_attr(text, a, m)) return false;
    try {
        return boost::regex_search(m[0].second, text.end(), attr_expression<C>(b),
                                   boost::match_default | boost::match_prev_avail);
    } catch (...) {
        return false;
    }
}

// The hidden-IFRAME, Flash and Java detectors. Each has a part "A.*?B" with
// the dot taking anything: it matches exactly when B follows the first A, so
// it is tested that way, in one pass, instead of letting the expression
// engine run to the end of the tag again for every A.
template <class C>
bool detect(const std::basic_string<C>& text, int id) {
    match_t<C> m;
    switch (id) {
        case rx_hidden_iframe:
            if (find_attr(text, rx_tiny_object, m)) return true;
            if (!find_attr(text, rx_style_open, m)) return false;
            {
                match_t<C> h;
                try {
                    if (!boost::regex_search(m[0].second, text.end(), h, attr_expression<C>(rx_hidden_style),
                                             boost::match_default | boost::match_prev_avail))
                        return false;
                } catch (...) {
                    return false;
                }
                return std::find(h[0].second, text.end(), C('"')) != text.end();
            }
        case rx_flash:
            return find_attr(text, rx_flash_type, m) || followed_by(text, rx_reference_open, rx_flash_file);
        case rx_java:
            return find_attr(text, rx_java_type, m) || followed_by(text, rx_reference_open, rx_java_file);
        default:
            return find_attr(text, id, m);
    }
}

template <class It>
bool starts_with(It b, It e, const char* prefix) {
    for (; *prefix; ++prefix, ++b)
        if (b == e || *b != static_cast<typename std::iterator_traits<It>::value_type>(*prefix)) return false;
    return true;
}

template <class C>
void append_ascii(std::basic_string<C>& to, const char* s) {
    const std::size_t n = std::char_traits<char>::length(s);
    if constexpr (std::is_same_v<C, char>) {
        to.append(s, n);
    } else {
        const std::size_t at = to.size();
        to.resize(at + n);
        for (std::size_t k = 0; k < n; ++k) to[at + k] = static_cast<C>(static_cast<unsigned char>(s[k]));
    }
}

// Decimal digits to an int; a value beyond 32 bits saturates, so that a
// silly size is just a size that matches no banner.
template <class It>
bool parse_number(It b, It e, int& out) {
    long long v = 0;
    if (b == e) return false;
    for (It i = b; i != e; ++i) {
        auto c = *i;
        if (c < '0' || c > '9') return false;
        if (v < INT_MAX) v = v * 10 + (c - '0');
    }
    out = v > INT_MAX ? INT_MAX : static_cast<int>(v);
    return true;
}

// An address the replacement image can be given as it is: browsers refuse
// file: images on http: pages, so a host that answers with a data: or web
// address means that address; anything else is a local path.
template <class C>
bool has_image_scheme(const std::basic_string<C>& s) {
    return ascii_folded_at(s, 0, "data:") || ascii_folded_at(s, 0, "http:") || ascii_folded_at(s, 0, "https:");
}

// A class identifier in its 36-character text form, braces allowed around.
template <class C>
bool parse_uuid(std::basic_string<C> text, unsigned char (&out)[16]) {
    if (text.size() == 38 && text.front() == C('{') && text.back() == C('}')) text = text.substr(1, 36);
    if (text.size() != 36) return false;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != C('-')) return false;
            ++i;
            continue;
        }
        int hi = ::hex_value(text[i]), lo = ::hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[byte++] = static_cast<unsigned char>(hi * 16 + lo);
        i += 2;
    }
    return byte == 16;
}

}  // namespace rules

template <class C>
struct html_stream_filter<C>::rule_scratch {
    // One set per helper, so that a rule may still read its own results
    // after calling another helper.
    rules::match_t<C> rule, rule2, link, absolute, src, height, width;
    std::uint64_t ascii_tag = 0;  // m_tag_serial of the tag 'ascii' is about
    bool ascii = false;
    // HEIGHT and WIDTH of the tag being handled: a banner that is replaced
    // needs them again for its replacement.
    struct size_value {
        std::uint64_t tag = 0;  // m_tag_serial they were found for
        bool found = false;
        rules::attr_value v;
    };
    size_value sizes[2];
};

template <class C>
template <class V, class M>
bool html_stream_filter<C>::tag_value(const string_t& text, int id, V& v, M& m) {
    bool ascii;
    if (&text == &m_tag_text) {
        rule_scratch& sc = scratch();
        if (sc.ascii_tag != m_tag_serial) {
            sc.ascii = rules::is_plain_ascii(m_tag_text);
            sc.ascii_tag = m_tag_serial;
        }
        ascii = sc.ascii;
    } else {
        ascii = rules::is_plain_ascii(text);
    }
    return rules::find_value(text, ascii, id, v, m);
}

template <class C>
bool html_stream_filter<C>::tag_size(int id, rules::attr_value& v) {
    rule_scratch& sc = scratch();
    typename rule_scratch::size_value& cached = sc.sizes[id == rules::rx_height ? 0 : 1];
    if (cached.tag != m_tag_serial) {
        cached.found = tag_value(m_tag_text, id, cached.v, id == rules::rx_height ? sc.height : sc.width);
        cached.tag = m_tag_serial;
    }
    v = cached.v;
    return cached.found;
}

template <class C>
typename html_stream_filter<C>::rule_scratch& html_stream_filter<C>::scratch() {
    if (!m_scratch) m_scratch = std::make_unique<rule_scratch>();
    return *m_scratch;
}

template <class C>
bool html_stream_filter<C>::handle_open_tag(tag_entry& e) {
    switch (e.tag_type) {
        case tag_other:
            pass(e);
            break;
        case tag_a:
            rule_a(e);
            break;
        case tag_script:
            rule_script(e);
            break;
        case tag_noscript:
            rule_noscript(e);
            break;
        case tag_object:
            rule_object(e);
            break;
        case tag_embed:
            rule_embed(e);
            break;
        case tag_applet:
            rule_applet(e);
            break;
        case tag_iframe:
            rule_iframe(e);
            break;
        case tag_frame:
            rule_frame(e);
            break;
        case tag_frameset:
            rule_frameset(e);
            break;
        case tag_body:
            rule_body(e);
            break;
        case tag_img:
            rule_img(e);
            break;
        default:
            ZEM_LOG(2, "HTML: Undefined tag_type=" << e.tag_type << "\n");
            e.handler = &m_stub;
            output() += m_tag_text;
            break;
    }
    return true;
}

template <class C>
void html_stream_filter<C>::pass(tag_entry& e) {
    e.handler = &m_stub;
    // A tag no rule changed is still the input it was taken from.
    const std::size_t size = m_tag_text.size();
    if (m_tag_at + size <= m_input.size() && m_input.compare(m_tag_at, size, m_tag_text) == 0) {
        copy_input(m_tag_at, m_tag_at + size);
    } else {
        output() += m_tag_text;
    }
}

template <class C>
void html_stream_filter<C>::notify(const tag_entry&, int idx, const byte_string& keyword) {
    if (idx == idx_unknown) return;
    zem_io_commands::general_notify_object_blocked(m_feedback, m_qualifier->get_request_id(), m_tag_text.size(),
                                                   static_cast<std::uint32_t>(idx), m_tag_text, keyword,
                                                   m_page_address);
}

template <class C>
void html_stream_filter<C>::block_element(tag_entry& e, int idx, const byte_string& keyword) {
    e.handler = &m_cut;
    m_current = &m_cut;
    e.saved_cutting = m_cutting;
    append_blocked_replacement(idx);
    m_cutting = true;
    notify(e, idx, keyword);
}

template <class C>
void html_stream_filter<C>::block_tag(tag_entry& e, int idx, const byte_string& keyword) {
    e.handler = &m_cut;
    m_current = &m_text_handler;
    e.saved_cutting = m_cutting;
    append_blocked_replacement(idx);
    notify(e, idx, keyword);
}

template <class C>
void html_stream_filter<C>::append_blocked_replacement(int idx) {
    string_t& r = output();
    if (!m_comment_replacement_read) {
        // Read once per page, and only by a page that blocks something.
        m_comment_replacement = config::read_u32("html_comment_replacement", 0);
        m_comment_replacement_read = true;
    }
    if (m_comment_replacement) {
        rules::append_ascii(r, "<!-- tag [");
        r += m_tag_text;
        rules::append_ascii(r, "] blocked by \"");
        rules::append_ascii(r, permission_index_name(idx));
        rules::append_ascii(r, "\" option-->");
    }
    if (idx != idx_ads_by_link && idx != idx_ads_by_size) return;
    const int gif_idx = idx == idx_ads_by_link ? idx_ads_by_link_replace_gif : idx_ads_by_size_replace_gif;
    if (!allowed(gif_idx)) {
        rules::append_ascii(r, "<FONT size=\"1\">[AD]</FONT>");
        return;
    }
    const string_t image = m_qualifier->get_transparent_gif(string_t());
    rules::append_ascii(r, "<img src=\"");
    if (!rules::has_image_scheme(image)) rules::append_ascii(r, "file://");
    r += image;
    r += C('"');
    rules::attr_value h, w;
    const bool has_height = tag_size(rules::rx_height, h);
    if (!(has_height && h.second)) {
        if (tag_size(rules::rx_width, w) && !w.second) {
            rules::append_ascii(r, " width=");
            r.append(m_tag_text, w.begin, w.end - w.begin);
        }
        if (has_height) {
            rules::append_ascii(r, " height=");
            r.append(m_tag_text, h.begin, h.end - h.begin);
        }
    }
    rules::append_ascii(r, " >");
}

template <class C>
bool html_stream_filter<C>::tag_link(const string_t& text, int which, string_t& link) {
    rules::attr_value v;
    if (!tag_value(text, which, v, scratch().link)) return false;
    link.clear();
    if (!rules::starts_with(text.begin() + static_cast<std::ptrdiff_t>(v.begin),
                            text.begin() + static_cast<std::ptrdiff_t>(v.end), "http://")) {
        rules::append_ascii(link, "http://");
        link += m_base_address;
        link += C('/');
    }
    link.append(text, v.begin, v.end - v.begin);
    return true;
}

template <class C>
bool html_stream_filter<C>::ad_link(const string_t& text, int which, byte_string& keyword) {
    if (!set(idx_ads_by_link)) return false;
    if (!tag_link(text, which, m_link)) return false;
    keyword.clear();
    if (m_qualifier->check_ad_link(m_link, keyword)) return false;
    return !allowed(idx_ads_by_link);
}

template <class C>
bool html_stream_filter<C>::external_absolute(const string_t& text, int which) {
    if (!set(idx_ext_images)) return false;
    rules::match_t<C>& m = scratch().absolute;
    if (!rules::find_attr(text, which, m) || !m[2].matched) return false;
    return !allowed(idx_ext_images);
}

template <class C>
bool html_stream_filter<C>::banner_size(const string_t& text) {
    if (!set(idx_ads_by_size)) return false;
    rules::attr_value h, w;
    if (!tag_size(rules::rx_height, h) || h.second) return false;
    if (!tag_size(rules::rx_width, w) || w.second) return false;
    int height = 0, width = 0;
    if (!rules::parse_number(text.begin() + static_cast<std::ptrdiff_t>(h.begin),
                             text.begin() + static_cast<std::ptrdiff_t>(h.end), height))
        return false;
    if (!rules::parse_number(text.begin() + static_cast<std::ptrdiff_t>(w.begin),
                             text.begin() + static_cast<std::ptrdiff_t>(w.end), width))
        return false;
    if (m_qualifier->check_ad_size(width, height)) return false;
    return !allowed(idx_ads_by_size);
}

template <class C>
bool html_stream_filter<C>::external_image(const string_t& text) {
    rules::match_t<C>& m = scratch().src;
    if (!rules::find_attr(text, rules::rx_src_host, m) || !m[1].matched) return false;
    const string_t image_host(m[3].first, m[3].second);
    const string_t page_host = m_qualifier->get_host(string_t());
    return image_host.compare(0, page_host.size(), page_host) != 0 || image_host.size() < page_host.size();
}

template <class C>
void html_stream_filter<C>::rule_a(tag_entry& e) {
    if (!set(idx_ads_by_link)) return pass(e);
    rules::attr_value v;
    if (tag_value(m_tag_text, rules::rx_a_link, v, scratch().rule)) {
        m_link.clear();
        if (!v.second) m_link = m_base_address;
        m_link.append(m_tag_text, v.begin, v.end - v.begin);
        byte_string keyword;
        if (!allowed(idx_ads_by_link) && !m_qualifier->check_ad_link(m_link, keyword)) {
            m_in_ad_link = true;
            e.ends_ad_link = true;
        }
    }
    pass(e);
}

template <class C>
void html_stream_filter<C>::rule_script(tag_entry& e) {
    rules::match_t<C>& m = scratch().rule;
    const bool vb = rules::find_attr(m_tag_text, rules::rx_language, m) && m[2].matched;
    m_script_language = vb ? 1 : 2;
    if ((set(idx_jscript) || set(idx_vbscript)) && ((vb && !allowed(idx_vbscript)) || (!vb && !allowed(idx_jscript)))) {
        return block_element(e, vb ? idx_vbscript : idx_jscript, byte_string());
    }
    e.saved_handler = m_current;
    m_current = &m_script_handlers[vb ? 1 : 0];
    if (external_absolute(m_tag_text, rules::rx_abs_src)) return block_element(e, idx_ext_images, byte_string());
    byte_string keyword;
    if (ad_link(m_tag_text, rules::rx_src, keyword)) return block_element(e, idx_ads_by_link, keyword);
    pass(e);
}

template <class C>
void html_stream_filter<C>::rule_noscript(tag_entry& e) {
    if (m_qualifier->get_permissions()[idx_jscript] != content_action_block) return pass(e);
    // The content is shown (scripts are off), both tags go.
    e.handler = &m_cut;
    m_current = &m_text_handler;
    e.saved_cutting = m_cutting;
    append_blocked_replacement(idx_unknown);
}

template <class C>
void html_stream_filter<C>::rule_flash_object(tag_entry& e) {
    if (m_in_ad_link) return block_tag(e, idx_ads_by_link, byte_string());
    if (blocked_by(idx_flash)) return block_element(e, idx_flash, byte_string());
    if (external_absolute(m_tag_text, rules::rx_abs_codebase)) return block_element(e, idx_ext_images, byte_string());
    pass(e);
}

template <class C>
void html_stream_filter<C>::rule_object(tag_entry& e) {
    if (m_in_ad_link) return block_tag(e, idx_ads_by_link, byte_string());
    if (set(idx_activex) || set(idx_flash)) {
        rules::match_t<C>& m = scratch().rule;
        if (rules::find_attr(m_tag_text, rules::rx_clsid, m)) {
            static const unsigned char flash_class[16] = {0xD2, 0x7C, 0xDB, 0x6E, 0xAE, 0x6D, 0x11, 0xCF,
                                                          0x96, 0xB8, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
            unsigned char uuid[16];
            if (!rules::parse_uuid(string_t(m[2].first, m[2].second), uuid)) {
                ZEM_LOG_ERROR("Plugin/HTML/html", "Failed to recognize clsid in tag:" << printable(m_tag_text));
                return pass(e);
            }
            if (std::equal(uuid, uuid + 16, flash_class)) return rule_flash_object(e);
            if (blocked_by(idx_activex)) return block_element(e, idx_activex, byte_string());
        }
    }
    // Asked again for an object with a class: when the first question was a
    // learn question, this one reads what the host's answer stored.
    if (blocked_by(idx_activex)) return block_element(e, idx_activex, byte_string());
    rules::match_t<C>& m = scratch().rule;
    if (set(idx_java_applets) && rules::detect(m_tag_text, rules::rx_java) && !allowed(idx_java_applets))
        return block_element(e, idx_java_applets, byte_string());
    if (set(idx_flash) && rules::detect(m_tag_text, rules::rx_flash) && !allowed(idx_flash))
        return block_element(e, idx_flash, byte_string());
    if (set(idx_hidden_frames) && rules::find_attr(m_tag_text, rules::rx_tiny_object, m) && !allowed(idx_hidden_frames))
        return block_element(e, idx_hidden_frames, byte_string());
    if (external_absolute(m_tag_text, rules::rx_abs_codebase)) return block_element(e, idx_ext_images, byte_string());
    byte_string keyword;
    if (ad_link(m_tag_text, rules::rx_data, keyword)) return block_element(e, idx_ads_by_link, keyword);
    if (banner_size(m_tag_text)) return block_element(e, idx_ads_by_size, byte_string());
    pass(e);
}

template <class C>
void html_stream_filter<C>::rule_embed(tag_entry& e) {
    if (m_in_ad_link) return block_tag(e, idx_ads_by_link, byte_string());
    if (blocked_by(idx_activex)) return block_tag(e, idx_activex, byte_string());
    if (set(idx_java_applets) && rules::detect(m_tag_text, rules::rx_java) && !allowed(idx_java_applets))
        return block_element(e, idx_java_applets, byte_string());
    if (set(idx_flash) && rules::detect(m_tag_text, rules::rx_flash) && !allowed(idx_flash))
        return block_element(e, idx_flash, byte_string());
    if (external_absolute(m_tag_text, rules::rx_abs_src)) return block_tag(e, idx_ext_images, byte_string());
    byte_string keyword;
    if (ad_link(m_tag_text, rules::rx_src, keyword)) return block_element(e, idx_ads_by_link, keyword);
    if (banner_size(m_tag_text)) return block_element(e, idx_ads_by_size, byte_string());
    pass(e);
}

template <class C>
void html_stream_filter<C>::rule_applet(tag_entry& e) {
    if (m_in_ad_link) return block_tag(e, idx_ads_by_link, byte_string());
    if (blocked_by(idx_java_applets)) return block_element(e, idx_java_applets, byte_string());
    if (external_absolute(m_tag_text, rules::rx_abs_codebase)) return block_tag(e, idx_ext_images, byte_string());
    pass(e);
}

template <class C>
void html_stream_filter<C>::rule_iframe(tag_entry& e) {
    if (set(idx_hidden_frames) && rules::detect(m_tag_text, rules::rx_hidden_iframe) && !allowed(idx_hidden_frames))
        return block_element(e, idx_hidden_frames, byte_string());
    if (set(idx_flash) && rules::detect(m_tag_text, rules::rx_flash) && !allowed(idx_flash))
        return block_element(e, idx_flash, byte_string());
    if (external_absolute(m_tag_text, rules::rx_abs_src)) return block_element(e, idx_ext_images, byte_string());
    byte_string keyword;
    if (ad_link(m_tag_text, rules::rx_src, keyword)) return block_element(e, idx_ads_by_link, keyword);
    if (banner_size(m_tag_text)) return block_element(e, idx_ads_by_size, byte_string());
    pass(e);
}

template <class C>
void html_stream_filter<C>::rule_frame(tag_entry& e) {
    if (set(idx_hidden_frames) && !m_frames.empty()) {
        const bool hidden = m_frames.front();
        m_frames.pop_front();
        if (hidden && !allowed(idx_hidden_frames)) return block_tag(e, idx_hidden_frames, byte_string());
    }
    pass(e);
}

template <class C>
void html_stream_filter<C>::parse_sizes(string_t& text, int which, std::list<bool>& flags) {
    rules::match_t<C> mv;
    if (!rules::find_attr(text, which, mv)) return;
    const std::size_t value_at = static_cast<std::size_t>(mv[1].first - text.cbegin());
    const string_t value(mv[1].first, mv[1].second);
    if (value.empty()) {
        // ROWS="" is one row with all the room, as a browser lays it out;
        // it hides nothing.
        flags.push_back(false);
        return;
    }
    struct size_item {
        std::size_t begin, end;  // of the match, in value
        bool star;
    };
    std::vector<size_item> items;
    long long percent_total = 0;
    auto blank = [&](const size_item& it) {
        std::size_t from = it.begin;
        std::size_t k = it.begin;
        while (k > 0 && (value[k - 1] == C(' ') || value[k - 1] == C('\t'))) --k;
        if (k > 0 && value[k - 1] == C(',')) from = k - 1;
        for (std::size_t j = from; j < it.end; ++j) text[value_at + j] = C(' ');
    };
    std::list<bool> result;
    std::size_t pos = 0;
    const auto& rx = rules::attr_expression<C>(rules::rx_one_size);
    while (pos <= value.size()) {
        rules::match_t<C> m;
        bool found = false;
        try {
            auto flags_rx = boost::match_default;
            if (pos > 0) flags_rx |= boost::match_prev_avail;
            found = boost::regex_search(value.cbegin() + pos, value.cend(), m, rx, flags_rx);
        } catch (...) {
            found = false;
        }
        if (!found) break;
        size_item it;
        it.begin = static_cast<std::size_t>(m[0].first - value.cbegin());
        it.end = static_cast<std::size_t>(m[0].second - value.cbegin());
        it.star = m[4].matched;
        int n = 0;
        const bool has_number = m[2].matched && rules::parse_number(m[2].first, m[2].second, n);
        bool hidden = false;
        if (m[5].matched) {
            if (n != 0) {
                percent_total += n;
            } else {
                hidden = true;
            }
        } else if (!it.star || has_number) {
            // A size without a number counts as 0; only "*" alone keeps
            // its room.
            hidden = n < 2;
        }
        if (hidden) blank(it);
        items.push_back(it);
        result.push_back(hidden);
        if (it.end >= value.size() || it.end == it.begin) break;
        pos = it.end;
    }
    if (percent_total > 98) {
        auto flag = result.begin();
        for (const auto& it : items) {
            if (it.star && !*flag) {
                *flag = true;
                blank(it);
            }
            ++flag;
        }
    }
    flags.splice(flags.end(), result);
}

template <class C>
void html_stream_filter<C>::rule_frameset(tag_entry& e) {
    if (!set(idx_hidden_frames)) return pass(e);
    if (!m_frames.empty()) {
        const bool hidden = m_frames.front();
        m_frames.pop_front();
        if (hidden && !allowed(idx_hidden_frames)) return block_element(e, idx_hidden_frames, byte_string());
    }
    std::list<bool> rows, cols;
    parse_sizes(m_tag_text, rules::rx_rows, rows);
    parse_sizes(m_tag_text, rules::rx_cols, cols);
    if (rows.empty() && cols.empty()) {
        ZEM_LOG_ERROR("Plugin/HTML/html", "HTML: FRAMSET without rows and cols parametrs!");
        return pass(e);
    }
    if (rows.empty()) rows.push_back(false);
    if (cols.empty()) cols.push_back(false);
    std::list<bool> frames;
    for (bool r : rows) {
        for (bool c : cols) {
            if (frames.size() + m_frames.size() >= max_frames) break;
            frames.push_back(r || c);
        }
    }
    m_frames.splice(m_frames.begin(), frames);
    pass(e);
}

template <class C>
void html_stream_filter<C>::rule_body(tag_entry& e) {
    rules::match_t<C>& m = scratch().rule;
    if (set(idx_load_unload_script) && rules::find_attr(m_tag_text, rules::rx_body_load, m) &&
        !allowed(idx_load_unload_script)) {
        notify(e, idx_load_unload_script, byte_string());
        m_tag_text.erase(static_cast<std::size_t>(m[0].first - m_tag_text.cbegin()),
                         static_cast<std::size_t>(m.length(0)));
        rules::match_t<C>& m2 = scratch().rule2;
        if (rules::find_attr(m_tag_text, rules::rx_body_load, m2))
            m_tag_text.erase(static_cast<std::size_t>(m2[0].first - m_tag_text.cbegin()),
                             static_cast<std::size_t>(m2.length(0)));
    }
    pass(e);
}

template <class C>
void html_stream_filter<C>::rule_img(tag_entry& e) {
    if (m_in_ad_link) return block_tag(e, idx_ads_by_link, byte_string());
    byte_string keyword;
    if (ad_link(m_tag_text, rules::rx_src, keyword)) return block_tag(e, idx_ads_by_link, keyword);
    if (banner_size(m_tag_text)) return block_tag(e, idx_ads_by_size, byte_string());
    if (set(idx_ext_images) && external_image(m_tag_text) && !allowed(idx_ext_images))
        return block_tag(e, idx_ext_images, byte_string());
    pass(e);
}

}  // namespace html
