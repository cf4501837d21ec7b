// Transfer coders, dot-stuffing and encoded words.
#include <gtest/gtest.h>

#include <random>

#include "kit/kit.h"
#include "mail/mime_coders.h"
#include "platform/codepage.h"

using namespace mail;

namespace {

std::string bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string enc(i_mime_coder& c, const std::string& in, const std::string* name = nullptr) {
    std::string out;
    EXPECT_EQ(c.coder(in, out, name), 1);
    return out;
}
std::string dec(i_mime_coder& c, const std::string& in) {
    std::string out;
    c.decoder(in, out);
    return out;
}

}  // namespace

TEST(base64, line_lengths_and_round_trips) {
    mime_base64_coder b;
    EXPECT_EQ(enc(b, ""), "\r\n");
    EXPECT_EQ(enc(b, "Man"), "TWFu\r\n");
    EXPECT_EQ(enc(b, "Ma"), "TWE=\r\n");
    const std::string one = enc(b, bytes(57, 1));
    EXPECT_EQ(one.size(), 78u);
    EXPECT_EQ(one.find("\r\n"), 76u);
    const std::string two = enc(b, bytes(58, 1));
    EXPECT_EQ(two.substr(0, 78), one);
    EXPECT_EQ(two.size(), 78u + 4 + 2);
    for (std::size_t n : {0, 1, 2, 3, 56, 57, 58, 1000, 65537}) {
        const std::string data = bytes(n, static_cast<std::uint32_t>(n));
        const std::string text = enc(b, data);
        std::size_t pos = 0, nl;
        while ((nl = text.find("\r\n", pos)) != std::string::npos) {
            EXPECT_LE(nl - pos, 76u);
            pos = nl + 2;
        }
        EXPECT_EQ(dec(b, text), data) << n;
    }
}

TEST(base64, decoder_skips_what_is_not_in_the_alphabet) {
    mime_base64_coder b;
    EXPECT_EQ(dec(b, "TW\r\nFu"), "Man");
    EXPECT_EQ(dec(b, " TW Fu\t!"), "Man");
    EXPECT_EQ(dec(b, "TWE="), "Ma");
    EXPECT_EQ(dec(b, "TQ=="), "M");
    EXPECT_EQ(dec(b, "T==="), "");
    EXPECT_EQ(dec(b, "TWFuTQ"), "Man");  // an incomplete last group is dropped
    EXPECT_EQ(dec(b, "TQ==TWFu"), "MMan");
}

TEST(quoted_printable, soft_breaks_escapes_and_malformed_input) {
    mime_quoted_printable qp;
    const std::string a80(80, 'a');
    EXPECT_EQ(enc(qp, a80), std::string(72, 'a') + "=\r\n" + std::string(8, 'a'));
    EXPECT_EQ(enc(qp, "a\tb=c_d\x7f\xe9 \r\n"), "a=09b=3Dc=5Fd=7F=E9 \r\n");
    EXPECT_EQ(dec(qp, "=41=\r\nB"), "AB");
    EXPECT_EQ(dec(qp, "=4Z"), "=4Z");
    EXPECT_EQ(dec(qp, "=e9x"), "\xe9x");
    EXPECT_EQ(dec(qp, "a=\nb"), "ab");
    EXPECT_EQ(dec(qp, "a=zb"), "a=zb");
    EXPECT_EQ(dec(qp, "ab="), "ab");
    EXPECT_EQ(dec(qp, "ab=4"), "ab");
    EXPECT_EQ(dec(qp, "a\x01\x80z"), "az");
    const std::string data = bytes(5000, 7);
    EXPECT_EQ(dec(qp, enc(qp, data)), data);
    mime_quoted_printable words(false);
    EXPECT_EQ(enc(words, std::string(200, 'a')), std::string(200, 'a'));
}

TEST(uuencode, layout_round_trip_and_bad_lines) {
    mime_uue_coder u;
    const std::string name = "f.bin";
    EXPECT_EQ(enc(u, "", &name), "begin 666 f.bin\r\n`\r\nend\r\n");
    EXPECT_EQ(enc(u, "Cat"), "#0V%T\r\n`\r\nend\r\n");
    const std::string data = bytes(1000, 3);
    const std::string text = enc(u, data, &name);
    EXPECT_EQ(text.substr(text.find("\r\n") + 2, 1), "M");
    std::string out;
    EXPECT_EQ(u.decoder(text, out), 1);
    EXPECT_EQ(out, data);
    // Trailing blanks stripped from a line: missing characters are zeros.
    out.clear();
    EXPECT_EQ(u.decoder("begin 644 x\n#0V%\n`\nend\n", out), 1);
    EXPECT_EQ(out, "Ca@");
    out.clear();
    EXPECT_EQ(u.decoder("begin 644 x\r\nthis is no uuencode\r\nend\r\n", out), 0);
}

