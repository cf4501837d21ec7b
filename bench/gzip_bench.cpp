// gzip-encoded HTML through the body decoder, beside zlib's own inflate of the
// same data and a memcpy of the decoded size: the ratios are what matter.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/configuration.h"
#include "http/content_encoding_gzip.h"
#include "kit/codings.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

std::string make_page(std::size_t n) {
    static const char* parts[] = {"<div class=\"row\"><a href=\"/item?id=",
                                  "\">",
                                  "</a></div>\n",
                                  "<p>Lorem ipsum dolor sit amet, consectetur ",
                                  "adipiscing elit ",
                                  "<img src=\"/img/",
                                  ".gif\" width=\"88\" height=\"31\">",
                                  "<script>var x=",
                                  ";</script>\n"};
    std::string s = "<html><head><title>bench</title></head><body>\n";
    unsigned x = 2463534242u;
    while (s.size() < n) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s += parts[x % 9];
        s += std::to_string(x % 100000);
    }
    s.resize(n);
    return s;
}

struct fixture {
    std::string page, z;
    explicit fixture(std::size_t n) : page(make_page(n)), z(kit::gzip(page)) {}
};

const fixture& data_for(std::size_t n) {
    static const fixture one(std::size_t(1) << 20);
    static const fixture sixteen(std::size_t(16) << 20);
    return n == one.page.size() ? one : sixteen;
}

class pass_target : public i_sub_handler {
public:
    bool update_in(byte_string&) override { return true; }
    void stop(byte_string&) override {}
};

// The decoder as the HTTP filter drives it: network-sized pieces, pulling any
// output held back by the per-call bound.
void bm_decoder(benchmark::State& state) {
    const fixture& f = data_for(static_cast<std::size_t>(state.range(0)));
    const std::size_t piece = 64 * 1024;
    auto target = std::make_shared<pass_target>();
    for (auto _ : state) {
        content_encoding_gzip d(false, target);
        std::size_t total = 0;
        for (std::size_t at = 0; at < f.z.size(); at += piece) {
            std::string p = f.z.substr(at, piece);
            d.update_in(p);
            total += p.size();
            while (d.has_pending_output()) {
                std::string more;
                d.update_in(more);
                total += more.size();
            }
        }
        std::string tail;
        d.stop(tail);
        total += tail.size();
        if (total != f.page.size()) state.SkipWithError("decoded size differs");
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.page.size()));
    state.counters["ratio"] = static_cast<double>(f.page.size()) / static_cast<double>(f.z.size());
}

// zlib alone: one inflate call into a buffer of the right size.
void bm_zlib_inflate(benchmark::State& state) {
    const fixture& f = data_for(static_cast<std::size_t>(state.range(0)));
    std::string out(f.page.size(), '\0');
    for (auto _ : state) {
        z_stream s{};
        inflateInit2(&s, 31);
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(f.z.data()));
        s.avail_in = static_cast<uInt>(f.z.size());
        s.next_out = reinterpret_cast<Bytef*>(&out[0]);
        s.avail_out = static_cast<uInt>(out.size());
        int rc = inflate(&s, Z_FINISH);
        inflateEnd(&s);
        if (rc != Z_STREAM_END) state.SkipWithError("inflate failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.page.size()));
}

class counting_provider : public zem::i_provider {
public:
    bool send_out(const char*, int) override { return true; }
    bool close_out() override { return true; }
    bool send_in(const char*, int len) override {
        in_bytes += static_cast<std::size_t>(len);
        return true;
    }
    bool close_in() override { return true; }
    bool get_connection_info(zem::connection_info*) override { return false; }
    std::size_t in_bytes = 0;
};

// A whole gzip-encoded HTML response through a filter point (HTTP filter only),
// in 64 KB network chunks.
void bm_filter_point(benchmark::State& state) {
    const fixture& f = data_for(static_cast<std::size_t>(state.range(0)));
    platform::reg_override_isolate(true);
    platform::reg_override_set_u32(config::net_key, "enable_http", 1);
    platform::reg_override_set_u32(config::net_key, "enable_ssl", 0);
    const std::string request = "GET /index.html HTTP/1.1\r\nHost: bench.example\r\n\r\n";
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n"
        "Content-Length: " +
        std::to_string(f.z.size()) + "\r\n\r\n" + f.z;
    const std::size_t chunk = 64 * 1024;
    for (auto _ : state) {
        counting_provider p;
        zem::i_filt_point* fp = create_filt_point(&p, 0);
        fp->update_out(request.data(), static_cast<int>(request.size()));
        for (std::size_t at = 0; at < response.size(); at += chunk) {
            std::size_t n = std::min(chunk, response.size() - at);
            fp->update_in(response.data() + at, static_cast<int>(n));
        }
        fp->stop_in();
        fp->release();
        if (p.in_bytes < f.page.size()) state.SkipWithError("response incomplete");
        benchmark::DoNotOptimize(p.in_bytes);
    }
    platform::reg_override_clear();
    platform::reg_override_isolate(false);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.page.size()));
}

void bm_memcpy(benchmark::State& state) {
    const fixture& f = data_for(static_cast<std::size_t>(state.range(0)));
    std::string out(f.page.size(), '\0');
    for (auto _ : state) {
        std::memcpy(&out[0], f.page.data(), f.page.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.page.size()));
}

}  // namespace

BENCHMARK(bm_memcpy)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_zlib_inflate)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_decoder)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_filter_point)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
