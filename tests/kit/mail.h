#pragma once
// What the mail tests share: a scripted host installed for the test, one
// session summary, runs of a message through a mail filter in given chunks,
// the corpus under tests/data/mail and a check with Python's email package.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/host_link.h"
#include "kit/kit.h"
#include "mail/mail_filter.h"
#include "module/chain_factory.h"
#include "platform/codepage.h"
#include "platform/registry.h"
#include "zem/external_iface.h"

namespace kit {

class feedback : public i_connection_feedback {
public:
    bool request_fake_in() override { return true; }
    bool request_stop() override { return true; }
    bool get_connection_info(zem::connection_info* info) override {
        info->id0 = 0xA1A2A3A4;
        info->id1 = 0xB1B2B3B4;
        info->id2 = 0xC1C2C3C4;
        return true;
    }
};

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline std::string corpus(const std::string& name) {
    return read_file(std::string(ZEM_TEST_DATA_DIR) + "/mail/" + name);
}

// "\n" line ends made "\r\n".
inline std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// UTF-16LE bytes of a UTF-8 text.
inline std::string utf16le_of(const std::string& utf8) {
    return platform::wide_to_utf16le([&] {
        std::u16string u = platform::utf8_to_utf16(utf8);
        return std::wstring(u.begin(), u.end());
    }());
}

// The wide string a string_ref at 'off' of a request points to, as UTF-16LE.
inline std::string wide_at(const std::string& msg, std::size_t off) {
    const std::uint64_t rel = kit::le64(msg, off), len = kit::le64(msg, off + 8);
    if (rel == 0 || off + rel + len > msg.size()) return std::string();
    return msg.substr(off + rel, len);
}

// The message without the keep-alive fields a held section may have got
// ("X-Zombie: X..." with its folded lines, "X-Zombie-N: ...").
inline std::string strip_zombie(const std::string& text) {
    std::string out;
    std::size_t pos = 0;
    while (true) {
        const std::size_t z = text.find("X-Zombie", pos);
        if (z == std::string::npos || (z > 0 && text[z - 1] != '\n')) {
            if (z == std::string::npos) break;
            out.append(text, pos, z + 1 - pos);
            pos = z + 1;
            continue;
        }
        out.append(text, pos, z - pos);
        std::size_t e = z;
        do {
            e = text.find("\r\n", e);
            e = e == std::string::npos ? text.size() : e + 2;
        } while (e < text.size() && text[e] == '\t');
        pos = e;
    }
    out.append(text, pos, std::string::npos);
    return out;
}

class mail_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_isolate(true);
        zem_io_commands::set_host_iface(&host);
        summary.feedback = &fb;
        summary.source_protocol = mail::source_pop3;
        summary.message_id = 0x0102030405060708ull;
    }
    void TearDown() override {
        zem_io_commands::set_host_iface(nullptr);
        platform::reg_override_isolate(false);
    }

    // One message through 'f' (a fresh filter when null), piece by piece;
    // everything that went on, in order.
    std::string run(const std::vector<std::string>& pieces, mail::mail_filter* f = nullptr) {
        mail::mail_filter own(&fb, module::mail_checker_hooks());
        if (!f) f = &own;
        std::string out;
        for (const auto& p : pieces) {
            byte_string d = p;
            unsigned released = 0;
            EXPECT_TRUE(f->update(d, &released, &summary));
            EXPECT_EQ(released, d.size());
            out += d;
        }
        byte_string rest;
        f->stop(rest);
        return out + rest;
    }
    std::string run_whole(const std::string& msg) { return run({msg}); }

    // The requests of every attachment check, in order.
    std::vector<std::string> attach_requests() {
        std::vector<std::string> r;
        for (const auto& c : host.commands(zem::codes::mail_check_mail_attach)) r.push_back(c.data);
        return r;
    }
    std::vector<std::string> attach_bodies() {
        std::vector<std::string> r;
        for (const auto& c : host.commands(zem::codes::mail_check_mail_attach)) r.push_back(c.referenced);
        return r;
    }

    kit::fake_host host;
    feedback fb;
    mail::mail_info_summary summary;
};

// Parses a message with Python's email package; one line per leaf part:
// "type|filename|decoded payload (repr, or its length when long)", then
// "defects=N". Empty when python3 cannot run.
inline std::string python_view(const std::string& message) {
    char path[] = "/tmp/zem_mail_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return std::string();
    FILE* f = fdopen(fd, "wb");
    fwrite(message.data(), 1, message.size(), f);
    fclose(f);
    const std::string script =
        "import email, email.policy, sys\n"
        "m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)\n"
        "d = len(m.defects)\n"
        "for p in m.walk():\n"
        "    d += len(p.defects)\n"
        "    if p.is_multipart(): continue\n"
        "    b = p.get_payload(decode=True) or b''\n"
        "    print('%s|%s|%s' % (p.get_content_type(), p.get_filename(), repr(b) if len(b) < 40 else len(b)))\n"
        "print('defects=%d' % d)\n";
    const std::string cmd = "python3 -c \"$ZEM_PY\" " + std::string(path) + " 2>&1";
    setenv("ZEM_PY", script.c_str(), 1);
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    std::remove(path);
    return out;
}

inline bool have_python() { return std::system("python3 -c 'import email' >/dev/null 2>&1") == 0; }

}  // namespace kit
