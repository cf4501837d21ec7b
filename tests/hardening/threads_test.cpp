// Many connections with real web traffic on many threads at once, with the
// process-wide parts under contention: the advertisement matcher reloading
// its words while the host's configuration cookie keeps changing, the
// request id counter, a log that writes, and the first use of every
// compiled expression. Every connection must produce exactly what the same
// traffic produces on a quiet engine. Meant to run under ThreadSanitizer
// too (-DZEM_SANITIZE=thread).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "core/configuration.h"
#include "host/permissions.h"
#include "kit/codings.h"
#include "kit/http_invariants.h"
#include "kit/kit.h"
#include "kit/log_capture.h"
#include "log/log.h"
#include "match/ads_matcher.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

std::atomic<std::uint32_t> g_ticks{0};
// Every question for the time finds a second gone: each ad check asks the
// host for its cookie.
std::uint32_t racing_ticks() { return g_ticks.fetch_add(1000) + 1000; }

std::string page(int variant) {
    std::string p =
        "<html><head><title>Page " + std::to_string(variant) + "</title><script>var x = 'text';</script></head><body>";
    for (int k = 0; k < 20; ++k) {
        p += "<p>Paragraph " + std::to_string(k) + " of an ordinary page.</p>";
        if (k % 5 == variant % 5) p += "<a href=\"/go\"><img src=\"/banner/" + std::to_string(k) + ".gif\"></a>";
    }
    return p + "</body></html>";
}

// One connection's traffic: a page (plain or gzip), then a pipelined
// request for a blocked Flash movie.
struct conversation {
    std::string request;
    std::string response;
};

conversation make_conversation(int variant) {
    conversation c;
    const std::string body = page(variant);
    c.request = "GET /page" + std::to_string(variant) + ".html HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    if (variant % 2) {
        const std::string z = kit::gzip(body);
        c.response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\nContent-Length: " +
                     std::to_string(z.size()) + "\r\n\r\n" + z;
    } else {
        c.response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\n\r\n" + body;
    }
    return c;
}

const std::string flash_request = "GET /movie.swf HTTP/1.1\r\nHost: www.example.com\r\n\r\n";

struct result {
    std::string out, in;
};

result run(const conversation& c, std::uint32_t seed) {
    kit::capturing_provider p;
    result r;
    zem::i_filt_point* fp = create_filt_point(&p, seed);
    if (!fp) return r;
    // The first client chunk is whole: it is what tells HTTP apart.
    fp->update_out(c.request.data(), int(c.request.size()));
    for (auto& ch : kit::random_chunks(c.response, seed + 1, 300)) fp->update_in(ch.data(), int(ch.size()));
    fp->update_out(flash_request.data(), int(flash_request.size()));
    fp->stop_in();
    fp->stop_out();
    fp->release();
    r.out = p.out;
    r.in = p.in;
    return r;
}

TEST(hardening_threads, web_traffic_on_many_threads_matches_a_quiet_run) {
    platform::reg_override_isolate(true);
    platform::reg_override_set_u32(config::net_key, "enable_http", 1);
    platform::reg_override_set_u32(config::net_key, "enable_ssl", 0);
    platform::reg_override_set_u32(config::net_key, "enable_mail", 0);
    platform::reg_override_set_u32(config::net_key, "enable_ftp", 0);
    kit::fake_host host;
    host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply({idx_ads_by_link, idx_flash}));
    host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({"banner"}));
    host.set_reply(zem::codes::http_query_ads_block_sizes, std::string(16, '\0'));
    host.set_reply(zem::codes::general_query_config_cookie, std::string(16, 'A'));
    initialize(&host);
    ads_matcher::reset();
    ads_matcher::set_tick_source(&racing_ticks);

    const int variants = 8;
    std::vector<conversation> talks;
    for (int v = 0; v < variants; ++v) talks.push_back(make_conversation(v));

    // What a quiet engine makes of each conversation.
    std::vector<result> expect;
    for (int v = 0; v < variants; ++v) expect.push_back(run(talks[v], 1));
    for (int v = 0; v < variants; ++v) {
        ASSERT_EQ(expect[v].out, talks[v].request) << "the blocked request never reaches the server";
        std::vector<kit::http_message> msgs;
        ASSERT_EQ(kit::parse_responses(expect[v].in, msgs), "");
        ASSERT_EQ(msgs.size(), 2u);
        EXPECT_EQ(msgs[0].body.find("/banner/"), std::string::npos) << msgs[0].body;
        EXPECT_NE(msgs[0].body.find("<p>Paragraph 19 of an ordinary page.</p>"), std::string::npos);
        EXPECT_EQ(kit::header_value(msgs[0], "Content-Encoding"), "");
    }

    // Now with contention: a log that writes, the cookie changing all the
    // time so that the words are reloaded while other threads match.
    auto log = std::make_unique<kit::log_capture>(2);
    ads_matcher::reset();
    host.clear_records();

    std::atomic<bool> done{false};
    std::thread flipper([&] {
        char fill = 'B';
        while (!done) {
            host.set_reply(zem::codes::general_query_config_cookie, std::string(16, fill));
            fill = fill == 'B' ? 'C' : 'B';
            std::this_thread::yield();
        }
    });
    const int threads = 8, per_thread = 24;
    std::atomic<int> wrong{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int k = 0; k < per_thread; ++k) {
                int v = (t + k) % variants;
                result r = run(talks[v], kit::test_seed() + static_cast<std::uint32_t>(t * 1000 + k));
                if (r.out != expect[v].out || r.in != expect[v].in) ++wrong;
            }
        });
    }
    for (auto& th : pool) th.join();
    done = true;
    flipper.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_FALSE(log->lines().empty());
    // The words were reloaded under contention.
    EXPECT_GT(host.command_count(zem::codes::http_query_ads_block_words), 1u);
    // Every request announced once, each with its own id.
    std::set<std::uint64_t> ids;
    auto notes = host.notifications(zem::codes::http_notify_request);
    for (const auto& n : notes) ids.insert(kit::le64(n.data, 28));
    EXPECT_EQ(notes.size(), std::size_t(threads * per_thread * 2));
    EXPECT_EQ(ids.size(), notes.size()) << "request ids must be unique across threads";

    log.reset();
    ads_matcher::set_tick_source(nullptr);
    ads_matcher::reset();
    deinitialize();
    platform::reg_override_clear();
    platform::reg_override_isolate(false);
}

}  // namespace
