// FTP and TLS connections through the zem-host program: a private vsftpd
// driven by curl (passive, active, extended passive), and openssl's server
// with a certificate chain made here, driven by openssl's client.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <thread>

#include "kit/host_process.h"

namespace {

using nlohmann::json;
using namespace kit;

const std::string k_scripts = std::string(ZEM_SOURCE_DIR) + "/tests/zemhost/";

std::string tmpdir(const std::string& name) {
    const std::string d = ::testing::TempDir() + "zem_ftptls_" + std::to_string(::getpid()) + "_" + name;
    std::system(("rm -rf '" + d + "' && mkdir -p '" + d + "'").c_str());
    return d;
}

bool have(const char* program) {
    return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0 ||
           ::access((std::string("/usr/sbin/") + program).c_str(), X_OK) == 0;
}

int listen_socket(int& port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(s, 4);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

int connect_to(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
    ::close(s);
    return -1;
}

// Copies bytes both ways between two sockets until both have ended.
void splice(int a, int b) {
    const int fd[2] = {a, b};
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char buf[65536];
    while ((p[0].fd >= 0 || p[1].fd >= 0) && ::poll(p, 2, 30000) > 0) {
        for (int k = 0; k < 2; ++k) {
            if (p[k].fd < 0 || !p[k].revents) continue;
            const ssize_t n = ::read(fd[k], buf, sizeof buf);
            for (ssize_t off = 0; n > 0 && off < n;) {
                const ssize_t w = ::write(fd[1 - k], buf + off, static_cast<std::size_t>(n - off));
                if (w <= 0) break;
                off += w;
            }
            if (n <= 0) {
                ::shutdown(fd[1 - k], SHUT_WR);
                p[k].fd = -1;
            }
        }
    }
}

int free_port() {
    int port = 0;
    ::close(listen_socket(port));
    return port;
}

bool wait_port(int port) {
    for (int i = 0; i < 200; ++i) {
        const int s = connect_to(port);
        if (s >= 0) return ::close(s), true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// Runs a shell command; its standard output.
std::string run(const std::string& cmd, int* status = nullptr) {
    std::string out;
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int st = ::pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::string registry(const std::string& dir, const std::string& cert_folder) {
    const std::string path = dir + "/engine.reg";
    write_file(path,
               "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\Software\\MORVEX Software\\Morvex\\net]\n"
               "\"enable_ftp\"=dword:00000001\n"
               "\"cert_folder\"=\"" +
                   cert_folder + "\"\n");
    return path;
}

std::vector<std::string> dir_files(const std::string& dir) {
    std::vector<std::string> r;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') r.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(r.begin(), r.end());
    return r;
}

std::vector<json> commands_named(const std::vector<json>& ev, const std::string& name) {
    std::vector<json> r;
    for (const auto& e : ev)
        if (e.contains("command") && e["command"] == name) r.push_back(e);
    return r;
}

// ---- FTP ------------------------------------------------------------------------

class zemhost_ftp : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("vsftpd")) GTEST_SKIP() << "vsftpd is not installed (scripts/setup.sh installs it)";
        if (!have("curl")) GTEST_SKIP() << "curl is not installed";
        dir = tmpdir("ftp");
        const std::string root = dir + "/root";
        ::mkdir(root.c_str(), 0755);
        big = pattern_bytes(10 * 1024 * 1024, 0xF7F);
        write_file(root + "/big.bin", big);
        write_file(root + "/small.txt", "hello\n");
        ftp_port = free_port();
        pasv_min = free_port();
        vsftpd.start_program("sh", {k_scripts + "vsftpd_start.sh", dir + "/state", root, std::to_string(ftp_port),
                                    std::to_string(pasv_min), std::to_string(pasv_min + 20)});
        ASSERT_TRUE(wait_port(ftp_port)) << slurp(dir + "/state/vsftpd.log");
        write_file(dir + "/allow.sh", "#!/bin/sh\necho \"$1 $2\" >> " + dir + "/allowed.txt\n");
        ::chmod((dir + "/allow.sh").c_str(), 0755);
        events = dir + "/events.jsonl";
    }
    void start_proxy(int upstream) {
        ASSERT_TRUE(host.start({"proxy", "--listen", "127.0.0.1:0", "--upstream",
                                "127.0.0.1:" + std::to_string(upstream), "--registry", registry(dir, dir), "--events",
                                events, "--firewall-program", dir + "/allow.sh", "--threads", "2"}));
        port = host.wait_listening();
        ASSERT_GT(port, 0);
    }

    // curl through the proxy (or 'via'); the body, and in 'ports' the data
    // ports of the 227 replies and PORT commands (from curl's own trace).
    std::string fetch(const std::string& path, const std::string& options, std::vector<int>* ports = nullptr,
                      int via = 0) {
        const std::string n = std::to_string(via), body = dir + "/body" + n, trace = dir + "/trace" + n;
        int st = -1;
        run("curl -s -S --max-time 60 -v " + options + " -o '" + body +
                "' 'ftp://127.0.0.1:" + std::to_string(via ? via : port) + path + "' 2> '" + trace + "'",
            &st);
        EXPECT_EQ(st, 0) << slurp(trace);
        const std::string t = slurp(trace);
        static const std::regex re("(< 227 [^(]*\\(|> PORT )(\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)");
        for (std::sregex_iterator it(t.begin(), t.end(), re), end; ports && it != end; ++it)
            ports->push_back(std::stoi((*it)[6]) * 256 + std::stoi((*it)[7]));
        return slurp(body);
    }
    std::string direct_listing() {
        return run("curl -s --max-time 60 --disable-epsv 'ftp://127.0.0.1:" + std::to_string(ftp_port) + "/'");
    }
    std::vector<json> stop() {
        EXPECT_EQ(host.stop(SIGTERM), 0);
        return read_events(events);
    }

    std::string dir, events, big;
    int ftp_port = 0, pasv_min = 0, port = 0;
    host_process vsftpd, host;
};

TEST_F(zemhost_ftp, passive_transfers_are_announced_once_each) {
    start_proxy(ftp_port);
    std::vector<int> ports;
    const std::string listing = fetch("/", "--disable-epsv", &ports);
    EXPECT_NE(listing.find("small.txt"), std::string::npos);
    EXPECT_EQ(listing, direct_listing());
    EXPECT_TRUE(fetch("/big.bin", "--disable-epsv", &ports) == big) << "the download differs";
    ASSERT_EQ(ports.size(), 2u);
    const auto ev = stop();
    const auto fw = commands_named(ev, "firewall_allow_connection");
    ASSERT_EQ(fw.size(), 2u);
    std::string want_allowed;
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(fw[k]["request"]["address"], "127.0.0.1");
        EXPECT_EQ(fw[k]["request"]["port"], ports[k]);
        EXPECT_EQ(fw[k]["answer"], "allowed");
        EXPECT_EQ(fw[k]["rc"], 0);
        want_allowed += "127.0.0.1 " + std::to_string(ports[k]) + "\n";
    }
    EXPECT_EQ(slurp(dir + "/allowed.txt"), want_allowed);
}

TEST_F(zemhost_ftp, active_and_extended_transfers_are_not_announced) {
    // PORT from the local client: the client's own side opens nothing the
    // announcements are about. EPSV/EPRT carry no announcement either.
    start_proxy(ftp_port);
    const std::string listing = fetch("/", "--ftp-port 127.0.0.1 --disable-eprt");
    EXPECT_EQ(listing, direct_listing());
    EXPECT_TRUE(fetch("/big.bin", "--ftp-port 127.0.0.1 --disable-eprt") == big);
    EXPECT_TRUE(fetch("/big.bin", "") == big);                              // EPSV
    EXPECT_TRUE(fetch("/small.txt", "--ftp-port 127.0.0.1") == "hello\n");  // EPRT
    const auto ev = stop();
    EXPECT_TRUE(commands_named(ev, "firewall_allow_connection").empty());
    EXPECT_EQ(count_events(ev, "host", "stopped"), 1u);
}

TEST_F(zemhost_ftp, a_refusing_firewall_program_is_recorded) {
    write_file(dir + "/allow.sh", "#!/bin/sh\nexit 3\n");
    start_proxy(ftp_port);
    std::vector<int> ports;
    EXPECT_EQ(fetch("/small.txt", "--disable-epsv", &ports), "hello\n");  // the data connection is loopback
    const auto fw = commands_named(stop(), "firewall_allow_connection");
    ASSERT_EQ(fw.size(), 1u);
    EXPECT_EQ(fw[0]["answer"], "refused");
    EXPECT_EQ(fw[0]["firewall_program_status"], 3);
    EXPECT_EQ(fw[0]["rc"], 5);
}

TEST_F(zemhost_ftp, port_commands_to_a_local_server_are_announced) {
    // Turned around: relays join vsftpd to the proxy's client side and curl
    // to its upstream side, so the greeting goes out and curl's commands
    // come in, as when the local program is the server.
    int up_port = 0, curl_port = 0;
    const int up = listen_socket(up_port), front = listen_socket(curl_port);
    start_proxy(up_port);
    std::vector<int> ports;
    auto session = [&](const std::string& path, const std::string& options) {
        std::string body;
        std::thread client([&] { body = fetch(path, options, &ports, curl_port); });
        const int e = ::accept(front, nullptr, nullptr), a = connect_to(ftp_port), b = connect_to(port);
        const int d = ::accept(up, nullptr, nullptr);
        std::thread server_side(splice, a, b), client_side(splice, d, e);
        client.join();
        server_side.join();
        client_side.join();
        for (int fd : {a, b, d, e}) ::close(fd);
        return body;
    };
    EXPECT_EQ(session("/", "--ftp-port 127.0.0.1 --disable-eprt"), direct_listing());
    EXPECT_TRUE(session("/big.bin", "--ftp-port 127.0.0.1 --disable-eprt") == big);
    EXPECT_EQ(session("/small.txt", "--disable-epsv"), "hello\n");  // a 227 to the remote client
    ::close(up);
    ::close(front);
    ASSERT_EQ(ports.size(), 3u);
    const auto fw = commands_named(stop(), "firewall_allow_connection");
    ASSERT_EQ(fw.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(fw[k]["request"]["address"], "127.0.0.1");
        EXPECT_EQ(fw[k]["request"]["port"], ports[k]);
    }
}

// ---- TLS ------------------------------------------------------------------------

class zemhost_tls : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("openssl")) GTEST_SKIP() << "openssl is not installed";
        dir = tmpdir("tls");
        int st = -1;
        run("sh " + k_scripts + "make_cert_chain.sh '" + dir + "' www.chain.test", &st);
        ASSERT_EQ(st, 0);
        certs = dir + "/certs";
        ::mkdir(certs.c_str(), 0700);
    }
    // One session of openssl's client through the proxy to openssl's server
    // speaking 'version'; what the client received.
    std::string session(const std::string& version) {
        const int tls_port = free_port();
        host_process server;
        server.start_program(
            "openssl", {"s_server", "-accept", "127.0.0.1:" + std::to_string(tls_port), "-cert", dir + "/leaf.pem",
                        "-key", dir + "/leaf.key", "-cert_chain", dir + "/chain.pem", version, "-www", "-quiet"});
        EXPECT_TRUE(wait_port(tls_port));
        events = dir + "/events" + version + ".jsonl";
        host_process host;
        EXPECT_TRUE(
            host.start({"proxy", "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:" + std::to_string(tls_port),
                        "--registry", registry(dir, certs), "--events", events, "--threads", "2"}));
        const int port = host.wait_listening();
        const std::string got =
            run("printf 'GET / HTTP/1.0\\r\\n\\r\\n' | timeout 20 openssl s_client -connect 127.0.0.1:" +
                std::to_string(port) + " -servername www.chain.test -quiet 2>/dev/null");
        EXPECT_EQ(host.stop(SIGTERM), 0);
        return got;
    }
    std::string dir, certs, events;
};

