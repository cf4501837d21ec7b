#pragma once
// Transfer encodings of MIME bodies, the dot-stuffing of the line protocols,
// encoded words of header fields and the charset-name resolution.
//
// The transfer coders work on whole bodies (sections are held before they are
// decoded); only the dot coder works piece by piece.
#include <cstdint>
#include <memory>

#include "core/strings.h"

namespace mail {

class i_mime_coder {
public:
    virtual ~i_mime_coder() = default;
    // Both append to 'out'; 1 on success. 'name' is used by uuencode only.
    virtual int coder(const byte_string& in, byte_string& out, const byte_string* name = nullptr) = 0;
    virtual int decoder(const byte_string& in, byte_string& out) = 0;
};

// Base64 in lines of 76 characters, each ended by CRLF, also the last.
class mime_base64_coder : public i_mime_coder {
public:
    int coder(const byte_string& in, byte_string& out, const byte_string* name = nullptr) override;
    // Characters outside the alphabet (line ends, blanks, junk) are skipped;
    // '=' pads; an incomplete last group is dropped.
    int decoder(const byte_string& in, byte_string& out) override;
};

class mime_quoted_printable : public i_mime_coder {
public:
    explicit mime_quoted_printable(bool soft_breaks = true) : m_soft_breaks(soft_breaks) {}
    int coder(const byte_string& in, byte_string& out, const byte_string* name = nullptr) override;
    int decoder(const byte_string& in, byte_string& out) override;

private:
    bool m_soft_breaks;
};

// Traditional uuencode. The decoder returns 0 when a data line holds a
// character no encoder writes (the output then holds what came before).
class mime_uue_coder : public i_mime_coder {
public:
    int coder(const byte_string& in, byte_string& out, const byte_string* name = nullptr) override;
    int decoder(const byte_string& in, byte_string& out) override;
};

class do_nothing_coder : public i_mime_coder {
public:
    int coder(const byte_string& in, byte_string& out, const byte_string*) override {
        out += in;
        return 1;
    }
    int decoder(const byte_string& in, byte_string& out) override {
        out += in;
        return 1;
    }
};

// Encoding codes of Content-Transfer-Encoding.
enum class transfer_encoding : std::int32_t {
    base64 = 0,
    quoted_printable = 1,
    x_uue = 2,
    bit8 = 3,
    bit7 = 4,
    binary = 5,
    plain = 6,
    none = 7,
};

// The coder for an encoding code; null (and a log line) above 'none'.
std::shared_ptr<i_mime_coder> make_coder(std::int32_t code);

// Removes (decoder) or restores (coder) the leading dot of lines that start
// with a dot, piece by piece. Between pieces it holds at most three bytes
// ("\r", "\r\n", "\r\n." or a dot at the very start) that may begin a dot
// sequence; the result does not depend on where the pieces are cut.
class mail_dots_coder : public i_mime_coder {
public:
    int coder(const byte_string& in, byte_string& out, const byte_string* name = nullptr) override;
    int decoder(const byte_string& in, byte_string& out) override;

    // The piece becomes the coder's output (possibly empty).
    void decode_piece(byte_string& piece);
    void encode_piece(byte_string& piece);
    // Appends what is held and starts a new line.
    void flush_decoder(byte_string& out);
    void flush_encoder(byte_string& out);

private:
    byte_string m_enc_tail;
    bool m_enc_line_start = true;
    byte_string m_dec_tail;
    bool m_dec_line_start = true;
};

// RFC 2047 encoded words.
struct mime_q_and_b_encodeing {
    // One Q word in 'charset' when the text needs one, else the text itself.
    // 0 (and an empty 'out') when it needs one and the charset is empty.
    static int coder(byte_string& out, const byte_string& text, const byte_string& charset);
    // Decodes a value that begins with encoded words; any other value, and a
    // malformed word, leaves 'out' equal to 'in' and the charset empty.
    static int decoder(const byte_string& in, byte_string& charset, byte_string& out);
    // Decodes and widens with the charset's code page (the ANSI code page
    // when there is none). 'code_page' gets the resolved page (0 unknown).
    static wide_string decode_to_wide(const byte_string& in, byte_string* charset = nullptr,
                                      unsigned* code_page = nullptr);
};

// Windows code page of a MIME charset name; 0 when unknown.
unsigned code_page_resolver(const byte_string& charset);

// A wide string narrowed with a code page (0: the ANSI code page).
byte_string narrow_with_code_page(const wide_string& text, unsigned code_page);

}  // namespace mail
