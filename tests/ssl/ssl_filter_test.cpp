// The TLS handshake watcher: server names from ClientHellos, certificate
// chains recorded in the configured folder, SSL 2 hellos, and hostile
// records. Every byte must pass unchanged at every chunking.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/configuration.h"
#include "kit/kit.h"
#include "kit/transcript.h"
#include "platform/registry.h"
#include "ssl/ssl_stream_filter.h"

namespace {

std::string u16(std::size_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string u24(std::size_t v) { return static_cast<char>(v >> 16) + u16(v & 0xFFFF); }
std::string record(unsigned char type, const std::string& body) {
    return std::string(1, static_cast<char>(type)) + "\x03\x03" + u16(body.size()) + body;
}
std::string message(unsigned char type, const std::string& body) {
    return std::string(1, static_cast<char>(type)) + u24(body.size()) + body;
}
std::string client_hello(const std::string& name) {
    std::string b = "\x03\x03" + std::string(32, 'R') + std::string("\x00", 1) + u16(4) + "\x13\x01\xc0\x2f" +
                    std::string("\x01\x00", 2);
    std::string ext = u16(0x0a) + u16(4) + u16(2) + u16(0x1d);  // a group list before the name
    const std::string sni = u16(name.size() + 3) + std::string(1, '\0') + u16(name.size()) + name;
    ext += u16(0) + u16(sni.size()) + sni;
    return message(1, b + u16(ext.size()) + ext);
}
std::string certificate(const std::vector<std::string>& chain) {
    std::string list;
    for (const auto& c : chain) list += u24(c.size()) + c;
    return message(11, u24(list.size()) + list);
}
const std::string server_hello = message(2, "\x03\x03" + std::string(32, 'S') + std::string("\x00\xc0\x2f\x00", 4));
const std::string change_cipher = std::string("\x14\x03\x03\x00\x01\x01", 6);
const std::vector<std::string> chain3 = {"leaf-DER\x30\x82" + std::string(40, 'L'), "intermediate\x00\xff",
                                         std::string(70, 'R')};

using step = kit::transcript::step;

class ssl_filter_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_clear();
        platform::reg_override_isolate(true);
        folder = ::testing::TempDir() + "zem_ssl_certs_" + std::to_string(::getpid());
        empty_folder();
        std::filesystem::create_directory(folder);
        platform::reg_override_set_string(config::net_key, ssl_stream_filter::folder_value, folder);
    }
    void TearDown() override {
        empty_folder();
        std::error_code ec;
        std::filesystem::remove(folder, ec);
        platform::reg_override_clear();
    }
    std::vector<std::string> files() const {
        std::vector<std::string> r;
        if (DIR* d = ::opendir(folder.c_str())) {
            while (dirent* e = ::readdir(d))
                if (e->d_name[0] != '.') r.push_back(e->d_name);
            ::closedir(d);
        }
        std::sort(r.begin(), r.end());
        return r;
    }
    std::string read(const std::string& name) const {
        std::ifstream f(folder + "/" + name, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    // Contents of the certificate files, sorted (their names are random).
    std::vector<std::string> certificates() const {
        std::vector<std::string> r;
        for (const auto& f : files())
            if (f.rfind("cer", 0) == 0) r.push_back(read(f));
        std::sort(r.begin(), r.end());
        return r;
    }
    void empty_folder() {
        for (const auto& f : files()) std::remove((folder + "/" + f).c_str());
    }

    // Feeds the steps (each cut by 'cut') through a filter point holding the
    // TLS filter alone; checks that the bytes pass unchanged.
    std::shared_ptr<ssl_stream_filter> run(const std::vector<step>& steps, const kit::chunker& cut) {
        std::shared_ptr<ssl_stream_filter> f;
        const kit::fed got = kit::feed_steps(
            steps, [&f](i_connection_feedback*) { return f = std::make_shared<ssl_stream_filter>(); }, cut,
            [&] { max_held = std::max(max_held, f->held_length()); });
        kit::transcript t{steps, {}};
        EXPECT_EQ(got.out, t.all(true));
        EXPECT_EQ(got.in, t.all(false));
        return f;
    }
    static std::vector<std::string> whole(const std::string& s) { return {s}; }

    std::string folder;
    std::size_t max_held = 0;
};

TEST_F(ssl_filter_test, chain_and_name_are_recorded_at_every_chunking) {
    const std::vector<step> session = {
        {true, record(22, client_hello("www.example.test"))},
        {false, record(22, server_hello) + record(22, certificate(chain3)) + record(22, message(14, ""))},
        {true, record(22, message(16, "key")) + change_cipher},
    };
    std::vector<std::string> want = chain3;
    std::sort(want.begin(), want.end());
    auto verify = [&](const std::shared_ptr<ssl_stream_filter>& f, const std::string& how) {
        EXPECT_TRUE(f->dead()) << how;
        EXPECT_EQ(f->server_name(), "www.example.test") << how;
        EXPECT_EQ(certificates(), want) << how;
        EXPECT_EQ(read("hostname.txt"), "www.example.test\r\n") << how;
        EXPECT_EQ(files().size(), 4u) << how;
        empty_folder();
    };
    verify(run(session, whole), "whole");
    verify(run(session, kit::one_byte_chunks), "one byte at a time");
    // Every split point of the client's hello and of the server's flight.
    for (std::size_t k = 0; k < 2; ++k)
        for (std::size_t at = 1; at < session[k].bytes.size(); ++at) {
            std::size_t n = 0;
            verify(run(session,
                       [&](const std::string& s) {
                           return n++ == k ? kit::split_at(s, at) : std::vector<std::string>{s};
                       }),
                   "step " + std::to_string(k) + " at " + std::to_string(at));
            if (HasFailure()) return;
        }
}

TEST_F(ssl_filter_test, only_the_first_message_of_a_server_record_is_looked_at) {
    // ServerHello and Certificate share a record: nothing is written, and the
    // filter steps aside at the first record that is not a handshake.
    const auto f = run({{true, record(22, client_hello("a.test"))},
                        {false, record(22, server_hello + certificate(chain3))},
                        {false, change_cipher}},
                       whole);
    EXPECT_TRUE(f->dead());
    EXPECT_TRUE(files().empty());
}

TEST_F(ssl_filter_test, encrypted_certificates_leave_nothing_written) {
    // The shape of a TLS 1.3 handshake: after the ServerHello everything is
    // application data.
    const auto f = run({{true, record(22, client_hello("tls13.test"))},
                        {false, record(22, server_hello) + change_cipher + record(23, std::string(300, 'E'))}},
                       kit::one_byte_chunks);
    EXPECT_TRUE(f->dead());
    EXPECT_EQ(f->server_name(), "tls13.test");
    EXPECT_TRUE(files().empty());
}

TEST_F(ssl_filter_test, not_tls_steps_aside_at_once) {
    EXPECT_TRUE(run({{false, "220 ftp ready\r\n"}, {true, record(22, client_hello("x"))}}, whole)->dead());
    EXPECT_TRUE(run({{true, "GET / HTTP/1.1\r\n\r\n"}}, kit::one_byte_chunks)->dead());
    // Bytes held from one side and then bytes from the other.
    EXPECT_TRUE(run({{true, record(22, client_hello("x")).substr(0, 9)}, {false, "x"}}, whole)->dead());
    EXPECT_TRUE(files().empty());
}

TEST_F(ssl_filter_test, ssl2_hello_then_tls) {
    // An SSL 2 hello announcing TLS 1.0: cipher specs 6, session 0, challenge 16.
    const std::string v2 = std::string("\x80\x1d\x01\x03\x01", 5) + u16(6) + u16(0) + u16(16) +
                           std::string("\x00\x00\x2f\x00\x00\x35", 6) + std::string(16, 'C');
    const auto f =
        run({{true, v2}, {false, record(22, server_hello) + record(22, certificate(chain3))}}, kit::one_byte_chunks);
    EXPECT_TRUE(f->dead());
    EXPECT_EQ(certificates().size(), 3u);
    EXPECT_EQ(read("hostname.txt"), "\r\n");  // no name in an SSL 2 hello
    empty_folder();
    // A pure SSL 2 hello (version 2): the server's answer is no TLS record.
    std::string pure = v2;
    pure[3] = 0, pure[4] = 2;
    EXPECT_TRUE(run({{true, pure}, {false, record(22, certificate(chain3))}}, whole)->dead());
    EXPECT_TRUE(files().empty());
    // Longer than its own lengths say: not followed.
    EXPECT_TRUE(run({{true, v2 + "x"}}, whole)->dead());
}

TEST_F(ssl_filter_test, hostile_handshakes_write_nothing_and_stay_bounded) {
    const std::string hello = record(22, client_hello("h.test"));
    // A ClientHello whose extension lengths run past the record.
    std::string past = hello;
    past[past.size() - 8] = '\x7f';  // the name's length
    auto f = run({{true, past}, {false, record(22, certificate(chain3))}}, whole);
    EXPECT_TRUE(f->dead());
    EXPECT_EQ(f->server_name(), "");
    // A record announcing 0xFFFF bytes, delivered a byte at a time: held, and
    // looked at once complete.
    max_held = 0;
    const std::string big = record(22, message(1, std::string(0xFFFF - 4, 'z')));
    f = run({{true, big.substr(0, 40000)}}, kit::one_byte_chunks);
    EXPECT_FALSE(f->dead());
    EXPECT_LE(max_held, 0xFFFFu + 5);
    // 100 000 empty handshake records, then a real hello.
    std::string tiny;
    for (int i = 0; i < 100000; ++i) tiny += record(22, "");
    f = run({{true, tiny + hello}}, [](const std::string& s) { return kit::random_chunks(s, kit::test_seed(), 3000); });
    EXPECT_EQ(f->server_name(), "h.test");
    // Certificate lists whose inner lengths disagree.
    std::string cert = certificate(chain3);
    for (std::size_t at : {std::size_t(4), std::size_t(7), std::size_t(7 + 3 + chain3[0].size())}) {
        std::string bad = cert;
        bad[at + 2] = static_cast<char>(bad[at + 2] + 1);
        f = run({{true, hello}, {false, record(22, bad)}}, whole);
        EXPECT_TRUE(f->dead()) << at;
        EXPECT_TRUE(files().empty()) << at;
    }
    // A 16 MB "certificate" announced inside one record.
    std::string huge = message(11, u24(0xFFFFFF - 3) + u24(0xFFFFFF - 6) + std::string(1000, 'H'));
    f = run({{true, hello}, {false, record(22, huge)}}, whole);
    EXPECT_TRUE(f->dead());
    EXPECT_TRUE(files().empty());
}

TEST_F(ssl_filter_test, server_names_never_become_paths) {
    for (const std::string name : {"../../etc/x", "/etc/passwd", "a\r\nforged.test"}) {
        run({{true, record(22, client_hello(name))}, {false, record(22, certificate({"C"}))}}, whole);
        const auto names = files();
        ASSERT_EQ(names.size(), 2u) << name;
        EXPECT_EQ(names[1], "hostname.txt");
        EXPECT_EQ(names[0].rfind("cer", 0), 0u);
        std::string line = name;
        std::replace(line.begin(), line.end(), '\r', '?');
        std::replace(line.begin(), line.end(), '\n', '?');
        EXPECT_EQ(read("hostname.txt"), line + "\r\n");
        empty_folder();
    }
}

TEST_F(ssl_filter_test, absent_folder_is_never_created) {
    const std::string missing = folder + "/not-made";
    platform::reg_override_set_string(config::net_key, ssl_stream_filter::folder_value, missing);
    run({{true, record(22, client_hello("n.test"))}, {false, record(22, certificate(chain3))}}, whole);
    struct stat st {};
    EXPECT_NE(::stat(missing.c_str(), &st), 0);
    EXPECT_TRUE(files().empty());
    // Unconfigured, the platform default is used (and made by nobody here).
    platform::reg_override_clear();
    platform::reg_override_isolate(true);
#if defined(_WIN32)
    EXPECT_EQ(ssl_stream_filter::certificate_folder(), "C:\\mvxCertRep");
#else
    EXPECT_EQ(ssl_stream_filter::certificate_folder(), "/var/lib/mvxCertRep");
#endif
}

}  // namespace
