// Verdicts of the host on attachments: leave, cut, replace; what the host is
// sent; the messages that come out, checked byte by byte and by Python's
// email package; the keep-alive field while a section is held.
#include "host/permissions.h"
#include "kit/mail.h"
#include "mail/mime_coders.h"

using namespace kit;
using kit::le32;
using kit::le64;

namespace {

const std::string three_sections = crlf(
    "From: Alice <alice@example.org>\nTo: bob@example.net\nSubject: three\n"
    "Content-Type: multipart/mixed; boundary=\"XX\"\n\npreamble\n"
    "--XX\nContent-Type: text/plain\n\nfirst\n"
    "--XX\nContent-Type: application/octet-stream; name=\"a.bin\"\nContent-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment; filename=\"a.bin\"\n\nTWFu\n"
    "--XX\nContent-Type: text/plain\n\nthird\n--XX--\nepilogue\n");

std::string without(const std::string& s, const std::string& from, const std::string& to) {
    const std::size_t a = s.find(from);
    const std::size_t b = s.find(to, a + from.size());
    return s.substr(0, a) + s.substr(b);
}

}  // namespace

TEST_F(mail_fixture, cut_middle_section_leaves_first_and_third) {
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
    const std::string expected = without(three_sections, "\r\n--XX\r\nContent-Type: application",
                                         "\r\n--XX\r\nContent-Type: text/plain\r\n\r\nthird");
    EXPECT_EQ(run_whole(three_sections), expected);
    for (std::size_t at = 0; at <= three_sections.size(); at += 7)
        EXPECT_EQ(run(kit::split_at(three_sections, at)), expected);
    EXPECT_EQ(run(kit::one_byte_chunks(three_sections)), expected);
    if (!have_python()) GTEST_SKIP() << "python3 absent";
    EXPECT_EQ(python_view(expected), "text/plain|None|b'first'\ntext/plain|None|b'third'\ndefects=0\n");
}

TEST_F(mail_fixture, replace_rewrites_section_header_and_body_and_the_host_sees_the_right_bytes) {
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(2, kit::utf16le("new name.txt"), "Hello"));
    const std::string out = run_whole(three_sections);
    const std::string expected_section = crlf(
        "Content-Type: application/octet-stream; name=\"new name.txt\"\nContent-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment; filename=\"new name.txt\"\n\nSGVsbG8=\n--XX\n");
    EXPECT_NE(out.find("--XX\r\n" + expected_section + "Content-Type: text/plain\r\n\r\nthird"), std::string::npos)
        << out;
    EXPECT_EQ(out.substr(0, out.find("first")), three_sections.substr(0, three_sections.find("first")));

    const auto reqs = attach_requests();
    ASSERT_EQ(reqs.size(), 1u);
    const std::string& r = reqs[0];
    EXPECT_EQ(le32(r, 0), r.size());
    EXPECT_EQ(le32(r, 16), 0xA1A2A3A4u);
    EXPECT_EQ(le64(r, 36), 0x0102030405060708ull);
    EXPECT_EQ(le64(r, 52), 3u);
    EXPECT_EQ(attach_bodies()[0], "Man");
    EXPECT_EQ(wide_at(r, 60), kit::utf16le("a.bin"));
    EXPECT_EQ(wide_at(r, 76), kit::utf16le("Alice <alice@example.org>"));
    EXPECT_EQ(wide_at(r, 92), kit::utf16le("bob@example.net"));
    EXPECT_EQ(wide_at(r, 108), kit::utf16le("three"));
    EXPECT_EQ(le32(r, 124), 1u);
    EXPECT_EQ(le32(r, 128), 0u);
    // The object's notifications carry the id of the check.
    const auto start = host.notifications(zem::codes::mail_notify_mail_attach);
    const auto done = host.notifications(zem::codes::general_notify_transfer_complete);
    ASSERT_EQ(start.size(), 1u);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(le64(start[0].data, 28), le64(r, 28));
    EXPECT_EQ(le64(start[0].data, 36), 0x0102030405060708ull);
    EXPECT_EQ(wide_at(start[0].data, 44), kit::utf16le("a.bin"));
    EXPECT_EQ(le64(done[0].data, 28), le64(r, 28));
    EXPECT_EQ(le64(done[0].data, 36), 8u);  // "SGVsbG8="
    EXPECT_EQ(le32(done[0].data, 44), 2u);
    if (!have_python()) GTEST_SKIP() << "python3 absent";
    EXPECT_EQ(python_view(out),
              "text/plain|None|b'first'\napplication/octet-stream|new name.txt|b'Hello'\n"
              "text/plain|None|b'third'\ndefects=0\n");
}

