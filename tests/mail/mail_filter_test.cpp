// The message header, the summary and what the host is told, the choice of
// body handlers, and the corpus passing unchanged at every chunking.
#include <map>

#include "kit/mail.h"
#include "mail/mime_coders.h"

using namespace kit;
using kit::le32;
using kit::le64;

namespace {

std::map<std::string, std::vector<std::string>> corpus_names() {
    std::map<std::string, std::vector<std::string>> r;
    std::istringstream in(corpus("names.txt"));
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t tab = line.find('\t');
        std::vector<std::string> names;
        std::string rest = line.substr(tab + 1);
        std::size_t pos = 0;
        while (!rest.empty() && pos <= rest.size()) {
            std::size_t bar = rest.find('|', pos);
            if (bar == std::string::npos) bar = rest.size();
            if (rest.substr(pos, bar - pos) != "mail.html") names.push_back(rest.substr(pos, bar - pos));
            pos = bar + 1;
        }
        r[line.substr(0, tab)] = names;
    }
    return r;
}

}  // namespace

TEST_F(mail_fixture, header_waits_for_the_first_released_body_bytes) {
    const std::string head = crlf("Subject: hi\nContent-Type: text/plain\n\n");
    const std::string msg = head + "body\r\n";
    mail::mail_filter f(&fb);
    std::vector<std::string> outs;
    for (const auto& piece : kit::one_byte_chunks(msg)) {
        byte_string d = piece;
        unsigned r = 0;
        ASSERT_TRUE(f.update(d, &r, &summary));
        outs.push_back(d);
    }
    for (std::size_t i = 0; i < head.size(); ++i) EXPECT_EQ(outs[i], "") << i;
    EXPECT_EQ(outs[head.size()], head + "b");
    byte_string rest;
    f.stop(rest);
    EXPECT_EQ(rest, "");
    // A held attachment keeps the header back until the end of the message.
    const std::string att = crlf("Content-Type: application/pdf\nContent-Transfer-Encoding: base64\n\nTWFu\n");
    mail::mail_filter g(&fb);
    std::string got;
    for (const auto& piece : kit::one_byte_chunks(att)) {
        byte_string d = piece;
        unsigned r = 0;
        g.update(d, &r, &summary);
        got += d;
    }
    EXPECT_EQ(got, "");
    g.stop(got);
    EXPECT_EQ(got, att);
}

TEST_F(mail_fixture, summary_fields_and_the_message_notification) {
    summary.source_protocol = mail::source_imap;
    summary.outgoing = 0;
    mail::start_message(summary);
    const std::uint64_t id = summary.message_id;
    mail::start_message(summary);
    EXPECT_EQ(summary.message_id, id + 1);
    const auto starts = host.notifications(zem::codes::http_notify_mail_message_start);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].data.size(), 36u);
    EXPECT_EQ(le64(starts[1].data, 28), id + 1);
    summary.message_id = 0x0102030405060708ull;
    const std::string msg = crlf(
        "From: =?utf-8?B?0JDQu9C40YHQsA==?= <alice@example.org>\n"
        "To: bob@example.net\n"
        "cc :  carol@example.org\n"
        "Subject: =?koi8-r?B?79TexdQ=?=\n\t=?iso-8859-1?Q?_caf=E9?=\n"
        "X-Other: value\n\nbody\n");
    mail::mail_filter f(&fb);
    byte_string d = msg;
    unsigned r = 0;
    ASSERT_TRUE(f.update(d, &r, &summary));
    EXPECT_EQ(f.raw_subject(), " =?koi8-r?B?79TexdQ=?=\r\n\t=?iso-8859-1?Q?_caf=E9?=");
    ASSERT_EQ(f.message_header().others.size(), 1u);
    EXPECT_EQ(f.message_header().others[0].first, "X-Other");
    EXPECT_EQ(summary.from, (std::wstring{0x410, 0x43B, 0x438, 0x441, 0x430} + L" <alice@example.org>"));
    EXPECT_EQ(summary.to, L"bob@example.net");
    EXPECT_EQ(summary.cc, L"carol@example.org");
    EXPECT_EQ(summary.subject, (std::wstring{0x41E, 0x442, 0x447, 0x435, 0x442} + L" caf\u00e9"));
    const auto n = host.notifications(zem::codes::http_notify_mail_message_info);
    ASSERT_EQ(n.size(), 1u);
    const std::string& m = n[0].data;
    EXPECT_EQ(le32(m, 0), m.size());
    EXPECT_EQ(le32(m, 16), 0xA1A2A3A4u);
    EXPECT_EQ(le64(m, 28), 0x0102030405060708ull);
    EXPECT_EQ(le32(m, 36), 2u);
    EXPECT_EQ(le32(m, 40), 0u);
    EXPECT_EQ(wide_at(m, 44), utf16le_of("\xd0\x90\xd0\xbb\xd0\xb8\xd1\x81\xd0\xb0 <alice@example.org>"));
    EXPECT_EQ(wide_at(m, 60), kit::utf16le("bob@example.net"));
    EXPECT_EQ(wide_at(m, 76), kit::utf16le("carol@example.org"));
    EXPECT_EQ(m.substr(92, 16), std::string(16, '\0'));
    EXPECT_EQ(wide_at(m, 108), utf16le_of("\xd0\x9e\xd1\x82\xd1\x87\xd0\xb5\xd1\x82 caf\xc3\xa9"));
    f.stop(d);
}

