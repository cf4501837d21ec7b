// A 10 MB message whose 9 MB base64 attachment the host allows or replaces,
// through the mail filter in 64 KB pieces, beside a plain Base64 decode of
// the same attachment text and a memcpy of the message: the ratios are what
// matter. The 1 / 10 / 16 MB sizes show the cost per byte; the decode
// baseline runs at the same sizes. Figures: docs/mail.md.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "host/host_link.h"
#include "mail/mail_filter.h"
#include "mail/mime_coders.h"
#include "mail_bench_kit.h"

namespace {

using message = bench_kit::attachment_message;

message make_message(std::size_t total) {
    return bench_kit::make_attachment_message(total, "big.bin",
                                              "Some ordinary text of the message, line after line.\r\n");
}

const message& cached(std::size_t total) {
    static message m1 = make_message(1 << 20), m10 = make_message(10 << 20), m16 = make_message(16 << 20);
    return total == (1u << 20) ? m1 : total == (16u << 20) ? m16 : m10;
}

void run_filter(benchmark::State& state, int action, std::size_t total) {
    const message& m = cached(total);
    bench_kit::verdict_host host;
    host.action = action;
    zem_io_commands::set_host_iface(&host);
    stub_connection_feedback fb;
    mail::mail_info_summary summary;
    summary.feedback = &fb;
    mail::mail_filter filter(&fb);
    const std::size_t piece = 64 * 1024;
    std::size_t out_size = 0;
    for (auto _ : state) {
        out_size = 0;
        for (std::size_t pos = 0; pos < m.text.size(); pos += piece) {
            byte_string d = m.text.substr(pos, piece);
            unsigned released = 0;
            filter.update(d, &released, &summary);
            out_size += d.size();
        }
        byte_string rest;
        filter.stop(rest);
        out_size += rest.size();
        benchmark::DoNotOptimize(out_size);
    }
    zem_io_commands::set_host_iface(nullptr);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.text.size()));
    state.counters["out_bytes"] = static_cast<double>(out_size);
}

void BM_mail_allowed(benchmark::State& state) { run_filter(state, 0, static_cast<std::size_t>(state.range(0))); }
void BM_mail_replaced(benchmark::State& state) { run_filter(state, 2, 10 << 20); }

void BM_base64_decode(benchmark::State& state) {
    const message& m = cached(static_cast<std::size_t>(state.range(0)));
    mail::mime_base64_coder coder;
    for (auto _ : state) {
        std::string out;
        coder.decoder(m.attachment_base64, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.attachment_base64.size()));
}

void BM_memcpy(benchmark::State& state) {
    const message& m = cached(10 << 20);
    std::string out(m.text.size(), '\0');
    for (auto _ : state) {
        std::memcpy(&out[0], m.text.data(), m.text.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.text.size()));
}

}  // namespace

BENCHMARK(BM_mail_allowed)->Arg(1 << 20)->Arg(10 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mail_replaced)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_base64_decode)->Arg(1 << 20)->Arg(10 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
