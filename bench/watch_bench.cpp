// The two watch-only filters through a filter point, beside memcpy of the
// same bytes in the same run: a TLS session whose 10 MB of application data
// follow the handshake (the filter has stepped aside by then, so the cost
// should be that of a connection no filter follows), and an FTP control
// session of 10 000 commands and their replies.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/bunch_filter.h"
#include "core/configuration.h"
#include "ftp/ftp_stream_filter.h"
#include "null_provider.h"
#include "platform/registry.h"
#include "ssl/ssl_stream_filter.h"
#include "zem/zem.h"

namespace {

std::string u16(std::size_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string u24(std::size_t v) { return static_cast<char>(v >> 16) + u16(v & 0xFFFF); }
std::string record(char type, const std::string& body) {
    return type + std::string("\x03\x03") + u16(body.size()) + body;
}
std::string message(char type, const std::string& body) { return type + u24(body.size()) + body; }

struct chunk {
    bool out;
    std::string bytes;
};

// Client hello, server flight with a certificate chain, then 10 MB of
// application data from the server in records of 16 KB.
const std::vector<chunk>& tls_session() {
    static const std::vector<chunk> s = [] {
        const std::string name = "bench.example";
        const std::string sni = u16(name.size() + 3) + std::string(1, '\0') + u16(name.size()) + name;
        const std::string ext = u16(0) + u16(sni.size()) + sni;
        const std::string hello = message(1, "\x03\x03" + std::string(32, 'r') + std::string(1, '\0') + u16(2) +
                                                 "\x13\x01" + std::string("\x01\x00", 2) + u16(ext.size()) + ext);
        std::string list;
        for (int k = 0; k < 3; ++k) list += u24(1200) + std::string(1200, static_cast<char>('A' + k));
        std::vector<chunk> v;
        v.push_back({true, record(22, hello)});
        v.push_back(
            {false, record(22, message(2, std::string(38, 's'))) + record(22, message(11, u24(list.size()) + list))});
        const std::string app = record(23, std::string(16384, 'x'));
        for (std::size_t n = 0; n < 10u * 1024 * 1024; n += 16384) v.push_back({false, app});
        return v;
    }();
    return s;
}

// 10 000 commands, each answered; every hundredth a PASV with its 227.
const std::vector<chunk>& ftp_session() {
    static const std::vector<chunk> s = [] {
        std::vector<chunk> v;
        v.push_back({false, "220 bench server ready\r\n"});
        for (int k = 0; k < 10000; ++k) {
            if (k % 100 == 0) {
                v.push_back({true, "PASV\r\n"});
                v.push_back({false, "227 Entering Passive Mode (10,0,0,5,19,137).\r\n"});
            } else {
                v.push_back({true, "SIZE /pub/file" + std::to_string(k) + ".bin\r\n"});
                v.push_back({false, "213 " + std::to_string(k * 1000) + "\r\n"});
            }
        }
        return v;
    }();
    return s;
}

std::size_t total(const std::vector<chunk>& s) {
    std::size_t n = 0;
    for (const auto& c : s) n += c.bytes.size();
    return n;
}

void isolate() {
    platform::reg_override_isolate(true);
    platform::reg_override_set_string(config::net_key, ssl_stream_filter::folder_value, "/nonexistent/zem-bench");
}

template <class Make>
void through_filter_point(benchmark::State& state, const std::vector<chunk>& session, Make make) {
    isolate();
    null_provider p;
    for (auto _ : state) {
        auto* fp = new bunch_filter(&p, 1, [&](i_connection_feedback* fb, filter_chain& chain) { make(fb, chain); });
        for (const auto& c : session) {
            if (c.out)
                fp->update_out(c.bytes.data(), static_cast<int>(c.bytes.size()));
            else
                fp->update_in(c.bytes.data(), static_cast<int>(c.bytes.size()));
        }
        fp->release();
    }
    benchmark::DoNotOptimize(p.bytes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total(session)));
}

void memcpy_of(benchmark::State& state, const std::vector<chunk>& session) {
    std::vector<char> dst(65536);
    for (auto _ : state) {
        for (const auto& c : session) {
            std::memcpy(dst.data(), c.bytes.data(), c.bytes.size());
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total(session)));
}

void BM_tls_memcpy(benchmark::State& state) { memcpy_of(state, tls_session()); }
void BM_tls_no_filter(benchmark::State& state) {
    through_filter_point(state, tls_session(), [](i_connection_feedback*, filter_chain&) {});
}
void BM_tls_filter(benchmark::State& state) {
    through_filter_point(state, tls_session(), [](i_connection_feedback*, filter_chain& chain) {
        chain.push_back(std::make_shared<ssl_stream_filter>());
    });
}
void BM_ftp_memcpy(benchmark::State& state) { memcpy_of(state, ftp_session()); }
void BM_ftp_no_filter(benchmark::State& state) {
    through_filter_point(state, ftp_session(), [](i_connection_feedback*, filter_chain&) {});
}
void BM_ftp_filter(benchmark::State& state) {
    through_filter_point(state, ftp_session(), [](i_connection_feedback* fb, filter_chain& chain) {
        chain.push_back(std::make_shared<ftp_stream_filter>(fb));
    });
}

BENCHMARK(BM_tls_memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_tls_no_filter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_tls_filter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ftp_memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ftp_no_filter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ftp_filter)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
