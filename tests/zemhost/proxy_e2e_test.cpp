// The zem-host program end to end on loopback: a small HTTP server started by
// the test, curl and raw sockets as clients, the real binary in between.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kit/codings.h"
#include "kit/host_process.h"
#include "kit/kit.h"
#include "policy.h"

namespace {

using nlohmann::json;
using namespace kit;

std::string tmp(const std::string& name) { return ::testing::TempDir() + "zemhost_e2e_" + name; }

const std::string& big_body() {
    static const std::string b = pattern_bytes(10 * 1024 * 1024, 0xC0FFEE);
    return b;
}

const std::string k_plain_html =
    "<html><head><title>plain</title></head><body>\n"
    "<p>Nothing here for a filter to change: no images, no scripts.</p>\n"
    "</body></html>\n";

const std::string k_ad_html =
    "<html><head><title>ads</title></head><body>\n"
    "<p>before</p><img src=\"/ads/banner.gif\" width=\"468\" height=\"60\"><p>after</p>\n"
    "</body></html>\n";

const std::string k_server_gif(
    "GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\xff\x00\xff\xff\xff"
    "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00\x3b",
    35);

// A keep-alive HTTP/1.1 server on 127.0.0.1 with a fixed set of resources.
class http_server {
public:
    http_server() {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_listen, 1024);
        socklen_t len = sizeof a;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_accept = std::thread([this] { accept_loop(); });
    }
    ~http_server() {
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_accept.join();
        {
            std::lock_guard<std::mutex> g(m_lock);
            for (int fd : m_fds) ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& t : m_threads) t.join();
    }
    int port() const { return m_port; }
    int requests() const { return m_requests.load(); }

    static std::string respond(const std::string& target) {
        auto reply = [](const std::string& type, const std::string& body, const std::string& extra = "") {
            return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n" + extra + "\r\n" + body;
        };
        if (target == "/big") return reply("application/octet-stream", big_body());
        if (target == "/plain.html") return reply("text/html", k_plain_html);
        if (target == "/ad.html") return reply("text/html", k_ad_html);
        if (target == "/gzip.html") return reply("text/html", kit::gzip(k_plain_html), "Content-Encoding: gzip\r\n");
        if (target == "/ads/banner.gif" || target == "/banner.gif") return reply("image/gif", k_server_gif);
        if (target == "/chunked.html") {
            return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n" +
                   kit::chunked(k_plain_html, 17);
        }
        return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    }

private:
    void accept_loop() {
        for (;;) {
            const int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0) return;
            std::lock_guard<std::mutex> g(m_lock);
            m_fds.push_back(fd);
            m_threads.emplace_back([this, fd] { serve(fd); });
        }
    }
    void serve(int fd) {
        std::string in;
        char buf[8192];
        for (;;) {
            std::size_t end;
            while ((end = in.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    // The client is done: end our side too, as servers do.
                    ::shutdown(fd, SHUT_WR);
                    return;
                }
                in.append(buf, static_cast<std::size_t>(n));
            }
            const std::string head = in.substr(0, end);
            in.erase(0, end + 4);
            ++m_requests;
            const std::size_t sp1 = head.find(' '), sp2 = head.find(' ', sp1 + 1);
            const std::string out = respond(head.substr(sp1 + 1, sp2 - sp1 - 1));
            for (std::size_t off = 0; off < out.size();) {
                const ssize_t n = ::send(fd, out.data() + off, out.size() - off, MSG_NOSIGNAL);
                if (n <= 0) return;
                off += static_cast<std::size_t>(n);
            }
            if (head.find("Connection: close") != std::string::npos) {
                ::shutdown(fd, SHUT_WR);
            }
        }
    }

    int m_listen = -1;
    int m_port = 0;
    std::thread m_accept;
    std::mutex m_lock;
    std::vector<int> m_fds;
    std::vector<std::thread> m_threads;
    std::atomic<int> m_requests{0};
};

struct curl_result {
    int exit_code = -1;
    int status = 0;
    std::string body, headers;
};