TEST_F(zemhost_tls, tls12_chain_is_written_byte_identical_and_named) {
    const std::string page = session("-tls1_2");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 ok", 0), 0u) << page.substr(0, 200);
    std::vector<std::string> want = {slurp(dir + "/leaf.der"), slurp(dir + "/inter.der"), slurp(dir + "/root.der")};
    std::sort(want.begin(), want.end());
    std::vector<std::string> got, files;
    for (const auto& f : dir_files(certs))
        if (f != "hostname.txt") {
            got.push_back(slurp(certs + "/" + f));
            files.push_back(certs + "/" + f);
        }
    std::sort(got.begin(), got.end());
    EXPECT_TRUE(got == want) << "the certificates written differ from the ones made";
    EXPECT_EQ(slurp(certs + "/hostname.txt"), "www.chain.test\r\n");
    // The event log names the server and every file.
    std::vector<std::string> logged;
    std::size_t named = 0;
    for (const auto& e : read_events(events)) {
        if (!e.contains("tls")) continue;
        EXPECT_EQ(e["tls"]["server_name"], "www.chain.test");
        if (e["tls"].contains("certificate_file")) logged.push_back(e["tls"]["certificate_file"]);
        if (e["tls"].contains("hostname_file")) named += e["tls"]["hostname_file"] == certs + "/hostname.txt";
    }
    std::sort(logged.begin(), logged.end());
    EXPECT_EQ(logged, files);
    EXPECT_EQ(named, 1u);
}

TEST_F(zemhost_tls, tls13_writes_nothing_and_breaks_nothing) {
    const std::string page = session("-tls1_3");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 ok", 0), 0u) << page.substr(0, 200);
    EXPECT_TRUE(dir_files(certs).empty());
}

}  // namespace
