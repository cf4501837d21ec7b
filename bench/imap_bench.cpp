// A message with a base64 attachment fetched whole over IMAP: the server
// side of the session through the IMAP filter in 64 KB pieces (attachment
// allowed, and cut), beside the mail filter alone on the same message and a
// memcpy of it. 1 / 4 / 10 / 16 MB show whether the cost per byte stays
// the same. Figures: docs/mail_sessions.md.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>

#include "host/host_link.h"
#include "mail/mail_filter.h"
#include "mail/protocols/imap_stream_filter.h"
#include "mail_bench_kit.h"

namespace {

std::string make_message(std::size_t total) {
    return bench_kit::make_attachment_message(total, "big.exe",
                                              "Some ordinary text of the message, line after line.\r\n")
        .text;
}

// Made once per size; benchmarks run one after the other.
const std::string& message_of(std::size_t total) {
    static std::map<std::size_t, std::string> made;
    auto it = made.find(total);
    if (it == made.end()) it = made.emplace(total, make_message(total)).first;
    return it->second;
}

void run_imap(benchmark::State& state, int action) {
    const std::string& m = message_of(static_cast<std::size_t>(state.range(0)));
    const std::string session = "* OK ready\r\n* 1 FETCH (BODY[] {" + std::to_string(m.size()) + "}\r\n" + m +
                                ")\r\nf1 OK Fetch completed.\r\n";
    bench_kit::verdict_host host;
    host.action = action;
    zem_io_commands::set_host_iface(&host);
    stub_connection_feedback fb;
    const std::size_t piece = 64 * 1024;
    std::size_t out_size = 0;
    for (auto _ : state) {
        imap_stream_filter f(&fb);
        byte_string cmd = "f1 FETCH 1 BODY[]\r\n";
        out_size = 0;
        for (std::size_t pos = 0; pos < session.size(); pos += piece) {
            byte_string d = session.substr(pos, piece);
            f.update_in(d);
            if (pos == 0) f.update_out(cmd);
            out_size += d.size();
        }
        byte_string rest;
        f.stop_in(rest);
        out_size += rest.size();
        benchmark::DoNotOptimize(out_size);
    }
    zem_io_commands::set_host_iface(nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * session.size()));
    state.counters["out_bytes"] = static_cast<double>(out_size);
}

void BM_imap_allowed(benchmark::State& state) { run_imap(state, 0); }
void BM_imap_cut(benchmark::State& state) { run_imap(state, 1); }

void BM_mail_filter_alone(benchmark::State& state) {
    const std::string& m = message_of(static_cast<std::size_t>(state.range(0)));
    bench_kit::verdict_host host;
    zem_io_commands::set_host_iface(&host);
    stub_connection_feedback fb;
    for (auto _ : state) {
        mail::mail_filter filter(&fb);  // fresh, as for the IMAP filter
        mail::mail_info_summary summary;
        summary.feedback = &fb;
        byte_string d = m;
        unsigned released = 0;
        filter.update(d, &released, &summary);
        byte_string rest;
        filter.stop(rest);
        benchmark::DoNotOptimize(d.data());
    }
    zem_io_commands::set_host_iface(nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.size()));
}

void BM_memcpy(benchmark::State& state) {
    const std::string& m = message_of(static_cast<std::size_t>(state.range(0)));
    std::string out(m.size(), '\0');
    for (auto _ : state) {
        std::memcpy(&out[0], m.data(), m.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.size()));
}

}  // namespace

#define ZEM_SIZES Arg(1 << 20)->Arg(4 << 20)->Arg(10 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_imap_allowed)->ZEM_SIZES;
BENCHMARK(BM_imap_cut)->ZEM_SIZES;
BENCHMARK(BM_mail_filter_alone)->ZEM_SIZES;
BENCHMARK(BM_memcpy)->ZEM_SIZES;
BENCHMARK_MAIN();