curl_result curl(const std::string& url, const std::string& extra = "") {
    static std::atomic<int> serial{0};
    const std::string n = std::to_string(::getpid()) + "_" + std::to_string(serial++);
    const std::string body = tmp("body_" + n), hdrs = tmp("hdrs_" + n);
    const std::string cmd = "curl -s -S --max-time 60 --noproxy '*' " + extra + " -o '" + body + "' -D '" + hdrs +
                            "' -w '%{http_code}' '" + url + "' 2>/dev/null";
    curl_result r;
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[64] = {};
    const std::size_t got = std::fread(buf, 1, sizeof buf - 1, p);
    buf[got] = 0;
    const int st = ::pclose(p);
    r.exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.status = std::atoi(buf);
    r.body = slurp(body);
    r.headers = slurp(hdrs);
    std::remove(body.c_str());
    std::remove(hdrs.c_str());
    return r;
}

std::string header_value(const std::string& headers, const std::string& name) {
    std::istringstream s(headers);
    std::string line;
    std::string value;
    while (std::getline(s, line)) {
        if (line.size() > name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0 &&
            line[name.size()] == ':') {
            value = line.substr(name.size() + 1);
            while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
            while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
        }
    }
    return value;
}

std::string zem_host_default_policy() { return zem_host::embedded_default_policy(); }

bool curl_available() { return std::system("curl --version >/dev/null 2>&1") == 0; }

// A proxy in front of a fresh server, with a policy given as text.
class zemhost_proxy : public ::testing::Test {
protected:
    void start_proxy(const std::string& policy_text, std::vector<std::string> extra = {}) {
        if (!curl_available()) GTEST_SKIP() << "curl is not installed";
        policy_path = tmp(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".json");
        events_path = tmp(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".jsonl");
        write_file(policy_path, policy_text);
        std::remove(events_path.c_str());
        std::vector<std::string> args = {
            "proxy",    "--listen",  "127.0.0.1:0", "--upstream", "127.0.0.1:" + std::to_string(server.port()),
            "--policy", policy_path, "--events",    events_path,  "--threads",
            "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(host.start(args));
        port = host.wait_listening();
        ASSERT_GT(port, 0) << "zem-host did not report that it listens";
    }
    std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }
    // Stops the proxy (so the event log is complete) and returns its lines.
    std::vector<json> stop_and_read_events() {
        EXPECT_EQ(host.stop(SIGTERM), 0);
        return read_events(events_path);
    }
    bool engine_follows_http(const std::vector<json>& events) {
        return count_events(events, "event", "http_notify_request") > 0;
    }

    http_server server;
    host_process host;
    int port = 0;
    std::string policy_path, events_path;
};

// ---- relaying ---------------------------------------------------------------------

TEST_F(zemhost_proxy, allow_all_relays_ten_megabytes_unchanged) {
    start_proxy("{}");
    const curl_result r = curl(url("/big"));
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.status, 200);
    ASSERT_EQ(r.body.size(), big_body().size());
    EXPECT_TRUE(r.body == big_body()) << "the body changed on the way";
    EXPECT_EQ(header_value(r.headers, "Content-Length"), std::to_string(big_body().size()));
    const auto ev = stop_and_read_events();
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.back()["host"], "stopped");
    EXPECT_EQ(ev.back()["connections"], 1);
}

TEST_F(zemhost_proxy, raw_bytes_of_any_protocol_pass_in_both_directions) {
    // Not HTTP: an echo-less exchange where the server's answer is fixed.
    start_proxy("{}");
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    // Three pipelined requests sent a byte at a time on one connection.
    const std::string req = "GET /plain.html HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string all = req + req + req;
    for (char c : all) ASSERT_EQ(::send(fd, &c, 1, MSG_NOSIGNAL), 1);
    ::shutdown(fd, SHUT_WR);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    const std::string one = http_server::respond("/plain.html");
    EXPECT_EQ(got, one + one + one);
}

