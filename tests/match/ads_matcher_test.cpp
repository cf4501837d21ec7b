#include "match/ads_matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/host_link.h"
#include "kit/gated_host.h"
#include "kit/kit.h"
#include "kit/log_capture.h"
#include "log/log.h"

namespace {

std::atomic<std::uint32_t> g_ticks{0};
std::uint32_t fake_ticks() { return g_ticks.load(); }

std::string cookie(char fill) { return std::string(16, fill); }

class ads_matcher_test : public ::testing::Test {
protected:
    void SetUp() override {
        g_ticks = 100000;
        ads_matcher::reset();
        ads_matcher::set_tick_source(&fake_ticks);
        host.set_reply(zem::codes::general_query_config_cookie, cookie('A'));
        host.set_reply(zem::codes::http_query_ads_block_words,
                       kit::ads_words_reply({"doubleclick", "/ads/*.gif", "banner?x", "advert"}));
        zem_io_commands::set_host_iface(&host);
    }
    void TearDown() override {
        zem_io_commands::set_host_iface(nullptr);
        ads_matcher::set_tick_source(nullptr);
        ads_matcher::reset();
    }
    bool ad(const std::string& url) {
        keyword.clear();
        return ads_matcher::is_ad_link(url, keyword);
    }
    std::size_t cookie_questions() const { return host.command_count(zem::codes::general_query_config_cookie); }
    std::size_t word_loads() const { return host.command_count(zem::codes::http_query_ads_block_words); }
    int lines_ending_with(const std::string& tail) const {
        const std::vector<std::string> lines = log.lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.size() >= tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
        }));
    }

    kit::fake_host host;
    std::string keyword;
    kit::log_capture log{1};
};

}  // namespace

TEST_F(ads_matcher_test, matches_host_words_and_returns_the_keyword) {
    EXPECT_TRUE(ad("http://ad.doubleclick.net/x"));
    EXPECT_EQ(keyword, "doubleclick");
    EXPECT_TRUE(ad("http://example.com/ads/top.gif"));
    EXPECT_EQ(keyword, "/ads/*.gif");
    EXPECT_TRUE(ad("http://example.com/banner1x.png"));
    EXPECT_EQ(keyword, "banner?x");
    EXPECT_FALSE(ad("http://example.com/ads/.gif"));  // the star needs a byte
    EXPECT_FALSE(ad("http://example.com/index.html"));
    EXPECT_EQ(keyword, "");
    EXPECT_FALSE(ad("http://example.com/Advert"));  // case matters
    EXPECT_EQ(word_loads(), 1u);
    EXPECT_EQ(cookie_questions(), 1u);
    for (const auto& c : host.commands()) EXPECT_TRUE(c.guid_ok);
}

TEST_F(ads_matcher_test, cookie_questions_are_paced_to_once_per_second) {
    ad("a");
    EXPECT_EQ(cookie_questions(), 1u);
    EXPECT_EQ(word_loads(), 1u);
    g_ticks += 500;
    ad("b");
    g_ticks += 499;  // 999 ms after the question: still skipped
    ad("c");
    EXPECT_EQ(cookie_questions(), 1u);
    g_ticks += 1;  // 1000 ms
    ad("d");
    EXPECT_EQ(cookie_questions(), 2u);
    ad("e");
    EXPECT_EQ(cookie_questions(), 2u);
    // Same cookie: the words are not fetched again.
    g_ticks += 5000;
    ad("f");
    EXPECT_EQ(cookie_questions(), 3u);
    EXPECT_EQ(word_loads(), 1u);
}

