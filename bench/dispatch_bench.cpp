// The dispatcher alone: 16 MB in chunks of 64 bytes and of 16 KB through a
// filter point whose chain holds three filters that pass everything, beside
// memcpy of the same chunks in the same run. What is measured is the cost of
// walking the chain per chunk (the copy into the chunk string, one call per
// filter, the bookkeeping that keeps a provider's call-back safe).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/bunch_filter.h"
#include "null_provider.h"

namespace {

struct pass_filter : i_stream_filter {
    void stop_in(byte_string&) override {}
    bool update_in(byte_string& data) override {
        benchmark::DoNotOptimize(data.data());
        return true;
    }
};

constexpr std::size_t k_total = 16u * 1024 * 1024;

void BM_dispatch_memcpy(benchmark::State& state) {
    const std::string chunk(static_cast<std::size_t>(state.range(0)), 'x');
    std::vector<char> dst(chunk.size());
    for (auto _ : state) {
        for (std::size_t n = 0; n < k_total; n += chunk.size()) {
            std::memcpy(dst.data(), chunk.data(), chunk.size());
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * k_total));
}

void BM_dispatch_three_filters(benchmark::State& state) {
    const std::string chunk(static_cast<std::size_t>(state.range(0)), 'x');
    null_provider p;
    for (auto _ : state) {
        auto* fp = new bunch_filter(&p, 1, [](i_connection_feedback*, filter_chain& chain) {
            for (int k = 0; k < 3; ++k) chain.push_back(std::make_shared<pass_filter>());
        });
        for (std::size_t n = 0; n < k_total; n += chunk.size())
            fp->update_in(chunk.data(), static_cast<int>(chunk.size()));
        fp->release();
    }
    benchmark::DoNotOptimize(p.bytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * k_total));
}

BENCHMARK(BM_dispatch_memcpy)->Arg(64)->Arg(16384)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_dispatch_three_filters)->Arg(64)->Arg(16384)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
