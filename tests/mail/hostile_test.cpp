// Hostile and broken messages: deep nesting, unterminated parts, sections
// and headers past the held bounds, odd bytes. None may crash, change what
// the host allowed, or let a section the host could not see pass.
#include <random>

#include "kit/mail.h"
#include "kit/mail_driver.h"

using namespace kit;

namespace {

std::string nested(int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
        const std::string b = "b" + std::to_string(i) + "x";
        open += "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b + "\r\n";
        close = "\r\n--" + b + "--\r\n" + close;
    }
    return "Subject: deep\r\n" + open + "Content-Type: text/plain\r\n\r\ninnermost" + close;
}

}  // namespace

TEST_F(mail_fixture, ten_thousand_nested_multiparts) {
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(0));
    const std::string msg = nested(10000);
    EXPECT_TRUE(run_whole(msg) == msg);
    // Arriving in small pieces, the held part may gain keep-alive fields.
    EXPECT_TRUE(strip_zombie(run(kit::random_chunks(msg, kit::test_seed(), 500))) == msg);
    // Past the nesting bound the part is ruled on whole by the host.
    ASSERT_EQ(attach_bodies().size(), 2u);
    EXPECT_NE(attach_bodies()[0].find("innermost"), std::string::npos);
    host.clear_records();
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
    const std::string cut = run_whole(msg);
    EXPECT_EQ(cut.find("innermost"), std::string::npos);
    EXPECT_LT(cut.size(), 2000u);
}

TEST_F(mail_fixture, unterminated_section_is_still_ruled_on) {
    const std::string msg = crlf(
        "Content-Type: multipart/mixed; boundary=\"b\"\n\npre\n--b\nContent-Type: text/plain\n\nhi\n"
        "--b\nContent-Type: application/zip; name=\"z.zip\"\nContent-Transfer-Encoding: base64\n\nUEsDBA==\nUEsD");
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(0));
    EXPECT_EQ(run(kit::one_byte_chunks(msg)), msg);
    EXPECT_EQ(attach_bodies().size(), 1u);
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
    EXPECT_EQ(run_whole(msg), msg.substr(0, msg.find("\r\n--b\r\nContent-Type: application")));
    // The line end before a protocol's terminator is not the message's: the
    // closing delimiter may come without one.
    const std::string closed = msg + "\r\n--b--";
    EXPECT_EQ(run(kit::one_byte_chunks(closed)),
              msg.substr(0, msg.find("\r\n--b\r\nContent-Type: application")) + "\r\n--b--");
}

TEST_F(mail_fixture, odd_bytes_and_broken_structure_pass_unchanged) {
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(0));
    const std::vector<std::string> cases = {
        "",
        "\r\n",
        "Subject: no body at all\r\nFrom: x\r\n",
        std::string("Subject: nul\0bytes\r\n\r\nbody\0with\0nuls\r\n", 36),
        "Subject: bare lf\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: "
        "application/x\n\nAAAA\n--b--\n",
        crlf("Subject: =?utf-8?B?broken\nFrom: =?x?Q?a?= =?\nContent-Type: application/pdf; "
             "name=\"=?koi8-r?B?79\"\n\nx\n"),
        crlf("Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: application/pdf\n"
             "Content-Transfer-Encoding: base64\n\nAAAA\n--b\nAAAA\n--bb\n--b--\n--b\ntrailing\n"),
        crlf("Content-Type: multipart/mixed; boundary=\"\"\n\n--\n\n"),
        crlf("Content-Type: multipart/mixed\n\nno boundary parameter\n"),
        crlf("Content-Type: multipart/mixed; boundary=b\n\n--b\n\nno header fields\n--b--\n"),
        "Content-Type: text/plain\r\n\r\n" + std::string(100000, 'x') + "\r\n",
        crlf("Content-Type: multipart/mixed; boundary=b\n\n--b") + std::string(100000, '-') + "\r\n--b--\r\n",
    };
    for (const auto& msg : cases) {
        EXPECT_EQ(run_whole(msg), msg) << msg.substr(0, 80);
        EXPECT_EQ(run(kit::one_byte_chunks(msg)), msg) << msg.substr(0, 80);
    }
    // A header past its bound is read as complete; nothing is lost.
    std::string big = "Subject: long\r\n";
    while (big.size() < mail::max_header_bytes + 1000) big += "X-Filler: " + std::string(60, 'f') + "\r\n";
    big += "\r\nbody\r\n";
    EXPECT_EQ(run(kit::random_chunks(big, kit::test_seed(), 4000)), big);
}