TEST_F(zemhost_proxy, many_concurrent_connections) {
    start_proxy("{}");
    constexpr int k_conns = 400;
    std::vector<int> fds;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Open all first so that they are alive at the same time.
    for (int k = 0; k < k_conns; ++k) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << k;
        fds.push_back(fd);
    }
    const std::string req = "GET /plain.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    for (int fd : fds) ASSERT_EQ(::send(fd, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    const std::string expected = http_server::respond("/plain.html");
    int ok = 0;
    for (int fd : fds) {
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<std::size_t>(n));
        ::close(fd);
        if (got == expected) ++ok;
    }
    EXPECT_EQ(ok, k_conns);
    EXPECT_EQ(server.requests(), k_conns);
}

TEST_F(zemhost_proxy, a_client_that_does_not_read_stalls_nobody_and_loses_nothing) {
    start_proxy("{}");
    const int slow = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    ::setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(slow, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string req = "GET /big HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(::send(slow, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The slow client's 10 MB sit in buffers; everybody else goes on.
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < 10; ++k) {
        const curl_result r = curl(url("/plain.html"), "--max-time 10");
        ASSERT_EQ(r.exit_code, 0) << k;
        EXPECT_EQ(r.body, k_plain_html);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    // Now read it all: held back, not dropped.
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = ::recv(slow, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<std::size_t>(n));
    ::close(slow);
    const std::string expected = http_server::respond("/big");
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST_F(zemhost_proxy, sigterm_refuses_new_connections_and_lets_open_ones_finish) {
    start_proxy("{}");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string req = "GET /big HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(::send(fd, req.data(), req.size(), MSG_NOSIGNAL), static_cast<ssize_t>(req.size()));
    std::string got;
    char buf[65536];
    while (got.size() < 1024 * 1024) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.append(buf, static_cast<std::size_t>(n));
    }
    host.signal(SIGTERM);
    // The listening socket goes away at once.
    bool refused = false;
    for (int k = 0; k < 50 && !refused; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        refused = ::connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
        ::close(probe);
    }
    EXPECT_TRUE(refused) << "still accepting after SIGTERM";
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    EXPECT_TRUE(got == http_server::respond("/big")) << "the open download was cut: " << got.size() << " bytes";
    EXPECT_EQ(host.wait(), 0);
    const auto ev = read_events(events_path);
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.back()["host"], "stopped");
}

TEST(zemhost_e2e, unreachable_upstream_closes_the_client_with_nothing_sent) {
    // A port that nobody listens on: bind, read the port, close.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    const int dead_port = ntohs(a.sin_port);
    ::close(probe);

    host_process host;
    ASSERT_TRUE(
        host.start({"proxy", "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:" + std::to_string(dead_port)}));
    const int port = host.wait_listening();
    ASSERT_GT(port, 0);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string req = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the client connection stayed open";
    char buf[16];
    EXPECT_LE(::recv(fd, buf, sizeof buf, 0), 0);
    ::close(fd);
    EXPECT_EQ(host.stop(SIGINT), 0);
}

// ---- policy and events --------------------------------------------------------------

TEST_F(zemhost_proxy, event_log_records_the_engine_traffic) {
    start_proxy(R"({"default": {"idx_popups": "block"}})");
    const curl_result r = curl(url("/plain.html"));
    ASSERT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.body, k_plain_html);
    const auto ev = stop_and_read_events();
    for (const auto& e : ev) {
        EXPECT_TRUE(e.contains("ts"));
        EXPECT_TRUE(e.contains("event") || e.contains("command") || e.contains("host") || e.contains("policy"));
    }
    if (!engine_follows_http(ev))
        GTEST_SKIP() << "the engine sent no http_notify_request: no HTTP filter in the library yet";
    bool request_seen = false, response_seen = false;
    for (const auto& e : ev) {
        if (e.value("event", "") == "http_notify_request" && e.value("uri", "") == "/plain.html") {
            request_seen = true;
            EXPECT_EQ(e["host"], "127.0.0.1:" + std::to_string(port));
            EXPECT_EQ(e["version_code"], 2);
            EXPECT_NE(e["id0"], 0);
        }
        if (e.value("event", "") == "http_notify_response") {
            response_seen = true;
            EXPECT_EQ(e["status"], 200);
            EXPECT_EQ(e["content_type"], "text/html");
            EXPECT_EQ(e["content_length"], k_plain_html.size());
        }
    }
    EXPECT_TRUE(request_seen);
    EXPECT_TRUE(response_seen);
}