TEST_F(ads_matcher_test, changed_cookie_reloads_the_words) {
    EXPECT_FALSE(ad("http://x/sponsor"));
    host.set_reply(zem::codes::general_query_config_cookie, cookie('B'));
    host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({"sponsor"}));
    g_ticks += 999;
    EXPECT_FALSE(ad("http://x/sponsor"));  // not asked yet
    EXPECT_EQ(word_loads(), 1u);
    g_ticks += 1;
    EXPECT_TRUE(ad("http://x/sponsor"));
    EXPECT_EQ(keyword, "sponsor");
    EXPECT_EQ(word_loads(), 2u);
    EXPECT_FALSE(ad("http://ad.doubleclick.net/"));  // the old list is gone
    // A cookie that differs in its last byte only is a change too.
    std::string last = cookie('B');
    last[15] = 'C';
    host.set_reply(zem::codes::general_query_config_cookie, last);
    host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({"other"}));
    g_ticks += 2000;
    EXPECT_TRUE(ad("the other"));
    EXPECT_EQ(word_loads(), 3u);
}

TEST_F(ads_matcher_test, tick_counter_wrap_around_still_paces) {
    g_ticks = 0xFFFFFF00u;
    ad("a");
    EXPECT_EQ(cookie_questions(), 1u);
    g_ticks = 0x000002E7u;  // 0x100 + 0x2E7 = 999 ms later
    ad("b");
    EXPECT_EQ(cookie_questions(), 1u);
    g_ticks = 0x000002E8u;
    ad("c");
    EXPECT_EQ(cookie_questions(), 2u);
}

TEST_F(ads_matcher_test, failing_cookie_question_keeps_the_loaded_words) {
    EXPECT_TRUE(ad("doubleclick"));
    host.set_reply(zem::codes::general_query_config_cookie, "", -5);
    for (int i = 0; i < 3; ++i) {
        g_ticks += 1500;
        EXPECT_TRUE(ad("doubleclick"));
    }
    EXPECT_EQ(cookie_questions(), 4u);
    EXPECT_EQ(word_loads(), 1u);
    // A short cookie reply is a failure as well.
    host.set_reply(zem::codes::general_query_config_cookie, std::string(15, 'Z'));
    g_ticks += 1500;
    EXPECT_TRUE(ad("doubleclick"));
    EXPECT_EQ(word_loads(), 1u);
}

TEST_F(ads_matcher_test, no_host_or_no_words_means_no_advertisement) {
    zem_io_commands::set_host_iface(nullptr);
    EXPECT_FALSE(ad("http://ad.doubleclick.net/"));
    EXPECT_FALSE(ad("http://ad.doubleclick.net/"));
    // The host arrives; its cookie differs from the zero cookie, so the words
    // are fetched at the next allowed question.
    zem_io_commands::set_host_iface(&host);
    g_ticks += 1000;
    EXPECT_TRUE(ad("http://ad.doubleclick.net/"));
    EXPECT_EQ(word_loads(), 1u);

    // An empty list (and a failing word command) leaves the matcher empty.
    host.set_reply(zem::codes::general_query_config_cookie, cookie('E'));
    host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({}));
    g_ticks += 1000;
    EXPECT_FALSE(ad("http://ad.doubleclick.net/"));
    host.set_reply(zem::codes::general_query_config_cookie, cookie('F'));
    host.set_reply(zem::codes::http_query_ads_block_words, "", -1);
    g_ticks += 1000;
    EXPECT_FALSE(ad("http://ad.doubleclick.net/"));
    EXPECT_EQ(word_loads(), 3u);
}

TEST_F(ads_matcher_test, blocked_line_at_level_two) {
    EXPECT_TRUE(ad("http://ad.doubleclick.net/x"));
    EXPECT_EQ(lines_ending_with("ADVERTISMENT BLOCKED:SRC=\"http://ad.doubleclick.net/x\" by \"doubleclick\"\n"), 0);
    log_space::m_level = 2;
    EXPECT_TRUE(ad("http://ad.doubleclick.net/x"));
    EXPECT_EQ(lines_ending_with("ADVERTISMENT BLOCKED:SRC=\"http://ad.doubleclick.net/x\" by \"doubleclick\"\n"), 1);
    EXPECT_FALSE(ad("http://clean.example/"));
    EXPECT_EQ(lines_ending_with("ADVERTISMENT BLOCKED:SRC=\"http://clean.example/\" by \"\"\n"), 0);

    wide_string wide_url = L"http://x/ads/pic.gif?\u00e9";
    EXPECT_TRUE(ads_matcher::is_ad_link(wide_url, keyword));
    EXPECT_EQ(keyword, "/ads/*.gif");
    EXPECT_EQ(lines_ending_with("ADVERTISMENT BLOCKED:SRC=\"http://x/ads/pic.gif?\xE9\" (unicode html) by "
                                "\"/ads/*.gif\"\n"),
              1);
}

