// Many filter points driven from many threads at once, and one filter point
// driven from two threads: the per-point lock and the process-wide parts
// (log, registry reads, host channel) must hold. Run under ThreadSanitizer
// with -DZEM_SANITIZE=thread.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "host/host_link.h"
#include "kit/kit.h"
#include "log/log.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

struct null_stream : log_space::ibase_log_stream {
    std::atomic<long>* count;
    explicit null_stream(std::atomic<long>* c) : count(c) {}
    bool write(const char*, int, const char*) override {
        count->fetch_add(1, std::memory_order_relaxed);
        return true;
    }
};

std::string random_bytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xff);
    // Keep it out of every protocol a filter could claim: no printable start.
    if (!s.empty()) s[0] = '\x01';
    return s;
}

TEST(Concurrency, ManyFilterPointsOnManyThreads) {
    kit::fake_host host;
    initialize(&host);
    std::atomic<long> lines{0};
    auto stream = std::make_unique<null_stream>(&lines);
    auto* raw = stream.get();
    log_space::install_stream(std::move(stream));

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
    EXPECT_GE(lines.load(), threads * connections_per_thread);
    log_space::remove_stream(raw);
    deinitialize();
}

TEST(Concurrency, OneFilterPointFromTwoThreadsKeepsEachDirectionInOrder) {
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

TEST(Concurrency, InitializeAndDeinitializeWhileTrafficFlows) {
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
