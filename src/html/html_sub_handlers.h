#pragma once
// The HTML and script content handlers as the HTTP filter plugs them in:
// sub-handlers on byte strings around the HTML filter and the script handler.
#include "core/interfaces.h"
#include "host/permission_qualifier.h"
#include "html/html_stream_filter.h"
#include "html/script_handler.h"

namespace html {

template <class C>
class html_stream_parser_sub_handler;

// HTML in a single- or multi-byte encoding.
template <>
class html_stream_parser_sub_handler<char> : public i_sub_handler, public html_stream_filter<char> {
public:
    html_stream_parser_sub_handler(host_permission_qualifier* qualifier, i_connection_feedback* feedback,
                                   const byte_string& page_address = byte_string());
    bool update_in(byte_string& data) override;
    void stop(byte_string& data) override;
    // The filter catches its own failures and hands everything back.
    bool hands_back_on_failure() const override { return true; }
};

// HTML in UTF-16LE: bytes in, bytes out; an odd last byte waits for its pair.
template <>
class html_stream_parser_sub_handler<wchar_t> : public i_sub_handler, public html_stream_filter<wchar_t> {
public:
    html_stream_parser_sub_handler(host_permission_qualifier* qualifier, i_connection_feedback* feedback,
                                   const byte_string& page_address = byte_string());
    bool update_in(byte_string& data) override;
    void stop(byte_string& data) override;

private:
    byte_string m_odd_bytes;
};

using narrow_html_sub_handler = html_stream_parser_sub_handler<char>;
using wide_html_sub_handler = html_stream_parser_sub_handler<wchar_t>;

// A script document (text/javascript) filtered as a whole stream.
class java_parser_sub_handler : public i_sub_handler, public hyper_text_java_handler<char> {
public:
    java_parser_sub_handler(host_permission_qualifier* qualifier, i_connection_feedback* feedback);
    bool update_in(byte_string& data) override;
    void stop(byte_string& data) override;
};

}  // namespace html
