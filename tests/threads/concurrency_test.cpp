// Many filter points driven from many threads at once, and one filter point
// driven from two threads: the per-point lock and the process-wide parts
// (log, registry reads, host channel) must hold. Run under ThreadSanitizer
// with -DZEM_SANITIZE=thread.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/host_link.h"
#include "kit/gated_host.h"
#include "kit/kit.h"
#include "kit/log_capture.h"
#include "log/log.h"
#include "match/ads_matcher.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

std::string random_bytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xff);
    // Keep it out of every protocol a filter could claim: no printable start.
    if (!s.empty()) s[0] = '\x01';
    return s;
}

TEST(concurrency, many_filter_points_on_many_threads) {
    kit::fake_host host;
    initialize(&host);
    auto log = std::make_unique<kit::log_capture>(1);

    const int threads = 8;
    const int connections_per_thread = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::mt19937 rng(kit::test_seed() + static_cast<unsigned>(t));
            for (int c = 0; c < connections_per_thread; ++c) {
                kit::capturing_provider p;
                zem::i_filt_point* fp = create_filt_point(&p, t * 1000 + c);
                if (!fp) {
                    ++failures;
                    continue;
                }
                std::string out = random_bytes(rng, 2000), in = random_bytes(rng, 3000);
                for (auto& ch : kit::random_chunks(out, rng(), 100)) fp->update_out(ch.data(), int(ch.size()));
                for (auto& ch : kit::random_chunks(in, rng(), 100)) fp->update_in(ch.data(), int(ch.size()));
                ZEM_LOG(0, "connection " << c << " of thread " << t << " done\n");
                fp->stop_out();
                fp->stop_in();
                fp->release();
                if (p.out != out || p.in != in) ++failures;
            }
        });
    }
    for (auto& th : pool) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(log->count(" done\n"), threads * connections_per_thread);
    log.reset();
    deinitialize();
}

TEST(concurrency, one_filter_point_from_two_threads_keeps_each_direction_in_order) {
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, 1);
    ASSERT_NE(fp, nullptr);
    std::mt19937 rng(kit::test_seed());
    const std::string out = random_bytes(rng, 50000), in = random_bytes(rng, 50000);
    auto out_chunks = kit::random_chunks(out, 1, 37), in_chunks = kit::random_chunks(in, 2, 41);
    std::thread a([&] {
        for (auto& c : out_chunks) fp->update_out(c.data(), int(c.size()));
    });
    std::thread b([&] {
        for (auto& c : in_chunks) fp->update_in(c.data(), int(c.size()));
    });
    a.join();
    b.join();
    fp->release();
    EXPECT_EQ(p.out, out);
    EXPECT_EQ(p.in, in);
}

TEST(concurrency, initialize_and_deinitialize_while_traffic_flows) {
    kit::fake_host host;
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        while (!stop) {
            initialize(&host);
            deinitialize();
        }
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                kit::capturing_provider p;
                zem::i_filt_point* fp = create_filt_point(&p, i);
                fp->update_out("\x01\x02", 2);
                fp->release();
                if (p.out != "\x01\x02") ++wrong;
            }
        });
    }
    for (auto& w : workers) w.join();
    stop = true;
    flipper.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

// What a host that answers slowly holds up. A connection waits for its own
// answers under its own lock; the advertisement matcher waits for the words
// under the matcher's lock, so only link questions queue behind it. Traffic
// of other connections that needs neither answer goes on meanwhile.
namespace {

std::string page_response(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

struct exchange_on_thread {
    kit::capturing_provider provider;
    zem::i_filt_point* fp = nullptr;
    std::thread thread;
    void start(const std::string& request, const std::string& response) {
        fp = create_filt_point(&provider, 1);
        thread = std::thread([this, request, response] {
            fp->update_out(request.data(), static_cast<int>(request.size()));
            fp->update_in(response.data(), static_cast<int>(response.size()));
        });
    }
    void finish() {
        thread.join();
        fp->release();
    }
};

std::string run_exchange(const std::string& request, const std::string& response) {
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, 2);
    fp->update_out(request.data(), static_cast<int>(request.size()));
    fp->update_in(response.data(), static_cast<int>(response.size()));
    fp->release();
    return p.out + "|" + p.in;
}

struct slow_host_rig {
    kit::gated_host host;
    slow_host_rig() {
        platform::reg_override_clear();
        platform::reg_override_isolate(true);
        ads_matcher::reset();
        host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply({15 /* idx_ads_by_link */}));
        host.set_reply(zem::codes::general_query_config_cookie, std::string(16, 'c'));
        host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({"/ads/"}, 0));
        host.set_reply(zem::codes::http_query_transparent_gif, kit::le64_bytes(16) + kit::le64_bytes(1) + "t" + '\0');
        initialize(&host);
    }
    ~slow_host_rig() {
        host.release();
        deinitialize();
        ads_matcher::reset();
        platform::reg_override_isolate(false);
    }
};

const std::string k_other_request = "GET /p HTTP/1.1\r\nHost: other.test\r\n\r\n";
const std::string k_plain_page = "<html><body><p>no images here</p></body></html>";

}  // namespace

TEST(slow_host, a_connection_waiting_for_its_permissions_holds_up_no_other_connection) {
    slow_host_rig rig;
    const std::string slow_host = kit::utf16le("slow.test");
    rig.host.hold(zem::codes::general_query_permission_array,
                  [&](const std::string& request) { return request.find(slow_host) != std::string::npos; });
    exchange_on_thread slow;
    slow.start("GET / HTTP/1.1\r\nHost: slow.test\r\n\r\n", page_response(k_plain_page));
    rig.host.wait_until_held();
    EXPECT_EQ(run_exchange(k_other_request, page_response(k_plain_page)),
              k_other_request + "|" + page_response(k_plain_page));
    EXPECT_EQ(slow.provider.out, "");  // still waiting
    rig.host.release();
    slow.finish();
    EXPECT_EQ(slow.provider.in, page_response(k_plain_page));
}

TEST(slow_host, a_word_list_on_the_way_holds_up_link_questions_only_not_pages_without_links) {
    slow_host_rig rig;
    rig.host.hold(zem::codes::http_query_ads_block_words);
    const std::string ad_page = "<p><img src=\"http://x.test/ads/1.gif\"></p>";
    exchange_on_thread asking;
    asking.start("GET / HTTP/1.1\r\nHost: a.test\r\n\r\n", page_response(ad_page));
    rig.host.wait_until_held();
    EXPECT_EQ(run_exchange(k_other_request, page_response(k_plain_page)),
              k_other_request + "|" + page_response(k_plain_page));
    EXPECT_EQ(asking.provider.in, "");  // the page waits for the word list
    rig.host.release();
    asking.finish();
    EXPECT_NE(asking.provider.in.find("<img src=\"file://t\" >"), std::string::npos) << asking.provider.in;
}
