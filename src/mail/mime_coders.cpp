#include "mail/mime_coders.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "core/ascii.h"
#include "log/log.h"
#include "platform/codepage.h"
#include "platform/never_destroyed.h"

#define ZEM_CODER_SOURCE "PLUGIN/MAIL/mimecdr"

namespace mail {

namespace {

const char b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char hex_digits[] = "0123456789ABCDEF";

// -1: not in the alphabet; -2: the pad character.
struct b64_table {
    signed char v[256];
    b64_table() {
        std::memset(v, -1, sizeof v);
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(b64_alphabet[i])] = static_cast<signed char>(i);
        v[static_cast<unsigned char>('=')] = -2;
    }
};
const b64_table b64;

bool qp_literal(unsigned char c) { return (c >= '!' && c <= '<') || (c >= '>' && c <= '~'); }

char uue_char(unsigned v) { return v == 0 ? '`' : static_cast<char>(32 + v); }

}  // namespace

// ---------------------------------------------------------------- Base64

int mime_base64_coder::coder(const byte_string& in, byte_string& out, const byte_string*) {
    const std::size_t n = in.size();
    out.reserve(out.size() + (n + 2) / 3 * 4 + (n / 57 + 2) * 2);
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    std::size_t line = 0;
    char group[4];
    for (std::size_t i = 0; i < n; i += 3) {
        if (line > 75) {
            out.append("\r\n", 2);
            line = 0;
        }
        const std::size_t left = n - i;
        const unsigned v = (p[i] << 16) | (left > 1 ? p[i + 1] << 8 : 0) | (left > 2 ? p[i + 2] : 0);
        group[0] = b64_alphabet[(v >> 18) & 63];
        group[1] = b64_alphabet[(v >> 12) & 63];
        group[2] = left > 1 ? b64_alphabet[(v >> 6) & 63] : '=';
        group[3] = left > 2 ? b64_alphabet[v & 63] : '=';
        out.append(group, 4);
        line += 4;
    }
    out.append("\r\n", 2);
    return 1;
}

