// Replay of a packet capture (reassembly plus a filter point per connection)
// beside reading the same file with libpcap alone.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture_replay.h"
#include "log/log.h"
#include "zem/zem.h"

namespace {

void put16(std::string& s, unsigned v) {
    s += static_cast<char>(v >> 8);
    s += static_cast<char>(v & 0xFF);
}
void put32(std::string& s, std::uint32_t v) {
    put16(s, v >> 16);
    put16(s, v & 0xFFFF);
}
void le32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void frame(std::FILE* f, bool to_server, std::uint16_t cport, std::uint32_t seq, unsigned flags,
           const std::string& payload) {
    std::string p(12, '\x02');
    put16(p, 0x0800);
    const std::size_t ip_len = 40 + payload.size();
    p += "\x45";
    p += '\0';
    put16(p, static_cast<unsigned>(ip_len));
    put32(p, 0x00014000);
    p += "\x40\x06";
    put16(p, 0);
    const std::uint32_t client = 0x0A000001, server = 0x0A000002;
    put32(p, to_server ? client : server);
    put32(p, to_server ? server : client);
    put16(p, to_server ? cport : 80);
    put16(p, to_server ? 80 : cport);
    put32(p, seq);
    put32(p, 0);
    p += static_cast<char>(5 << 4);
    p += static_cast<char>(flags);
    put16(p, 65535);
    put32(p, 0);
    p += payload;
    std::string rec;
    le32(rec, 0);
    le32(rec, 0);
    le32(rec, static_cast<std::uint32_t>(p.size()));
    le32(rec, static_cast<std::uint32_t>(p.size()));
    std::fwrite(rec.data(), 1, rec.size(), f);
    std::fwrite(p.data(), 1, p.size(), f);
}

// About 100 MB: 1000 connections, each a request and a 100 KB plain-text
// response in 1460-byte segments.
const std::string& capture_file() {
    static const std::string path = [] {
        std::string p = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/zem_bench.pcap");
        std::FILE* f = std::fopen(p.c_str(), "wb");
        std::string head;
        le32(head, 0xA1B2C3D4);
        head += std::string("\x02\x00\x04\x00", 4);
        le32(head, 0);
        le32(head, 0);
        le32(head, 65535);
        le32(head, 1);
        std::fwrite(head.data(), 1, head.size(), f);
        const std::string body(100 * 1024, 'x');
        const std::string resp =
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body;
        for (unsigned c = 0; c < 1000; ++c) {
            const std::uint16_t port = static_cast<std::uint16_t>(20000 + c);
            const std::string req = "GET /f" + std::to_string(c) + " HTTP/1.1\r\nHost: h.example\r\n\r\n";
            frame(f, true, port, 100, 0x02, "");
            frame(f, false, port, 500, 0x12, "");
            frame(f, true, port, 101, 0x18, req);
            for (std::size_t off = 0; off < resp.size(); off += 1460)
                frame(f, false, port, static_cast<std::uint32_t>(501 + off), 0x18, resp.substr(off, 1460));
            frame(f, true, port, static_cast<std::uint32_t>(101 + req.size()), 0x11, "");
            frame(f, false, port, static_cast<std::uint32_t>(501 + resp.size()), 0x11, "");
        }
        std::fclose(f);
        return p;
    }();
    return path;
}

std::int64_t file_size() {
    std::FILE* f = std::fopen(capture_file().c_str(), "rb");
    std::fseek(f, 0, SEEK_END);
    const long n = std::ftell(f);
    std::fclose(f);
    return n;
}

void bm_libpcap_read(benchmark::State& state) {
    for (auto _ : state) {
        char err[PCAP_ERRBUF_SIZE];
        pcap_t* p = pcap_open_offline(capture_file().c_str(), err);
        pcap_pkthdr* h;
        const u_char* d;
        std::uint64_t sum = 0;
        while (pcap_next_ex(p, &h, &d) == 1) sum += h->caplen + d[h->caplen - 1];
        benchmark::DoNotOptimize(sum);
        pcap_close(p);
    }
    state.SetBytesProcessed(state.iterations() * file_size());
}

void bm_replay(benchmark::State& state) {
    log_space::m_level = -1;
    for (auto _ : state) {
        zem_host::capture_summary s;
        std::string err;
        zem_host::replay_capture(capture_file(), &create_filt_point, s, err, {});
        if (s.connections != 1000 || s.skipped_bytes) state.SkipWithError("capture not replayed whole");
    }
    state.SetBytesProcessed(state.iterations() * file_size());
}

BENCHMARK(bm_libpcap_read)->Unit(benchmark::kMillisecond);
BENCHMARK(bm_replay)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