TEST_F(mail_fixture, first_and_last_sections_cut_keep_the_message_well_formed) {
    const std::string msg = crlf(
        "Content-Type: multipart/mixed; boundary=\"b\"\n\nThis is a multi-part message.\n"
        "--b\nContent-Type: image/png; name=\"x.png\"\nContent-Transfer-Encoding: base64\n\niVBORw0K\n"
        "--b\nContent-Type: text/plain\n\nmiddle\n"
        "--b\nContent-Type: application/zip; name=\"y.zip\"\nContent-Transfer-Encoding: base64\n\nUEsDBA==\n--b--\n");
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
    const std::string out = run_whole(msg);
    EXPECT_EQ(out, crlf("Content-Type: multipart/mixed; boundary=\"b\"\n\nThis is a multi-part message.\n"
                        "--b\nContent-Type: text/plain\n\nmiddle\n--b--\n"));
    if (!have_python()) GTEST_SKIP() << "python3 absent";
    EXPECT_EQ(python_view(out), "text/plain|None|b'middle'\ndefects=0\n");
}

TEST_F(mail_fixture, corpus_messages_after_cut_and_replace_still_parse) {
    if (!have_python()) GTEST_SKIP() << "python3 absent";
    auto drop_line = [](std::string view, const std::string& line, const std::string& by = std::string()) {
        const std::size_t at = view.find(line + "\n");
        EXPECT_NE(at, std::string::npos) << view;
        if (at != std::string::npos) view.replace(at, line.size() + 1, by);
        return view;
    };
    // report.pdf cut, notes.txt replaced (quoted-printable re-encoded).
    const std::string msg = corpus("mixed_crlf.eml");
    const std::string before = python_view(msg);
    host.push_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
    host.push_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(2, kit::utf16le("safe.txt"), "clean = ok\n"));
    const std::string out = run(kit::random_chunks(msg, kit::test_seed(), 300));
    EXPECT_EQ(python_view(out),
              drop_line(drop_line(before, "application/pdf|report.pdf|5000"), "text/plain|notes.txt|1360",
                        "application/octet-stream|safe.txt|b'clean = ok\\n'\n"));
    // The same with bare line feeds, the replacement written in kind.
    const std::string lf = corpus("mixed_lf.eml");
    host.push_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
    host.push_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(2, kit::utf16le("safe.txt"), "clean = ok\n"));
    const std::string lf_out = run(kit::one_byte_chunks(lf));
    EXPECT_NE(lf_out.find("Content-Type: application/octet-stream; name=\"safe.txt\"\nContent-Transfer-Encoding"),
              std::string::npos);
    EXPECT_EQ(python_view(lf_out),
              drop_line(drop_line(python_view(lf), "application/pdf|report.pdf|5000"), "text/plain|notes.txt|1320",
                        "application/octet-stream|safe.txt|b'clean = ok\\n'\n"));
    // A message that is one attachment: its own header is rewritten.
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(2, kit::utf16le("clean.txt"), "ok"));
    const std::string whole = run_whole(corpus("single_attachment.eml"));
    EXPECT_NE(whole.find("Content-Type: application/octet-stream; name=\"clean.txt\"\r\n"), std::string::npos);
    EXPECT_EQ(python_view(whole), "application/octet-stream|clean.txt|b'ok'\ndefects=0\n");
    // Nested alternative/related: the image cut, the rest intact.
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(0));
    host.push_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
    const std::string alt = corpus("alternative_related.eml");
    EXPECT_EQ(python_view(run(kit::one_byte_chunks(alt))), drop_line(python_view(alt), "image/png|logo.png|3000"));
}

TEST_F(mail_fixture, encoded_name_kept_in_its_charset_after_a_rename) {
    const std::string msg = crlf(
        "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n"
        "Content-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n"
        "Content-Disposition: attachment; filename=\"=?koi8-r?B?79TexdQuZG9j?=\"\n\nTWFu\n--b--\n");
    // The host renames to "Otchet2.doc" in Cyrillic.
    const std::string name = utf16le_of("\xd0\x9e\xd1\x82\xd1\x87\xd0\xb5\xd1\x82\x32.doc");
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(2, name, "x"));
    const std::string out = run_whole(msg);
    EXPECT_EQ(wide_at(attach_requests()[0], 60), utf16le_of("\xd0\x9e\xd1\x82\xd1\x87\xd0\xb5\xd1\x82.doc"));
    EXPECT_NE(out.find("filename=\"=?koi8-r?Q?=EF=D4=DE=C5=D42.doc?=\""), std::string::npos) << out;
    if (!have_python()) GTEST_SKIP() << "python3 absent";
    EXPECT_EQ(python_view(out),
              "application/octet-stream|\xd0\x9e\xd1\x82\xd1\x87\xd0\xb5\xd1\x82\x32.doc|b'x'\ndefects=0\n");
}