int mime_base64_coder::decoder(const byte_string& in, byte_string& out) {
    const std::size_t n = in.size();
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t base = out.size();
    out.resize(base + n / 4 * 3 + 3);
    char* o = &out[base];
    std::size_t i = 0;
    unsigned acc = 0;
    int count = 0, pads = 0;
    while (i < n) {
        // Whole groups of four alphabet characters, the common case.
        if (count == 0) {
            while (i + 4 <= n) {
                const int a = b64.v[p[i]], b = b64.v[p[i + 1]], c = b64.v[p[i + 2]], d = b64.v[p[i + 3]];
                if ((a | b | c | d) < 0) break;
                const unsigned v = (unsigned(a) << 18) | (unsigned(b) << 12) | (unsigned(c) << 6) | unsigned(d);
                o[0] = static_cast<char>(v >> 16);
                o[1] = static_cast<char>(v >> 8);
                o[2] = static_cast<char>(v);
                o += 3;
                i += 4;
            }
            if (i >= n) break;
        }
        int v = b64.v[p[i++]];
        if (v == -1) continue;
        if (v == -2) {
            v = 0;
            ++pads;
        }
        acc = (acc << 6) | unsigned(v);
        if (++count == 4) {
            const int bytes = pads >= 3 ? 0 : 3 - pads;
            if (bytes > 0) *o++ = static_cast<char>(acc >> 16);
            if (bytes > 1) *o++ = static_cast<char>(acc >> 8);
            if (bytes > 2) *o++ = static_cast<char>(acc);
            acc = 0;
            count = pads = 0;
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
    return 1;
}

// ------------------------------------------------------- quoted-printable

int mime_quoted_printable::coder(const byte_string& in, byte_string& out, const byte_string*) {
    out.reserve(out.size() + in.size() + in.size() / 8);
    std::size_t line = 0;
    for (char ch : in) {
        const auto c = static_cast<unsigned char>(ch);
        if (m_soft_breaks && line > 71) {
            out.append("=\r\n", 3);
            line = 0;
        }
        if (c == '\r' || c == '\n') {
            out += ch;
            line = 0;
        } else if ((qp_literal(c) && c != '_') || c == ' ') {
            out += ch;
            ++line;
        } else {
            out += '=';
            out += hex_digits[c >> 4];
            out += hex_digits[c & 15];
            line += 3;
        }
    }
    return 1;
}

int mime_quoted_printable::decoder(const byte_string& in, byte_string& out) {
    const std::size_t n = in.size();
    out.reserve(out.size() + n);
    std::size_t i = 0;
    while (i < n) {
        const char c = in[i];
        const auto u = static_cast<unsigned char>(c);
        if (c != '=') {
            if (qp_literal(u) || c == '\t' || c == ' ' || c == '\r' || c == '\n') out += c;
            ++i;
            continue;
        }
        if (i + 2 >= n) {
            // "=" or "=" and one character at the very end; a bare-LF soft
            // break at the end is dropped with them.
            break;
        }
        const char c1 = in[i + 1];
        const char c2 = in[i + 2];
        if (c1 == '\r' && c2 == '\n') {
            i += 3;
        } else if (c1 == '\n') {
            i += 2;  // soft break of a text with bare line feeds
        } else if (hex_value(c1) >= 0) {
            if (hex_value(c2) >= 0) {
                out += static_cast<char>(hex_value(c1) * 16 + hex_value(c2));
            } else {
                out += '=';
                out += c1;
                out += c2;
            }
            i += 3;
        } else {
            out += '=';
            out += c1;
            i += 2;
        }
    }
    return 1;
}

// --------------------------------------------------------------- uuencode

int mime_uue_coder::coder(const byte_string& in, byte_string& out, const byte_string* name) {
    if (name) {
        out += "begin 666 ";
        out += *name;
        out += "\r\n";
    }
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t n = in.size();
    for (std::size_t pos = 0; pos < n; pos += 45) {
        const std::size_t len = std::min<std::size_t>(45, n - pos);
        out += static_cast<char>(len + 32);
        for (std::size_t j = 0; j < len; j += 3) {
            const unsigned b0 = p[pos + j];
            const unsigned b1 = j + 1 < len ? p[pos + j + 1] : 32u;
            const unsigned b2 = j + 2 < len ? p[pos + j + 2] : 32u;
            const unsigned v = (b0 << 16) | (b1 << 8) | b2;
            out += uue_char((v >> 18) & 63);
            out += uue_char((v >> 12) & 63);
            out += uue_char((v >> 6) & 63);
            out += uue_char(v & 63);
        }
        out += "\r\n";
    }
    out += "`\r\nend\r\n";
    return 1;
}

int mime_uue_coder::decoder(const byte_string& in, byte_string& out) {
    std::size_t pos = 0;
    const std::size_t n = in.size();
    while (pos < n) {
        std::size_t eol = in.find('\n', pos);
        if (eol == byte_string::npos) eol = n;
        std::size_t end = eol;
        if (end > pos && in[end - 1] == '\r') --end;
        const char* line = in.data() + pos;
        const std::size_t len = end - pos;
        pos = eol + 1;
        if (len == 0 || ascii_starts_folded(line, len, "begin") || ascii_starts_folded(line, len, "end")) continue;
        for (std::size_t k = 0; k < len; ++k)
            if (static_cast<unsigned char>(line[k]) < 32 || static_cast<unsigned char>(line[k]) > 96) return 0;
        std::size_t count = (static_cast<unsigned char>(line[0]) - 32) & 63;
        std::size_t k = 1;
        while (count > 0) {
            unsigned v = 0;
            for (int j = 0; j < 4; ++j, ++k) {
                // Lines whose trailing blanks were stripped end early: the
                // missing characters are zero sextets.
                const unsigned s = k < len ? ((static_cast<unsigned char>(line[k]) - 32) & 63) : 0;
                v = (v << 6) | s;
            }
            const char bytes[3] = {static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
            const std::size_t take = std::min<std::size_t>(3, count);
            out.append(bytes, take);
            count -= take;
        }
    }
    return 1;
}

std::shared_ptr<i_mime_coder> make_coder(std::int32_t code) {
    switch (code) {
        case 0:
            return std::make_shared<mime_base64_coder>();
        case 1:
            return std::make_shared<mime_quoted_printable>(true);
        case 2:
            return std::make_shared<mime_uue_coder>();
        default:
            break;
    }
    if (code >= 3 && code <= 7) return std::make_shared<do_nothing_coder>();
    ZEM_LOG_ERROR("PLUGIN/MAIL/mail_entry_handler", "mail_entry_handler: Unknown encode entry = " << code);
    return nullptr;
}

// ---------------------------------------------------------- dot-stuffing

namespace {

// Where the bytes held for the next piece begin.
std::size_t dots_hold_start(const byte_string& s, bool line_start, bool decoding) {
    const std::size_t n = s.size();
    if (n >= 1 && s[n - 1] == '\r') return n - 1;
    if (n >= 2 && s[n - 2] == '\r' && s[n - 1] == '\n') return n - 2;
    if (decoding) {
        if (n >= 3 && s.compare(n - 3, 3, "\r\n.") == 0) return n - 3;
        if (n == 1 && line_start && s[0] == '.') return 0;
    }
    return n;
}

}  // namespace

void mail_dots_coder::decode_piece(byte_string& piece) {
    byte_string s;
    if (m_dec_tail.empty()) {
        s.swap(piece);
    } else {
        s.swap(m_dec_tail);
        s += piece;
    }
    m_dec_tail.clear();
    const std::size_t h = dots_hold_start(s, m_dec_line_start, true);
    byte_string out;
    out.reserve(h);
    bool ls = m_dec_line_start;
    for (std::size_t i = 0; i < h; ++i) {
        const char c = s[i];
        // A dot that starts a line and is followed by another dot is the
        // stuffing; the hold rule guarantees the next byte is in 's'.
        if (!(ls && c == '.' && i + 1 < s.size() && s[i + 1] == '.')) out += c;
        ls = c == '\n' && i > 0 && s[i - 1] == '\r';
    }
    m_dec_line_start = h == 0 ? m_dec_line_start : ls;
    m_dec_tail.assign(s, h, byte_string::npos);
    piece.swap(out);
}

void mail_dots_coder::encode_piece(byte_string& piece) {
    byte_string s;
    if (m_enc_tail.empty()) {
        s.swap(piece);
    } else {
        s.swap(m_enc_tail);
        s += piece;
    }
    m_enc_tail.clear();
    const std::size_t h = dots_hold_start(s, m_enc_line_start, false);
    byte_string out;
    out.reserve(h + h / 64 + 1);
    bool ls = m_enc_line_start;
    for (std::size_t i = 0; i < h; ++i) {
        const char c = s[i];
        if (ls && c == '.') out += '.';
        out += c;
        ls = c == '\n' && i > 0 && s[i - 1] == '\r';
    }
    m_enc_line_start = h == 0 ? m_enc_line_start : ls;
    m_enc_tail.assign(s, h, byte_string::npos);
    piece.swap(out);
}

void mail_dots_coder::flush_decoder(byte_string& out) {
    out += m_dec_tail;
    m_dec_tail.clear();
    m_dec_line_start = true;
}

void mail_dots_coder::flush_encoder(byte_string& out) {
    out += m_enc_tail;
    m_enc_tail.clear();
    m_enc_line_start = true;
}

int mail_dots_coder::coder(const byte_string& in, byte_string& out, const byte_string*) {
    byte_string piece = in;
    encode_piece(piece);
    out += piece;
    return 1;
}

int mail_dots_coder::decoder(const byte_string& in, byte_string& out) {
    byte_string piece = in;
    decode_piece(piece);
    out += piece;
    return 1;
}

// ---------------------------------------------------------- encoded words

int mime_q_and_b_encodeing::coder(byte_string& out, const byte_string& text, const byte_string& charset) {
    bool plain = true;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 32 || c > 126) && c != '\t' && c != '\r' && c != '\n') {
            plain = false;
            break;
        }
    }
    if (plain) {
        out = text;
        return 1;
    }
    out.clear();
    if (charset.empty()) {
        ZEM_LOG_ERROR(ZEM_CODER_SOURCE, "mime_q_and_b_encodeing::coder(): std::string& code_page.size()=0!!!!");
        return 0;
    }
    out = "=?" + charset + "?Q?";
    mime_quoted_printable(false).coder(text, out);
    out += "?=";
    return 1;
}

