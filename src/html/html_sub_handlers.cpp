#include "html/html_sub_handlers.h"

namespace html {

namespace {

// Little-endian 16-bit units from the front of 'bytes' (an even count).
void units_from_bytes(const char* p, std::size_t count, wide_string& out) {
    out.resize(count / 2);
    for (std::size_t i = 0; i < count / 2; ++i) {
        const auto lo = static_cast<unsigned char>(p[2 * i]);
        const auto hi = static_cast<unsigned char>(p[2 * i + 1]);
        out[i] = static_cast<wchar_t>(lo | (hi << 8));
    }
}

void units_to_bytes(const wide_string& in, byte_string& out) {
    const std::size_t base = out.size();
    out.resize(base + in.size() * 2);
    for (std::size_t i = 0; i < in.size(); ++i) {
        const auto u = static_cast<std::uint32_t>(in[i]);
        out[base + 2 * i] = static_cast<char>(u & 0xFF);
        out[base + 2 * i + 1] = static_cast<char>((u >> 8) & 0xFF);
    }
}

}  // namespace

html_stream_parser_sub_handler<char>::html_stream_parser_sub_handler(host_permission_qualifier* qualifier,
                                                                     i_connection_feedback* feedback,
                                                                     const byte_string& page_address)
    : html_stream_filter<char>(feedback) {
    set_qualifier(qualifier);
    set_page_address(page_address);
}

bool html_stream_parser_sub_handler<char>::update_in(byte_string& data) { return update(data); }

void html_stream_parser_sub_handler<char>::stop(byte_string& data) { html_stream_filter<char>::stop(data); }

html_stream_parser_sub_handler<wchar_t>::html_stream_parser_sub_handler(host_permission_qualifier* qualifier,
                                                                        i_connection_feedback* feedback,
                                                                        const byte_string& page_address)
    : html_stream_filter<wchar_t>(feedback) {
    set_qualifier(qualifier);
    set_page_address(page_address);
}

bool html_stream_parser_sub_handler<wchar_t>::update_in(byte_string& data) {
    if (passes_unparsed()) {
        // The bytes go on as they came; only the pairing into units is kept,
        // so that parsing can begin at a unit boundary later on the page.
        if (!m_odd_bytes.empty()) {
            m_odd_bytes += data;
            data.swap(m_odd_bytes);
            m_odd_bytes.clear();
        }
        if (data.size() & 1) {
            m_odd_bytes.assign(1, data.back());
            data.pop_back();
        }
        return true;
    }
    wide_string text;
    if (m_odd_bytes.empty()) {
        units_from_bytes(data.data(), data.size() & ~std::size_t(1), text);
        if (data.size() & 1) m_odd_bytes.assign(1, data.back());
    } else {
        m_odd_bytes += data;
        units_from_bytes(m_odd_bytes.data(), m_odd_bytes.size() & ~std::size_t(1), text);
        if (m_odd_bytes.size() & 1) {
            m_odd_bytes.erase(0, m_odd_bytes.size() - 1);
        } else {
            m_odd_bytes.clear();
        }
    }
    bool result = update(text);
    data.clear();
    units_to_bytes(text, data);
    return result;
}

void html_stream_parser_sub_handler<wchar_t>::stop(byte_string& data) {
    wide_string text;
    units_from_bytes(data.data(), data.size() & ~std::size_t(1), text);
    // An odd byte in 'data' itself would be lost to the units: keep it in
    // front of the held one, in stream order.
    byte_string tail;
    if (data.size() & 1) tail.assign(1, data.back());
    html_stream_filter<wchar_t>::stop(text);
    data.clear();
    units_to_bytes(text, data);
    data += m_odd_bytes;
    data += tail;
    m_odd_bytes.clear();
}

java_parser_sub_handler::java_parser_sub_handler(host_permission_qualifier* qualifier, i_connection_feedback* feedback)
    : hyper_text_java_handler<char>(feedback, qualifier) {}

bool java_parser_sub_handler::update_in(byte_string& data) { return update(data); }

void java_parser_sub_handler::stop(byte_string& data) { hyper_text_java_handler<char>::stop(data); }

}  // namespace html