TEST_F(mail_fixture, uuencoded_file_in_plain_text_cut_and_replaced) {
    const std::string msg = corpus("uuencoded_text.eml");
    const std::size_t begin = msg.find("begin 644");
    const std::size_t end = msg.find("\nend", begin) + 4;
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
    EXPECT_EQ(run(kit::random_chunks(msg, kit::test_seed(), 50)), msg.substr(0, begin) + msg.substr(end));
    ASSERT_EQ(attach_requests().size(), 1u);
    EXPECT_EQ(wide_at(attach_requests()[0], 60), kit::utf16le("photo.jpg"));
    EXPECT_EQ(attach_bodies()[0].size(), 1000u);
    host.clear_records();
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(2, kit::utf16le("safe.jpg"), "XYZ"));
    EXPECT_EQ(run_whole(msg), msg.substr(0, begin) + "begin 666 safe.jpg\r\n#6%E:\r\n`\r\nend" + msg.substr(end));
}

TEST_F(mail_fixture, held_section_keeps_the_connection_alive) {
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(0));
    const std::string head = crlf(
        "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n"
        "Content-Type: application/octet-stream; name=\"big.bin\"\n"
        "Content-Transfer-Encoding: base64\n\n");
    const std::string line = std::string(76, 'A') + "\r\n";
    mail::mail_filter f(&fb);
    auto feed = [&](const std::string& piece) {
        byte_string d = piece;
        unsigned r = 0;
        EXPECT_TRUE(f.update(d, &r, &summary));
        return d;
    };
    EXPECT_EQ(feed(head), "");
    std::size_t held = 0;
    while (held + line.size() <= 40000) {
        EXPECT_EQ(feed(line), "");
        held += line.size();
    }
    const std::string out = crlf("Content-Type: multipart/mixed; boundary=\"b\"\n\n");
    EXPECT_EQ(feed(line), out + "--b\r\nX-Zombie: ");
    std::string pieces;
    for (int n = 1; n <= 120; ++n) {
        const std::string p = feed(line);
        const int count = n < 99 ? n : n - 99;
        const std::string expected = n == 99 ? "\r\nX-Zombie-1: " : count % 20 == 0 ? "\r\n\tX" : "X";
        EXPECT_EQ(p, expected) << n;
        pieces += p;
    }
    const std::string tail = feed("--b--\r\n");
    EXPECT_EQ(tail.substr(0, 2 + head.size() - head.find("Content-Type: application")),
              "\r\n" + head.substr(head.find("Content-Type: application")));
    if (!have_python()) GTEST_SKIP() << "python3 absent";
    byte_string rest;
    f.stop(rest);
    const std::string all = out + "--b\r\nX-Zombie: " + pieces + tail + rest;
    const std::string view = python_view(all);
    EXPECT_NE(view.find("application/octet-stream|big.bin|"), std::string::npos) << view;
    EXPECT_NE(view.find("defects=0"), std::string::npos) << view;
}

TEST_F(mail_fixture, html_part_filtered_and_encoded_again) {
    // The host's policy for "mail" blocks scripts.
    host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply({idx_jscript}));
    std::string html = "<html><body><p>Hi</p><script>alert(1)</script><p>Bye</p></body></html>\n";
    std::string b64;
    mail::mime_base64_coder().coder(html, b64);
    const std::string msg = crlf(
                                "Content-Type: multipart/alternative; boundary=\"alt\"\n\n--alt\n"
                                "Content-Type: text/plain\n\nHi Bye\n--alt\nContent-Type: text/html\n"
                                "Content-Transfer-Encoding: base64\n\n") +
                            b64 + "--alt--\r\n";
    const std::string out = run(kit::random_chunks(msg, kit::test_seed(), 20));
    const std::size_t body = out.find("base64\r\n\r\n") + 10;
    std::string decoded;
    mail::mime_base64_coder().decoder(out.substr(body, out.find("--alt--") - body), decoded);
    EXPECT_EQ(decoded.find("<script"), std::string::npos) << decoded;
    EXPECT_NE(decoded.find("<p>Hi</p>"), std::string::npos);
    EXPECT_NE(decoded.find("<p>Bye</p>"), std::string::npos);
    const auto asked = host.commands(zem::codes::general_query_permission_array);
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(wide_at(asked[0].data, 36), kit::utf16le("mail"));
    EXPECT_EQ(host.command_count(zem::codes::mail_check_mail_attach), 0u);
    // Nothing to block: the part keeps its bytes.
    host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply());
    EXPECT_EQ(run_whole(msg), msg);
    if (!have_python()) GTEST_SKIP() << "python3 absent";
    EXPECT_NE(python_view(out).find("defects=0"), std::string::npos);
}