int mime_q_and_b_encodeing::decoder(const byte_string& in, byte_string& charset, byte_string& out) {
    enum class state { outside, charset, q_text, b_text };
    state st = state::outside;
    byte_string token, decoded, word_charset;
    bool error = false;
    for (char c : in) {
        if (c == '\r' || c == '\n' || c == '\t') continue;
        if (st == state::outside) {
            if (c == ' ' || c == '"' || c == '\'') {
                token.clear();
                continue;
            }
            token += c;
            if (token.size() == 2) {
                if (token != "=?") {
                    // Not a value that begins with an encoded word.
                    out = in;
                    charset.clear();
                    return 1;
                }
                st = state::charset;
                token.clear();
            }
        } else if (st == state::charset) {
            token += c;
            const std::size_t n = token.size();
            if (n >= 3 && token[n - 3] == '?' && token[n - 1] == '?' &&
                (ascii_lower(token[n - 2]) == 'q' || ascii_lower(token[n - 2]) == 'b')) {
                st = ascii_lower(token[n - 2]) == 'q' ? state::q_text : state::b_text;
                word_charset.assign(token, 0, n - 3);
                // An RFC 2231 language suffix ("utf-8*en") is not part of it.
                const std::size_t star = word_charset.find('*');
                if (star != byte_string::npos) word_charset.resize(star);
                token.clear();
            } else if (n > 64 || c == ' ') {
                error = true;
                break;
            }
        } else {
            token += c;
            const std::size_t n = token.size();
            if (n >= 2 && token[n - 2] == '?' && token[n - 1] == '=') {
                token.resize(n - 2);
                if (st == state::q_text) {
                    std::replace(token.begin(), token.end(), '_', ' ');
                    mime_quoted_printable(false).decoder(token, decoded);
                } else {
                    mime_base64_coder().decoder(token, decoded);
                }
                charset = word_charset;
                token.clear();
                st = state::outside;
            }
        }
    }
    if (!error && st != state::outside) error = true;  // an unfinished word
    if (error) {
        ZEM_LOG(3, "mime_q_and_b_encodeing::decoder -> error state with string \r\n" << in << "\n");
        out = in;
        charset.clear();
        return 1;
    }
    decoded += token;
    out.swap(decoded);
    return 1;
}

