// A message of 1, 10 or 16 MB (nine tenths a base64 attachment named
// big.exe) retrieved over POP3 through the session filter in 64 KB chunks,
// with the host allowing or cutting the attachment, beside the mail filter
// alone on the same message and a memcpy of it: the ratios are what matter.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "host/host_link.h"
#include "mail/mail_filter.h"
#include "mail/mime_coders.h"
#include "mail/protocols/pop3_stream_filter.h"
#include "mail_bench_kit.h"

namespace {

// The message as the mail filter sees it and as the server sends it.
struct message {
    std::string text, wire;
};

message make_message(std::size_t total) {
    message m;
    m.text = bench_kit::make_attachment_message(total, "big.exe",
                                                ".A line of text that starts with a dot and needs stuffing.\r\n")
                 .text;
    mail::mail_dots_coder dots;
    m.wire = m.text;
    dots.encode_piece(m.wire);
    dots.flush_encoder(m.wire);
    m.wire = "+OK message follows\r\n" + m.wire + ".\r\n";
    return m;
}

const message& cached(std::size_t total) {
    static message m1 = make_message(1 << 20), m10 = make_message(10 << 20), m16 = make_message(16 << 20);
    return total == (1u << 20) ? m1 : total == (16u << 20) ? m16 : m10;
}

void run_pop3(benchmark::State& state, int action) {
    const message& m = cached(static_cast<std::size_t>(state.range(0)));
    bench_kit::verdict_host host;
    host.action = action;
    zem_io_commands::set_host_iface(&host);
    stub_connection_feedback fb;
    const std::size_t piece = 64 * 1024;
    std::size_t out_size = 0;
    for (auto _ : state) {
        mail::pop3_stream_filter f(&fb);
        byte_string s = "+OK ready\r\n";
        f.update_in(s);
        for (const char* cmd : {"USER a\r\n", "+OK\r\n", "PASS b\r\n", "+OK\r\n", "RETR 1\r\n"}) {
            byte_string c = cmd;
            cmd[0] == '+' ? f.update_in(c) : f.update_out(c);
        }
        out_size = 0;
        for (std::size_t pos = 0; pos < m.wire.size(); pos += piece) {
            byte_string d = m.wire.substr(pos, piece);
            f.update_in(d);
            out_size += d.size();
        }
        benchmark::DoNotOptimize(out_size);
    }
    zem_io_commands::set_host_iface(nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.wire.size()));
    state.counters["out_bytes"] = static_cast<double>(out_size);
}

void BM_pop3_allowed(benchmark::State& state) { run_pop3(state, 0); }
void BM_pop3_cut(benchmark::State& state) { run_pop3(state, 1); }

void BM_mail_filter_alone(benchmark::State& state) {
    const message& m = cached(static_cast<std::size_t>(state.range(0)));
    bench_kit::verdict_host host;
    zem_io_commands::set_host_iface(&host);
    stub_connection_feedback fb;
    mail::mail_info_summary summary;
    summary.feedback = &fb;
    mail::mail_filter filter(&fb);
    for (auto _ : state) {
        std::size_t out_size = 0;
        for (std::size_t pos = 0; pos < m.text.size(); pos += 64 * 1024) {
            byte_string d = m.text.substr(pos, 64 * 1024);
            unsigned released = 0;
            filter.update(d, &released, &summary);
            out_size += d.size();
        }
        byte_string rest;
        filter.stop(rest);
        benchmark::DoNotOptimize(out_size += rest.size());
    }
    zem_io_commands::set_host_iface(nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.text.size()));
}

void BM_memcpy(benchmark::State& state) {
    const message& m = cached(static_cast<std::size_t>(state.range(0)));
    std::string out(m.wire.size(), '\0');
    for (auto _ : state) {
        std::memcpy(&out[0], m.wire.data(), m.wire.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.wire.size()));
}

}  // namespace

BENCHMARK(BM_pop3_allowed)->Arg(1 << 20)->Arg(10 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_pop3_cut)->Arg(10 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mail_filter_alone)->Arg(10 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_memcpy)->Arg(10 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
