// Packing and unpacking recorded traffic, beside a memcpy of the same bytes:
// many small pieces (per-entry cost) and one large piece (copy cost).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "capture/pieces.h"
#include "log/log.h"

namespace {

capture::piece_list make_pieces(std::size_t count, std::size_t size) {
    capture::piece_list pieces(count);
    for (std::size_t i = 0; i < count; ++i) {
        pieces[i].bytes.assign(size, static_cast<char>('a' + i % 26));
        pieces[i].in = i % 2 == 1;
    }
    return pieces;
}

void set_bytes(benchmark::State& state, std::size_t total) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
}

void pack(benchmark::State& state, std::size_t count, std::size_t size) {
    const auto pieces = make_pieces(count, size);
    std::string out;
    for (auto _ : state) {
        capture::pack_pieces(pieces, out);
        benchmark::DoNotOptimize(out.data());
    }
    set_bytes(state, count * size);
}

void unpack(benchmark::State& state, std::size_t count, std::size_t size) {
    std::string packed;
    capture::pack_pieces(make_pieces(count, size), packed);
    capture::piece_list back;
    for (auto _ : state) {
        if (!capture::unpack_pieces(packed, back)) state.SkipWithError("does not load");
        benchmark::DoNotOptimize(back.data());
    }
    set_bytes(state, count * size);
}

// The floor: copying the same bytes once into a fresh buffer.
void copy(benchmark::State& state, std::size_t count, std::size_t size) {
    const auto pieces = make_pieces(count, size);
    for (auto _ : state) {
        std::string out(count * size, '\0');
        std::size_t at = 0;
        for (const auto& p : pieces) {
            std::memcpy(&out[at], p.bytes.data(), p.bytes.size());
            at += p.bytes.size();
        }
        benchmark::DoNotOptimize(out.data());
    }
    set_bytes(state, count * size);
}

const bool quiet = [] {
    log_space::m_level = -1;
    return true;
}();

BENCHMARK_CAPTURE(pack, small_10000x1k, 10000, 1024)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(unpack, small_10000x1k, 10000, 1024)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(copy, small_10000x1k, 10000, 1024)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(pack, one_64m, 1, 64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(unpack, one_64m, 1, 64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(copy, one_64m, 1, 64 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