wide_string mime_q_and_b_encodeing::decode_to_wide(const byte_string& in, byte_string* charset_out,
                                                   unsigned* code_page) {
    byte_string charset, text;
    decoder(in, charset, text);
    const unsigned cp = code_page_resolver(charset);
    wide_string wide;
    if (cp == 0 || !platform::multibyte_to_wide(cp, text, wide)) wide = platform::ansi_to_wide(text);
    if (charset_out) *charset_out = charset;
    if (code_page) *code_page = cp;
    return wide;
}

// ------------------------------------------------------ charset resolution

unsigned code_page_resolver(const byte_string& name) {
    byte_string key;
    for (char c : name)
        if (c != ' ' && c != '"' && c != '\'' && c != '\t') key += ascii_lower(c);
    if (key.empty()) return 0;
    static const platform::never_destroyed<const std::map<byte_string, unsigned>> names(
        std::map<byte_string, unsigned>{{"utf-8", 65001},
                                        {"utf8", 65001},
                                        {"utf-7", 65000},
                                        {"us-ascii", 20127},
                                        {"ascii", 20127},
                                        {"latin1", 28591},
                                        {"koi8-r", 20866},
                                        {"koi8r", 20866},
                                        {"koi8-u", 21866},
                                        {"koi8-ru", 21866},
                                        {"cp866", 866},
                                        {"ibm866", 866},
                                        {"866", 866},
                                        {"cp850", 850},
                                        {"ibm850", 850},
                                        {"cp437", 437},
                                        {"ibm437", 437},
                                        {"gb2312", 936},
                                        {"gbk", 936},
                                        {"cp936", 936},
                                        {"gb18030", 54936},
                                        {"big5", 950},
                                        {"big5-hkscs", 950},
                                        {"shift_jis", 932},
                                        {"shift-jis", 932},
                                        {"sjis", 932},
                                        {"x-sjis", 932},
                                        {"euc-jp", 51932},
                                        {"iso-2022-jp", 50220},
                                        {"euc-kr", 51949},
                                        {"ks_c_5601-1987", 949},
                                        {"ks_c_5601", 949},
                                        {"tis-620", 874},
                                        {"windows-874", 874},
                                        {"utf-16", 1200},
                                        {"utf-16le", 1200},
                                        {"utf-16be", 1201},
                                        {"unicode", 1200},
                                        {"unicodefffe", 1201},
                                        {"macintosh", 10000},
                                        {"iso-8859-8-i", 28598},
                                        {"x-mac-cyrillic", 10007}});
    auto it = names.get().find(key);
    if (it != names.get().end()) return it->second;
    // Numbered families: windows-1251, cp1251, x-cp1251; iso-8859-5,
    // iso_8859-5, iso8859-5.
    auto number_after = [&key](const char* prefix) -> unsigned {
        const std::size_t n = std::strlen(prefix);
        if (key.compare(0, n, prefix) != 0 || key.size() == n || key.size() > n + 5) return 0;
        unsigned v = 0;
        for (std::size_t i = n; i < key.size(); ++i) {
            if (key[i] < '0' || key[i] > '9') return 0;
            v = v * 10 + unsigned(key[i] - '0');
        }
        return v;
    };
    for (const char* p : {"windows-", "x-cp", "cp"}) {
        const unsigned v = number_after(p);
        if (v >= 1250 && v <= 1258) return v;
    }
    for (const char* p : {"iso-8859-", "iso_8859-", "iso8859-", "iso8859_"}) {
        const unsigned v = number_after(p);
        if (v >= 1 && v <= 16 && v != 12) return 28590 + v;
    }
    return 0;
}

byte_string narrow_with_code_page(const wide_string& text, unsigned code_page) {
    byte_string out;
    if (code_page == 0 || !platform::wide_to_multibyte(code_page, text, out)) out = platform::wide_to_ansi(text);
    return out;
}

}  // namespace mail
