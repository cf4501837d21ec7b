#include "http/http_charset_encoding.h"

#include <cstring>
#include <utility>

#include "log/log.h"
#include "platform/codepage.h"

namespace {

bool is_base64(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

byte_string utf7_to_utf16le(const byte_string& utf7) {
    std::wstring wide;
    if (!platform::multibyte_to_wide(platform::cp_utf7, utf7, wide)) {
        ZEM_LOG_ERROR("http/http_charset_encoding.cpp", "Error at MultiByteToWideChar(): UTF-7 unavailable");
        return byte_string();
    }
    return platform::wide_to_utf16le(wide);
}

void swap_pairs(byte_string& s) {
    std::size_t n = s.size() & ~std::size_t(1);
    char* p = &s[0];
    for (std::size_t i = 0; i < n; i += 2) std::swap(p[i], p[i + 1]);
}

}  // namespace

http_charset_utf7_encoder::http_charset_utf7_encoder(i_sub_handler* target, bool to_utf8)
    : m_to_utf8(to_utf8), m_psubhandler(target) {}

http_charset_utf7_encoder::http_charset_utf7_encoder(std::shared_ptr<i_sub_handler> target, bool to_utf8)
    : m_to_utf8(to_utf8), m_psubhandler(target.get()), m_owned(std::move(target)) {}

std::size_t http_charset_utf7_encoder::convertible(bool& cut_run) const {
    cut_run = false;
    const std::size_t n = m_buffer.size();
    bool shifted = false;
    std::size_t plus_at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(m_buffer[i]);
        if (!shifted) {
            if (c == '+') {
                shifted = true;
                plus_at = i;
            }
        } else if (!is_base64(c)) {
            shifted = false;  // any other byte ends the run ("-" is absorbed by it)
        }
    }
    if (!shifted) return n;
    std::size_t letters = n - plus_at - 1;
    if (letters < utf7_run_hold_bound) return plus_at;
    // Keep at least one letter behind the cut so that a "-" arriving next
    // still closes a run instead of forming "+-".
    cut_run = true;
    return plus_at + 1 + ((letters - 1) / 8) * 8;
}

// UTF-16LE from the wide handler to the client's code page, in place.
void http_charset_utf7_encoder::to_client(byte_string& utf16le) const {
    if (utf16le.size() % 2)
        ZEM_LOG_ERROR("http/http_charset_encoding.cpp",
                      "http_charset_utf7_encoder: odd UTF-16 output size()=" << utf16le.size());
    std::wstring wide = platform::utf16le_to_wide(utf16le.data(), utf16le.size());
    byte_string out;
    if (!platform::wide_to_multibyte(m_to_utf8 ? platform::cp_utf8 : platform::cp_utf7, wide, out)) {
        ZEM_LOG_ERROR("http/http_charset_encoding.cpp", "Error at WideCharToMultiByte():"
                                                            << "(null)");
    }
    utf16le.swap(out);
}

bool http_charset_utf7_encoder::update_in(byte_string& data) {
    if (!m_psubhandler) {
        ZEM_LOG_ERROR("http/http_charset_encoding.cpp", "http_charset_utf7_encoder::update_in: m_psubhandler not set");
        return false;
    }
    if (data.empty()) return true;
    m_buffer.append(data);
    bool cut_run = false;
    std::size_t n = convertible(cut_run);
    byte_string part;
    if (n == m_buffer.size()) {
        part.swap(m_buffer);
    } else {
        part.assign(m_buffer, 0, n);
        m_buffer.erase(0, n);  // what stays is one unfinished run, bounded
        if (cut_run) {
            part += '-';
            m_buffer.insert(m_buffer.begin(), '+');
        }
    }
    data = utf7_to_utf16le(part);
    if (!m_declined && !data.empty() && !m_psubhandler->update_in(data)) m_declined = true;
    to_client(data);
    // When the handler gives up, the text is still carried to the client in
    // the one code page it has been getting; undecoded UTF-7 after converted
    // text would garble the page.
    return true;
}

void http_charset_utf7_encoder::stop(byte_string& data) {
    if (!m_psubhandler) {
        ZEM_LOG_ERROR("http/http_charset_encoding.cpp", "http_charset_utf7_encoder::stop: m_psubhandler not set");
        return;
    }
    // An unfinished run at the end of the body: convert what it holds.
    byte_string text = utf7_to_utf16le(m_buffer);
    m_buffer.clear();
    if (!m_declined && !text.empty() && !m_psubhandler->update_in(text)) m_declined = true;
    if (!m_declined) {
        byte_string tail;
        m_psubhandler->stop(tail);
        text.append(tail);
    }
    to_client(text);
    data.append(text);
}

bool big_endian_to_little_endian::update_in(byte_string& data) {
    if (!m_ptarget_handler) return false;
    if (data.empty()) return true;
    if (data.size() == 1 && !m_held) {
        m_held = true;
        m_held_byte = static_cast<unsigned char>(data[0]);
        data.clear();
        return true;
    }
    if (m_held) {
        data.insert(data.begin(), static_cast<char>(m_held_byte));
        m_held = false;
    }
    if (data.size() % 2) {
        m_held = true;
        m_held_byte = static_cast<unsigned char>(data.back());
        data.pop_back();
    }
    swap_pairs(data);
    bool result = m_ptarget_handler->update_in(data);
    swap_pairs(data);
    if (data.size() % 2)
        ZEM_LOG_ERROR(
            "http/http_charset_encoding.cpp",
            "big_endian_to_little_endian::update_in: m_ptarget_handler return wrong result size()=" << data.size());
    if (!result && m_held) {
        // Giving up hands back everything, the odd byte too.
        data.push_back(static_cast<char>(m_held_byte));
        m_held = false;
    }
    return result;
}

void big_endian_to_little_endian::stop(byte_string& data) {
    if (!m_ptarget_handler) return;
    byte_string tail;
    m_ptarget_handler->stop(tail);
    swap_pairs(tail);
    data.append(tail);
    if (m_held) {
        // Half a unit at the very end: it goes on as it came.
        data.push_back(static_cast<char>(m_held_byte));
        m_held = false;
    }
}
