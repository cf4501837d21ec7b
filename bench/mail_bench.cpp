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
#include "zem/external_iface.h"

namespace {

class bench_host : public zem::i_external_iface {
public:
    int invoke_command(const zem::GUID*, int code, zem::mem_slice*, zem::mem_slice* reply) override {
        if (code != zem::codes::mail_check_mail_attach) return -1;
        std::string r(28, '\0');
        r[0] = static_cast<char>(action);
        if (action == 2) {
            const std::string body = "replaced";
            const std::uint32_t off = 28, len = static_cast<std::uint32_t>(body.size());
            std::memcpy(&r[20], &off, 4);
            std::memcpy(&r[24], &len, 4);
            r += body;
        }
        reply->assign(r.data(), static_cast<int>(r.size()));
        return 0;
    }
    bool notify_event(const zem::GUID*, int, zem::mem_slice*) override { return true; }
    int action = 0;
};

struct message {
    std::string text;
    std::string attachment_base64;
};

// 'total' bytes, nine tenths of them a base64 attachment.
message make_message(std::size_t total) {
    std::string raw(total * 9 / 10 / 4 * 3, '\0');
    unsigned x = 2463534242u;
    for (auto& c : raw) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    message m;
    mail::mime_base64_coder().coder(raw, m.attachment_base64);
    m.text =
        "From: a@example.org\r\nTo: b@example.net\r\nSubject: bench\r\n"
        "Content-Type: multipart/mixed; boundary=\"=_bench\"\r\n\r\n--=_bench\r\n"
        "Content-Type: text/plain\r\n\r\n";
    const std::string line = "Some ordinary text of the message, line after line.\r\n";
    while (m.text.size() + m.attachment_base64.size() + 200 < total) m.text += line;
    m.text +=
        "--=_bench\r\nContent-Type: application/octet-stream; name=\"big.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n";
    m.text += m.attachment_base64;
    m.text += "--=_bench--\r\n";
    return m;
}

const message& cached(std::size_t total) {
    static message m1 = make_message(1 << 20), m10 = make_message(10 << 20), m16 = make_message(16 << 20);
    return total == (1u << 20) ? m1 : total == (16u << 20) ? m16 : m10;
}

void run_filter(benchmark::State& state, int action, std::size_t total) {
    const message& m = cached(total);
    bench_host host;
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