TEST_F(ads_matcher_test, wide_links_are_converted_before_the_search) {
    host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({"werbung"}));
    EXPECT_FALSE(ads_matcher::is_ad_link(wide_string(L"http://x/WERBUNG"), keyword));
    EXPECT_TRUE(ads_matcher::is_ad_link(wide_string(L"http://x/werbung/1"), keyword));
    EXPECT_EQ(keyword, "werbung");
}

TEST_F(ads_matcher_test, concurrent_checks_with_reloads) {
    std::atomic<int> hits{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                std::string kw;
                if (ads_matcher::is_ad_link(std::string("http://ad.doubleclick.net/") + std::to_string(t * 1000 + i),
                                            kw)) {
                    if (kw == "doubleclick") ++hits;
                }
                if (t == 0 && i % 10 == 0) {
                    g_ticks += 1000;
                    host.set_reply(zem::codes::general_query_config_cookie, cookie(static_cast<char>('a' + i % 7)));
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(hits.load(), 1200);
    EXPECT_GT(word_loads(), 1u);
}

// The end of the process while a connection thread is inside a check, held
// up by the host's answer: the check finishes on words that are still
// there, and a question asked after the end began gets the permissive
// answer without reaching the host.
namespace {

struct exit_rig {
    kit::gated_host host;
    std::thread checker;
    bool checker_hit = false;
    std::string checker_keyword;
};
exit_rig* g_rig = nullptr;  // never freed: it must outlast the process's end

void finish_after_the_end_began() {
    g_rig->host.release();
    g_rig->checker.join();
    const std::size_t commands = g_rig->host.command_count();
    std::string keyword;
    const bool late = ads_matcher::is_ad_link(std::string("http://x/sponsor"), keyword);
    const bool ok =
        g_rig->checker_hit && g_rig->checker_keyword == "sponsor" && !late && g_rig->host.command_count() == commands;
    std::_Exit(ok ? 0 : 3);
}

void exit_during_a_check() {
    // Registered before the matcher exists, so it runs after whatever the
    // matcher does at the end of the process.
    std::atexit(finish_after_the_end_began);
    g_rig = new exit_rig;
    g_ticks = 100000;
    ads_matcher::set_tick_source(&fake_ticks);
    g_rig->host.set_reply(zem::codes::general_query_config_cookie, cookie('A'));
    g_rig->host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({"doubleclick", "banner"}));
    zem_io_commands::set_host_iface(&g_rig->host);
    std::string keyword;
    if (!ads_matcher::is_ad_link(std::string("http://x/doubleclick"), keyword)) std::_Exit(4);

    g_rig->host.set_reply(zem::codes::general_query_config_cookie, cookie('B'));
    g_rig->host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({"sponsor", "promo"}));
    g_ticks += 5000;
    g_rig->host.hold(zem::codes::general_query_config_cookie);
    g_rig->checker = std::thread(
        [] { g_rig->checker_hit = ads_matcher::is_ad_link(std::string("http://x/sponsor"), g_rig->checker_keyword); });
    g_rig->host.wait_until_held();
    std::exit(0);
}

}  // namespace

TEST(ads_matcher_lifetime, a_check_under_way_at_exit_finishes_and_later_ones_stay_away_from_the_host) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process
    EXPECT_EXIT(exit_during_a_check(), ::testing::ExitedWithCode(0), "");
}