TEST_F(mail_fixture, body_handler_choices) {
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(0));
    // HTML goes to the HTML filter under the host "mail", not to the host.
    const std::string html = crlf("content-type: TEXT/HTML\n\n<p>hello</p>\n");
    EXPECT_EQ(run_whole(html), html);
    EXPECT_EQ(host.command_count(zem::codes::mail_check_mail_attach), 0u);
    EXPECT_GE(host.command_count(zem::codes::general_query_permission_array), 1u);
    // An application part without any name.
    const std::string pdf = crlf("Content-Type: application/pdf\nContent-Transfer-Encoding: base64\n\nTWFu\n");
    EXPECT_EQ(run_whole(pdf), pdf);
    ASSERT_EQ(attach_requests().size(), 1u);
    EXPECT_EQ(wide_at(attach_requests()[0], 60), kit::utf16le("stub_file_name.stb"));
    EXPECT_EQ(attach_bodies()[0], "Man");
    // x-uuencode selects the uuencode coder.
    host.clear_records();
    const std::string uue = crlf(
        "Content-Type: application/octet-stream; name=\"c.txt\"\n"
        "Content-Transfer-Encoding: x-uuencode\n\nbegin 644 c.txt\n#0V%T\n`\nend\n");
    EXPECT_EQ(run_whole(uue), uue);
    ASSERT_EQ(attach_bodies().size(), 1u);
    EXPECT_EQ(attach_bodies()[0], "Cat");
    EXPECT_EQ(wide_at(attach_requests()[0], 60), kit::utf16le("c.txt"));
    host.push_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(2, kit::utf16le("d.txt"), "Dog"));
    EXPECT_EQ(run_whole(uue), crlf("Content-Type: application/octet-stream; name=\"d.txt\"\n"
                                   "Content-Transfer-Encoding: x-uuencode\n\nbegin 666 d.txt\n#1&]G\n`\nend\n"));
    // Disposition counts inside sections only.
    host.clear_records();
    const std::string top = crlf("Content-Type: text/plain\nContent-Disposition: inline\n\ntext\n");
    EXPECT_EQ(run_whole(top), top);
    EXPECT_EQ(host.command_count(zem::codes::mail_check_mail_attach), 0u);
    const std::string sec = crlf(
        "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\n"
        "Content-Type: text/plain\nContent-Disposition: inline\n\ntext\n--b--\n");
    EXPECT_EQ(run_whole(sec), sec);
    ASSERT_EQ(attach_bodies().size(), 1u);
    EXPECT_EQ(attach_bodies()[0], "text");
}

TEST_F(mail_fixture, corpus_passes_unchanged_at_every_chunking_and_names_reach_the_host) {
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(0));
    const std::uint32_t seed = kit::test_seed();
    for (const auto& entry : corpus_names()) {
        const std::string msg = corpus(entry.first);
        ASSERT_FALSE(msg.empty()) << entry.first;
        host.clear_records();
        ASSERT_EQ(run_whole(msg), msg) << entry.first;
        const auto reqs = attach_requests();
        ASSERT_EQ(reqs.size(), entry.second.size()) << entry.first;
        for (std::size_t i = 0; i < reqs.size(); ++i)
            EXPECT_EQ(wide_at(reqs[i], 60), utf16le_of(entry.second[i])) << entry.first << " " << i;
        EXPECT_EQ(run(kit::one_byte_chunks(msg)), msg) << entry.first;
        for (std::uint32_t k = 0; k < 5; ++k)
            EXPECT_EQ(run(kit::random_chunks(msg, seed + k, 200)), msg) << entry.first << " seed " << seed + k;
    }
    for (const char* name : {"mixed_crlf.eml", "uuencoded_text.eml"}) {
        const std::string msg = corpus(name);
        for (std::size_t at = 0; at <= msg.size(); ++at) ASSERT_EQ(run(kit::split_at(msg, at)), msg) << name << at;
    }
}

TEST_F(mail_fixture, decoded_attachment_reaches_the_host_in_place) {
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(0));
    const std::string msg = corpus("single_attachment.eml");
    EXPECT_EQ(run_whole(msg), msg);
    ASSERT_EQ(attach_bodies().size(), 1u);
    const std::string body = msg.substr(msg.find("\r\n\r\n") + 4);
    std::string decoded;
    mail::mime_base64_coder().decoder(body, decoded);
    EXPECT_EQ(decoded.size(), 9000u);
    EXPECT_EQ(attach_bodies()[0], decoded);
}