TEST(dots, fixed_cases) {
    mail_dots_coder d;
    std::string p = "\r\n..x";
    d.decode_piece(p);
    EXPECT_EQ(p, "\r\n.x");
    mail_dots_coder d2;
    p = "\r\n";
    d2.decode_piece(p);
    EXPECT_EQ(p, "");
    p = "..";
    d2.decode_piece(p);
    EXPECT_EQ(p, "\r\n.");
    mail_dots_coder e;
    p = "a\r\n.b";
    e.encode_piece(p);
    EXPECT_EQ(p, "a\r\n..b");
    std::string rest;
    e.flush_encoder(rest);
    EXPECT_EQ(rest, "");
}

// Whatever the cut, decoding then flushing gives the same bytes, and the
// encoder undoes the decoder.
TEST(dots, every_split_point_gives_the_whole_result) {
    const std::string stuffed = "..top\r\n..\r\nmid..dle\r\n...three\r\n.\r\n\r\n..\r\nend\r\n";
    const std::string plain = ".top\r\n.\r\nmid..dle\r\n..three\r\n.\r\n\r\n.\r\nend\r\n";
    auto decode_all = [](const std::vector<std::string>& pieces) {
        mail_dots_coder d;
        std::string out;
        for (std::string p : pieces) {
            d.decode_piece(p);
            out += p;
        }
        d.flush_decoder(out);
        return out;
    };
    auto encode_all = [](const std::vector<std::string>& pieces) {
        mail_dots_coder e;
        std::string out;
        for (std::string p : pieces) {
            e.encode_piece(p);
            out += p;
        }
        e.flush_encoder(out);
        return out;
    };
    ASSERT_EQ(decode_all({stuffed}), plain);
    for (std::size_t at = 0; at <= stuffed.size(); ++at) {
        ASSERT_EQ(decode_all(kit::split_at(stuffed, at)), decode_all({stuffed})) << at;
        ASSERT_EQ(encode_all(kit::split_at(plain, at)), encode_all({plain})) << at;
    }
    EXPECT_EQ(decode_all(kit::one_byte_chunks(stuffed)), decode_all({stuffed}));
    EXPECT_EQ(encode_all(kit::one_byte_chunks(plain)), encode_all({plain}));
    EXPECT_EQ(decode_all({encode_all({plain})}), plain);
}

TEST(encoded_words, decoding) {
    std::string cs, out;
    mime_q_and_b_encodeing::decoder("=?iso-8859-1?Q?caf=E9_au_lait?=", cs, out);
    EXPECT_EQ(out, "caf\xe9 au lait");
    EXPECT_EQ(cs, "iso-8859-1");
    mime_q_and_b_encodeing::decoder(" =?utf-8?B?SGVs?=\r\n\t=?utf-8?b?bG8=?=", cs, out);
    EXPECT_EQ(out, "Hello");
    EXPECT_EQ(cs, "utf-8");
    mime_q_and_b_encodeing::decoder("Re: =?utf-8?B?SGVs?=", cs, out);
    EXPECT_EQ(out, "Re: =?utf-8?B?SGVs?=");
    EXPECT_EQ(cs, "");
    // Broken words leave the value as it was.
    for (const char* bad : {"=?utf-8?B?SGVs", "=?utf-8?X?abc?=", "=?", "\"=?koi8-r?B?"}) {
        mime_q_and_b_encodeing::decoder(bad, cs, out);
        EXPECT_EQ(out, bad);
        EXPECT_EQ(cs, "");
    }
    unsigned cp = 0;
    const std::wstring w = mime_q_and_b_encodeing::decode_to_wide("\"=?KOI8-R?B?79TexdQuZG9j?=\"", &cs, &cp);
    EXPECT_EQ(cp, 20866u);
    EXPECT_EQ(w, std::wstring({0x41E, 0x442, 0x447, 0x435, 0x442, L'.', L'd', L'o', L'c'}));
}

TEST(encoded_words, encoding_and_code_pages) {
    std::string out;
    EXPECT_EQ(mime_q_and_b_encodeing::coder(out, "plain name.txt", ""), 1);
    EXPECT_EQ(out, "plain name.txt");
    EXPECT_EQ(mime_q_and_b_encodeing::coder(out, "caf\xe9", ""), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(mime_q_and_b_encodeing::coder(out, "caf\xe9 a_b=c", "iso-8859-1"), 1);
    EXPECT_EQ(out, "=?iso-8859-1?Q?caf=E9 a=5Fb=3Dc?=");
    std::string cs, back;
    mime_q_and_b_encodeing::decoder("=?iso-8859-1?Q?caf=E9_a=5Fb=3Dc?=", cs, back);
    EXPECT_EQ(back, "caf\xe9 a_b=c");
    EXPECT_EQ(code_page_resolver("UTF-8"), 65001u);
    EXPECT_EQ(code_page_resolver("windows-1251"), 1251u);
    EXPECT_EQ(code_page_resolver("ISO-8859-5"), 28595u);
    EXPECT_EQ(code_page_resolver("koi8-r"), 20866u);
    EXPECT_EQ(code_page_resolver("x-unknown"), 0u);
    EXPECT_EQ(code_page_resolver(""), 0u);
}