TEST_F(zemhost_proxy, policy_reload_and_rejection_keep_connections_working) {
    start_proxy(R"({"stop_words": ["one"]})");
    write_file(policy_path, R"({"stop_words": ["two"]})");
    auto wait_for = [&](const char* what) {
        for (int k = 0; k < 50; ++k) {
            for (const auto& e : read_events(events_path))
                if (e.value("policy", "") == what) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    EXPECT_TRUE(wait_for("reloaded"));
    write_file(policy_path, R"({"stop_words": ["three"], "bogus": 1})");
    EXPECT_TRUE(wait_for("reload_failed"));
    const curl_result r = curl(url("/plain.html"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.body, k_plain_html);
    const auto ev = stop_and_read_events();
    for (const auto& e : ev)
        if (e.value("policy", "") == "reload_failed") {
            EXPECT_NE(e["error"].get<std::string>().find("bogus"), std::string::npos);
        }
}

TEST_F(zemhost_proxy, registry_file_reaches_the_engine) {
    // First with the engine's defaults, to learn whether it follows HTTP at all.
    start_proxy("{}");
    ASSERT_EQ(curl(url("/plain.html")).exit_code, 0);
    if (!engine_follows_http(stop_and_read_events()))
        GTEST_SKIP() << "the engine sent no http_notify_request: no HTTP filter in the library yet";
    const std::string reg = tmp("http_off.reg");
    write_file(reg,
               "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\Software\\MORVEX Software\\Morvex\\net]\n"
               "\"enable_http\"=dword:00000000\n");
    host_process second;
    ASSERT_TRUE(
        second.start({"proxy", "--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:" + std::to_string(server.port()),
                      "--policy", policy_path, "--events", events_path + ".off", "--registry", reg}));
    port = second.wait_listening();
    ASSERT_GT(port, 0);
    const curl_result r = curl(url("/plain.html"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.body, k_plain_html);
    EXPECT_EQ(second.stop(SIGTERM), 0);
    const auto ev = read_events(events_path + ".off");
    EXPECT_EQ(count_events(ev, "event", "http_notify_request"), 0u) << "the HTTP filter ran although disabled";
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.back()["connections"], 1);
}

TEST_F(zemhost_proxy, gzip_and_chunked_pages_arrive_valid) {
    start_proxy(zem_host_default_policy());
    const curl_result g = curl(url("/gzip.html"), "--compressed");
    ASSERT_EQ(g.exit_code, 0);
    EXPECT_EQ(g.status, 200);
    EXPECT_EQ(g.body, k_plain_html);
    const curl_result raw = curl(url("/gzip.html"));
    ASSERT_EQ(raw.exit_code, 0);
    const std::string cl = header_value(raw.headers, "Content-Length");
    if (!cl.empty()) {
        EXPECT_EQ(cl, std::to_string(raw.body.size()));
    }
    const curl_result c = curl(url("/chunked.html"));
    ASSERT_EQ(c.exit_code, 0) << "curl rejected the framing";
    EXPECT_EQ(c.body, k_plain_html);
}

TEST_F(zemhost_proxy, advertisement_image_is_replaced_and_blocked_host_gets_the_block_page) {
    start_proxy(zem_host_default_policy());
    const curl_result ad = curl(url("/ads/banner.gif"));
    const curl_result blocked = curl(url("/banner.gif"), "-H 'Host: ads.localhost'");
    const auto ev = stop_and_read_events();
    if (!engine_follows_http(ev))
        GTEST_SKIP() << "the engine sent no http_notify_request: no HTTP filter in the library yet";
    ASSERT_EQ(ad.exit_code, 0);
    EXPECT_EQ(ad.status, 200);
    EXPECT_NE(ad.body, k_server_gif) << "the advertisement image came through unchanged";
    EXPECT_EQ(ad.body.substr(0, 6), "GIF89a");
    EXPECT_EQ(blocked.status, 502);
    nlohmann::json pol = nlohmann::json::parse(zem_host_default_policy());
    EXPECT_EQ(blocked.body, pol["block_page"].get<std::string>());
    EXPECT_EQ(header_value(blocked.headers, "Content-Length"), std::to_string(blocked.body.size()));
    EXPECT_GE(count_events(ev, "event", "general_notify_object_blocked"), 2u);
}

TEST_F(zemhost_proxy, banner_in_a_page_is_removed_and_the_length_follows) {
    start_proxy(zem_host_default_policy());
    const curl_result page = curl(url("/ad.html"));
    const auto ev = stop_and_read_events();
    if (!engine_follows_http(ev))
        GTEST_SKIP() << "the engine sent no http_notify_request: no HTTP filter in the library yet";
    ASSERT_EQ(page.exit_code, 0);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body.find("<img src=\"/ads/banner.gif\""), std::string::npos) << page.body;
    EXPECT_NE(page.body.find("<p>before</p>"), std::string::npos) << page.body;
    EXPECT_NE(page.body.find("<p>after</p>"), std::string::npos) << page.body;
    const std::string cl = header_value(page.headers, "Content-Length");
    if (!cl.empty()) {
        EXPECT_EQ(cl, std::to_string(page.body.size()));
    }
    EXPECT_GE(count_events(ev, "event", "general_notify_object_blocked"), 1u);
}

// ---- the command line -----------------------------------------------------------------

int run_status(const std::string& args, std::string* out = nullptr) {
    const std::string cmd = std::string(ZEM_HOST_BINARY) + " " + args + " 2>&1";
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int st = ::pclose(p);
    if (out) *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(zemhost_cli, help_everywhere_and_usage_errors) {
    std::string out;
    for (const char* a : {"--help", "proxy --help", "demo --help", "check-policy --help"}) {
        EXPECT_EQ(run_status(a, &out), 0) << a;
        EXPECT_NE(out.find("usage: zem-host"), std::string::npos) << a;
    }
    EXPECT_EQ(run_status("", &out), 2);
    EXPECT_EQ(run_status("frobnicate", &out), 2);
    EXPECT_EQ(run_status("proxy --upstream 127.0.0.1:1", &out), 2);
    EXPECT_NE(out.find("--listen is required"), std::string::npos);
    EXPECT_EQ(run_status("proxy --listen 127.0.0.1:0", &out), 2);
    EXPECT_EQ(run_status("proxy --listen 127.0.0.1:0 --upstream a:1 --transparent", &out), 2);
    EXPECT_EQ(run_status("proxy --listen nonsense --upstream a:1", &out), 2);
    EXPECT_EQ(run_status("proxy --listen 127.0.0.1:0 --upstream a:99999", &out), 2);
    EXPECT_EQ(run_status("proxy --listen 127.0.0.1:0 --upstream a:1 --threads 0", &out), 2);
    EXPECT_EQ(run_status("demo --port x", &out), 2);
}

TEST(zemhost_cli, check_policy_and_invalid_policy_at_start) {
    std::string out;
    EXPECT_EQ(run_status(std::string("check-policy ") + ZEM_SOURCE_DIR "/policy/default.json", &out), 0) << out;
    EXPECT_NE(out.find("valid"), std::string::npos);
    EXPECT_NE(out.find("idx_popups: block"), std::string::npos) << out;
    const std::string bad = tmp("bad_policy.json");
    write_file(bad, "{\n  \"default\": {\n    \"idx_popups\": \"sometimes\"\n  }\n}\n");
    EXPECT_EQ(run_status("check-policy " + bad, &out), 2);
    EXPECT_NE(out.find("line 3, column 5"), std::string::npos) << out;
    EXPECT_NE(out.find("sometimes"), std::string::npos) << out;
    EXPECT_EQ(run_status("proxy --listen 127.0.0.1:0 --upstream 127.0.0.1:1 --policy " + bad, &out), 2);
    EXPECT_NE(out.find("invalid policy"), std::string::npos) << out;
    EXPECT_EQ(run_status("check-policy " + tmp("does_not_exist.json"), &out), 2);
}

TEST(zemhost_cli, demo_serves_both_addresses) {
    if (!curl_available()) GTEST_SKIP() << "curl is not installed";
    host_process host;
    ASSERT_TRUE(host.start({"demo", "--port", "0", "--mail-port", "0", "--threads", "2"}));
    const int port = host.wait_listening();
    ASSERT_GT(port, 0);
    std::string site, filtered;
    for (int k = 0; k < 3; ++k) {
        const std::string l = host.line();
        if (l.rfind("demo site:", 0) == 0) site = l.substr(l.find("http://"));
        if (l.rfind("through the filter:", 0) == 0) filtered = l.substr(l.find("http://"));
    }
    ASSERT_FALSE(site.empty());
    ASSERT_FALSE(filtered.empty());
    EXPECT_EQ(filtered, "http://127.0.0.1:" + std::to_string(port) + "/");
    const curl_result direct = curl(site + "ads.html");
    const curl_result through = curl(filtered + "ads.html");
    EXPECT_EQ(direct.status, 200);
    EXPECT_EQ(through.status, 200);
    EXPECT_NE(direct.body.find("/ads/banner.gif"), std::string::npos);
    const curl_result gz = curl(filtered + "gzip.html", "--compressed");
    EXPECT_EQ(gz.exit_code, 0);
    EXPECT_NE(gz.body.find("Line 39 of a gzip-encoded page"), std::string::npos);
    EXPECT_EQ(host.stop(SIGINT), 0);
}

// The demo's mailbox through curl: the message with tool.exe arrives without
// it, the rest of the mailbox byte for byte, and the cut is announced.
TEST(zemhost_cli, demo_mailbox_through_curl) {
    if (!curl_available()) GTEST_SKIP() << "curl is not installed";
    host_process host;
    ASSERT_TRUE(host.start({"demo", "--port", "0", "--mail-port", "0", "--threads", "2"}));
    ASSERT_GT(host.wait_listening(), 0);
    std::string origin, filtered, l;
    while (!(l = host.line()).empty() && l.rfind("Blocked objects", 0) != 0) {
        if (l.rfind("demo mailbox (POP3): ", 0) == 0) origin = "pop3://" + l.substr(21, l.find(' ', 21) - 21) + "/";
        if (l.rfind("mail through the filter: ", 0) == 0) filtered = l.substr(25);
    }
    ASSERT_FALSE(origin.empty());
    ASSERT_EQ(filtered.rfind("pop3://127.0.0.1:", 0), 0u) << filtered;
    const std::string login = "-u demo:demo";
    const curl_result direct = curl(origin + "2", login), through = curl(filtered + "2", login);
    ASSERT_EQ(direct.exit_code, 0);
    ASSERT_EQ(through.exit_code, 0);
    const std::size_t part = direct.body.find("--demo-boundary\r\nContent-Type: application/octet-stream");
    const std::size_t end = direct.body.find("--demo-boundary--\r\n");
    ASSERT_NE(part, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(direct.body.find("TVqQAAMAAAAEAAAA"), std::string::npos);
    // Cut: the section goes, the text part and the closing boundary stay.
    EXPECT_EQ(through.body, direct.body.substr(0, part) + direct.body.substr(end));
    for (const char* rest : {"1", ""}) {
        const curl_result d = curl(origin + rest, login), t = curl(filtered + rest, login);
        EXPECT_EQ(t.exit_code, 0) << rest;
        EXPECT_FALSE(d.body.empty()) << rest;
        EXPECT_EQ(t.body, d.body) << rest;
    }
    EXPECT_EQ(host.line(), "mail: attachment \"tool.exe\" cut (rule \"*.exe\") in \"A program for you\"");
    EXPECT_EQ(host.stop(SIGINT), 0);
}

}  // namespace
