#include "status_board.h"

#include <gtest/gtest.h>

using nlohmann::json;
using zem_host::status_board;

namespace {

json request(const std::string& host) { return {{"event", "http_notify_request"}, {"host", host}, {"uri", "/"}}; }

json blocked(const std::string& index, const std::string& address, const std::string& object = "/x.gif") {
    return {{"event", "general_notify_object_blocked"},
            {"index_name", index},
            {"address", address},
            {"object", object},
            {"keyword", ""}};
}

json attachment(const std::string& action) {
    return {{"command", "mail_check_mail_attach"},
            {"rc", 0},
            {"request", {{"name", "tool.exe"}, {"subject", "hi"}}},
            {"answer", {{"action", action}, {"name", "tool.exe"}}}};
}

const status_board::clock::time_point t0 = status_board::clock::time_point(std::chrono::hours(24 * 365 * 50));

}  // namespace

TEST(zemhost_status_board, counts_requests_and_blocked_objects_by_kind_and_host) {
    status_board b;
    b.observe(request("News.example:8080"), t0);
    b.observe(request("news.example"), t0);
    b.observe(request("other.example"), t0);
    b.observe(blocked("idx_ads_by_link", "http://news.example/page"), t0);
    b.observe(blocked("idx_ads_by_size", "http://news.example/page"), t0);
    b.observe(blocked("idx_popups", "http://news.example/"), t0);
    b.observe(blocked("idx_jscript", "http://other.example/"), t0);
    b.observe(blocked("idx_vbscript", "http://other.example/"), t0);
    b.observe({{"event", "general_notify_stopword_blocked"},
               {"host", "words.example"},
               {"address", "http://words.example/a"},
               {"stop_word", "w"}},
              t0);
    b.observe(attachment("mail_action_cut_whole_section"), t0);
    b.observe(attachment("mail_action_leave"), t0);  // not blocked
    b.observe({{"event", "general_notify_log_line"}, {"line", "x"}}, t0);
    b.observe({{"policy", "reloaded"}, {"file", "/etc/zem/policy.json"}}, t0);

    const json s = b.snapshot(t0);
    EXPECT_EQ(s["requests"], 3);
    EXPECT_EQ(s["blocked"], 7);
    const json& k = s["by_kind"];
    EXPECT_EQ(k["ads_by_link"], 1);
    EXPECT_EQ(k["ads_by_size"], 1);
    EXPECT_EQ(k["popups"], 1);
    EXPECT_EQ(k["scripts"], 2);
    EXPECT_EQ(k["stop_words"], 1);
    EXPECT_EQ(k["attachments"], 1);
    EXPECT_EQ(k["cookies"], 0);
    // Hosts: most blocked first; names folded and without port.
    ASSERT_GE(s["hosts"].size(), 3u);
    EXPECT_EQ(s["hosts"][0]["host"], "news.example");
    EXPECT_EQ(s["hosts"][0]["requests"], 2);
    EXPECT_EQ(s["hosts"][0]["blocked"], 3);
    EXPECT_EQ(s["hosts"][0]["per_minute"].back(), 3);
    EXPECT_EQ(s["hosts"][1]["host"], "other.example");
    // Events: newest first; requests, log lines and attachments left alone are not events.
    ASSERT_EQ(s["events"].size(), 8u);
    EXPECT_EQ(s["events"][0]["kind"], "policy");
    EXPECT_EQ(s["events"][1]["kind"], "attachments");
    EXPECT_NE(s["events"][1]["text"].get<std::string>().find("tool.exe"), std::string::npos);
    EXPECT_EQ(s["events"][7]["kind"], "ads_by_link");
    EXPECT_EQ(s["events"][7]["text"], "blocked: idx_ads_by_link /x.gif on http://news.example/page");
}

