// Responses through a filter point carrying the HTTP filter, beside a memcpy
// of the same bytes. A keep-alive connection with a mix of HTML and images,
// chunked and length-delimited, 1 KB to 1 MB; and single bodies of 1 MB and
// 16 MB, whose time per byte must stay the same (linear cost).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/bunch_filter.h"
#include "http/http_stream_filter.h"
#include "kit/codings.h"

namespace {

class counting_provider : public zem::i_provider {
public:
    bool send_out(const char*, int len) override {
        out += static_cast<std::size_t>(len);
        return true;
    }
    bool close_out() override { return true; }
    bool send_in(const char*, int len) override {
        in += static_cast<std::size_t>(len);
        return true;
    }
    bool close_in() override { return true; }
    bool get_connection_info(zem::connection_info*) override { return true; }
    std::size_t out = 0, in = 0;
};

std::string filler(std::size_t n, unsigned seed) {
    static const char* parts[] = {"<div class=\"row\"><a href=\"/item?id=", "\">text</a></div>\n",
                                  "<p>Lorem ipsum dolor sit amet ", "<img src=\"/i.gif\" width=\"88\" height=\"31\">"};
    std::string s;
    s.reserve(n + 64);
    unsigned x = seed | 1;
    while (s.size() < n) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s += parts[x % 4];
    }
    s.resize(n);
    return s;
}

std::string length_response(const std::string& type, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string chunked_response(const std::string& type, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nTransfer-Encoding: chunked\r\n\r\n" +
           kit::chunked(body, 8192);
}

struct conversation {
    std::string requests;
    std::string responses;
};

const conversation& mixed() {
    static const conversation c = [] {
        conversation c;
        const std::size_t sizes[] = {1024, 8 * 1024, 64 * 1024, 300 * 1024, 1024 * 1024};
        for (int i = 0; i < 40; ++i) {
            std::size_t n = sizes[i % 5];
            std::string body = filler(n, static_cast<unsigned>(i) * 2654435761u);
            c.requests += "GET /r" + std::to_string(i) + " HTTP/1.1\r\nHost: bench.example\r\n\r\n";
            switch (i % 4) {
                case 0:
                    c.responses += length_response("text/html", body);
                    break;
                case 1:
                    c.responses += chunked_response("text/html; charset=utf-8", body);
                    break;
                case 2:
                    c.responses += length_response("image/jpeg", body);
                    break;
                default:
                    c.responses += chunked_response("image/png", body);
                    break;
            }
        }
        return c;
    }();
    return c;
}

http_handler_hooks bench_hooks() {
    http_handler_hooks h = default_http_handler_hooks();
    h.qualifier = nullptr;  // everything allowed, no host
    return h;
}

void run(const std::string& requests, const std::string& responses, std::size_t chunk) {
    counting_provider provider;
    bunch_filter point(&provider, 0, [](i_connection_feedback* fb, filter_chain& chain) {
        chain.push_back(std::make_shared<http_stream_filter>(fb, bench_hooks()));
    });
    point.update_out(requests.data(), static_cast<int>(requests.size()));
    for (std::size_t at = 0; at < responses.size(); at += chunk) {
        std::size_t n = std::min(chunk, responses.size() - at);
        point.update_in(responses.data() + at, static_cast<int>(n));
    }
    point.stop_in();
    if (provider.in < responses.size()) throw std::runtime_error("lost bytes");
    benchmark::DoNotOptimize(provider.in);
}

void BM_memcpy_baseline(benchmark::State& state) {
    const std::string& src = mixed().responses;
    std::vector<char> dst(src.size());
    for (auto _ : state) {
        // Copied in the same chunk size the filter point sees, plus the copy
        // the dispatcher makes of each chunk.
        for (std::size_t at = 0; at < src.size(); at += 65536) {
            std::size_t n = std::min<std::size_t>(65536, src.size() - at);
            std::memcpy(dst.data() + at, src.data() + at, n);
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * src.size()));
}
BENCHMARK(BM_memcpy_baseline);

void BM_http_keep_alive_mixed(benchmark::State& state) {
    const conversation& c = mixed();
    for (auto _ : state) run(c.requests, c.responses, static_cast<std::size_t>(state.range(0)));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.responses.size()));
}
BENCHMARK(BM_http_keep_alive_mixed)->Arg(1460)->Arg(65536);

// One body of 1 MB and of 16 MB: bytes per second must not drop with size.
void BM_http_length_html(benchmark::State& state) {
    std::string body = filler(static_cast<std::size_t>(state.range(0)), 7);
    std::string resp = length_response("text/html", body);
    std::string req = "GET / HTTP/1.1\r\nHost: b\r\n\r\n";
    for (auto _ : state) run(req, resp, 65536);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * resp.size()));
}
BENCHMARK(BM_http_length_html)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

void BM_http_chunked_html(benchmark::State& state) {
    std::string body = filler(static_cast<std::size_t>(state.range(0)), 9);
    std::string resp = chunked_response("text/html", body);
    std::string req = "GET / HTTP/1.1\r\nHost: b\r\n\r\n";
    for (auto _ : state) run(req, resp, 65536);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * resp.size()));
}
BENCHMARK(BM_http_chunked_html)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

void BM_http_image_stream(benchmark::State& state) {
    std::string body = filler(static_cast<std::size_t>(state.range(0)), 11);
    std::string resp = length_response("image/jpeg", body);
    std::string req = "GET / HTTP/1.1\r\nHost: b\r\n\r\n";
    for (auto _ : state) run(req, resp, 65536);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * resp.size()));
}
BENCHMARK(BM_http_image_stream)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
