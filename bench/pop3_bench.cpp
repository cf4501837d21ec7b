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
#include "zem/external_iface.h"

namespace {

class bench_host : public zem::i_external_iface {
public:
    int invoke_command(const zem::GUID*, int code, zem::mem_slice*, zem::mem_slice* reply) override {
        if (code != zem::codes::mail_check_mail_attach) return -1;
        std::string r(28, '\0');
        r[0] = static_cast<char>(action);
        reply->assign(r.data(), static_cast<int>(r.size()));
        return 0;
    }
    bool notify_event(const zem::GUID*, int, zem::mem_slice*) override { return true; }
    int action = 0;
};

// The message as the mail filter sees it and as the server sends it.
struct message {
    std::string text, wire;
};

message make_message(std::size_t total) {
    std::string raw(total * 9 / 10 / 4 * 3, '\0');
    unsigned x = 2463534242u;
    for (auto& c : raw) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    std::string b64;
    mail::mime_base64_coder().coder(raw, b64);
    message m;
    m.text =
        "From: a@example.org\r\nTo: b@example.net\r\nSubject: bench\r\n"
        "Content-Type: multipart/mixed; boundary=\"=_bench\"\r\n\r\n--=_bench\r\n"
        "Content-Type: text/plain\r\n\r\n";
    const std::string line = ".A line of text that starts with a dot and needs stuffing.\r\n";
    while (m.text.size() + b64.size() + 200 < total) m.text += line;
    m.text +=
        "--=_bench\r\nContent-Type: application/octet-stream; name=\"big.exe\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\n" +
        b64 + "--=_bench--\r\n";
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
    bench_host host;
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
    bench_host host;
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