TEST_F(mail_fixture, section_past_the_held_bound_never_bypasses_the_host) {
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(0));
    const std::string head =
        crlf("Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nkept\n");
    const std::string line = std::string(76, 'Q') + "\r\n";
    std::string body;
    while (body.size() <= mail::max_held_section) body += line;
    const std::string att =
        "--b\r\nContent-Type: application/octet-stream; name=\"huge.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" +
        body;
    const std::string msg = head + att + "--b--\r\n";
    mail::mail_filter f(&fb);
    std::string out;
    for (std::size_t pos = 0; pos < msg.size(); pos += 1 << 20) {
        byte_string d = msg.substr(pos, 1 << 20);
        unsigned r = 0;
        ASSERT_TRUE(f.update(d, &r, &summary));
        out += d;
    }
    byte_string rest;
    f.stop(rest);
    out += rest;
    // The section is gone; the host heard of it as blocked, by its name.
    EXPECT_NE(out.find("kept"), std::string::npos);
    EXPECT_EQ(out.find("QQQQ"), std::string::npos);
    EXPECT_EQ(host.command_count(zem::codes::mail_check_mail_attach), 0u);
    const auto done = host.notifications(zem::codes::general_notify_transfer_complete);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(kit::le32(done[0].data, 44), 2u);
    const auto named = host.notifications(zem::codes::mail_notify_mail_attach);
    ASSERT_EQ(named.size(), 1u);
    EXPECT_EQ(wide_at(named[0].data, 44), kit::utf16le("huge.bin"));
    EXPECT_LT(out.size(), 60000u + head.size());
    // The same size of plain text is nobody's to rule on: it goes on whole.
    host.clear_records();
    const std::string text = head + "--b\r\nContent-Type: text/plain\r\n\r\n" + body + "--b--\r\n";
    std::string got;
    {
        mail::mail_filter g(&fb);
        for (std::size_t pos = 0; pos < text.size(); pos += 1 << 20) {
            byte_string d = text.substr(pos, 1 << 20);
            unsigned r = 0;
            g.update(d, &r, &summary);
            got += d;
        }
        byte_string tail;
        g.stop(tail);
        got += tail;
    }
    EXPECT_NE(got.find("X-Zombie: X"), std::string::npos);
    EXPECT_TRUE(strip_zombie(got) == text);
}

// Messages put together from the pieces that break parsers, at random
// chunkings: allowed, they come out unchanged; cut or replaced, nothing
// throws.
TEST(mail_random, assembled_messages) {
    const std::vector<std::string> parts = {"Content-Type: multipart/mixed; boundary=\"q\"\r\n",
                                            "Content-Type: multipart/alternative; boundary=q\n",
                                            "--q\r\n",
                                            "--q--\r\n",
                                            "--q\n",
                                            "\r\n",
                                            "\n",
                                            "Content-Type: application/pdf; name=\"a\"\r\n",
                                            "Content-Transfer-Encoding: base64\r\n",
                                            "Content-Transfer-Encoding: quoted-printable\r\n",
                                            "Content-Type: text/html\r\n",
                                            "<p>x</p>\r\n",
                                            "TWFuTWFu\r\n",
                                            "=E9=\r\n",
                                            "begin 644 f\r\n",
                                            "#0V%T\r\n",
                                            "`\r\n",
                                            "end\r\n",
                                            "Subject: =?utf-8?B?SGk=?=\r\n",
                                            std::string("\0\r", 2),
                                            "\t folded\r\n",
                                            "--q",
                                            "Content-Disposition: attachment; filename*=utf-8''%E2%82%AC\r\n"};
    std::mt19937 rng(kit::test_seed());
    for (int n = 0; n < 300; ++n) {
        std::string msg(3, '\0');
        msg[0] = static_cast<char>(n % 3);
        msg[1] = static_cast<char>(rng());
        msg[2] = static_cast<char>(rng());
        const int count = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < count; ++i) msg += parts[rng() % parts.size()];
        EXPECT_EQ(kit::run_mail_message(msg), "") << n;
    }
}