TEST(zemhost_status_board, per_minute_counts_cover_the_last_hour_only) {
    status_board b;
    b.observe(blocked("idx_popups", "http://a/"), t0);
    b.observe(blocked("idx_popups", "http://a/"), t0 + std::chrono::minutes(1));
    b.observe(blocked("idx_cookies", "http://a/"), t0 + std::chrono::minutes(1));
    json s = b.snapshot(t0 + std::chrono::minutes(1));
    ASSERT_EQ(s["per_minute"].size(), status_board::k_minutes);
    const json& last = s["per_minute"].back();
    EXPECT_EQ(last["popups"], 1);
    EXPECT_EQ(last["cookies"], 1);
    EXPECT_EQ(s["per_minute"][status_board::k_minutes - 2]["popups"], 1);
    EXPECT_EQ(last["start"].get<std::int64_t>() - s["per_minute"][0]["start"].get<std::int64_t>(), 59 * 60);
    // An hour on, the ring slots of minutes 0 and 1 are reused or stale.
    b.observe(blocked("idx_popups", "http://a/"), t0 + std::chrono::minutes(61));
    s = b.snapshot(t0 + std::chrono::minutes(61));
    std::uint64_t popups = 0;
    for (const auto& m : s["per_minute"]) popups += m.value("popups", 0u);
    EXPECT_EQ(popups, 1u);  // the window is minutes 2 to 61
    EXPECT_EQ(s["per_minute"].back()["popups"], 1);
    EXPECT_EQ(s["by_kind"]["popups"], 3);
}

TEST(zemhost_status_board, hosts_and_events_stay_bounded) {
    status_board b;
    for (int k = 0; k < 1500; ++k) b.observe(blocked("idx_ads_by_link", "http://h" + std::to_string(k) + ".example/"));
    const json s = b.snapshot();
    EXPECT_EQ(s["host_count"], status_board::k_hosts + 1);
    EXPECT_EQ(s["hosts"][0]["host"], status_board::k_other_hosts);
    EXPECT_EQ(s["hosts"][0]["blocked"], 500);
    ASSERT_EQ(s["events"].size(), status_board::k_events);
    EXPECT_EQ(s["events"][0]["host"], "h1499.example");
}

TEST(zemhost_status_board, status_server_answers_loopback_names_only) {
    status_board b;
    b.observe(request("a.example"));
    auto reply = [&](const std::string& method, const std::string& target, const std::string& host) {
        return zem_host::status_reply(b, method, target,
                                      method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    };
    std::string r = reply("GET", "/", "127.0.0.1:8119");
    EXPECT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(r.find("Content-Security-Policy: "), std::string::npos);
    EXPECT_EQ(r.substr(r.find("\r\n\r\n") + 4), zem_host::embedded_status_page());

    r = reply("GET", "/status.json?x=1", "localhost:8119");
    ASSERT_EQ(r.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    const json s = json::parse(r.substr(r.find("\r\n\r\n") + 4));
    EXPECT_EQ(s["requests"], 1);

    // A page elsewhere whose name resolves to loopback (DNS rebinding)
    // names its own host.
    EXPECT_EQ(reply("GET", "/status.json", "evil.example:8119").rfind("HTTP/1.1 403", 0), 0u);
    EXPECT_EQ(reply("GET", "/status.json", "127.0.0.1.evil.example").rfind("HTTP/1.1 403", 0), 0u);
    EXPECT_EQ(zem_host::status_reply(b, "GET", "/", "GET / HTTP/1.0\r\n\r\n").rfind("HTTP/1.1 403", 0), 0u);
    EXPECT_EQ(reply("GET", "/", "[::1]:8119").rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(reply("POST", "/", "127.0.0.1").rfind("HTTP/1.1 405", 0), 0u);
    EXPECT_EQ(reply("GET", "/etc/passwd", "127.0.0.1").rfind("HTTP/1.1 404", 0), 0u);
    r = reply("HEAD", "/", "127.0.0.1");
    EXPECT_EQ(r.rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(r.size(), r.find("\r\n\r\n") + 4);
}
