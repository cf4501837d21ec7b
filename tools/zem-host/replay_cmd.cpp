// zem-host replay: runs recorded traffic through the engine offline and says
// what the policy would have done to it.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture_replay.h"
#include "diag.h"
#include "event_log.h"
#include "host_channel.h"
#include "policy.h"
#include "zem/zem.h"

namespace zem_host {

namespace {

const char* const k_replay_help =
    "usage: zem-host replay PATH [--policy FILE] [--events FILE] [--registry FILE]\n"
    "\n"
    "PATH is a packet capture (pcap or pcapng), a packed dump (.dump_bi, as recorded by\n"
    "'proxy --dumps') or a folder of dumps. Every TCP connection of a capture is\n"
    "reassembled; each connection goes through a filter point of its own. Prints what\n"
    "the policy blocked and a summary.\n"
    "\n"
    "  --policy FILE    policy file (JSON). Default: the policy embedded in the program\n"
    "  --events FILE    append one JSON line per command and notification ('-' = stdout)\n"
    "  --registry FILE  engine configuration in .reg syntax (sets ZEM_REGISTRY)\n"
    "\n"
    "Shows a progress bar when standard error is a terminal. Exit status: 0 when the\n"
    "capture was read (damaged records are reported and skipped), 1 when it cannot be\n"
    "opened, 2 for bad arguments or an invalid policy.\n";

int usage(const std::string& msg) {
    std::fprintf(stderr, "zem-host: %s\n\n%s", msg.c_str(), k_replay_help);
    return 2;
}

}  // namespace

int cmd_replay(const std::vector<std::string>& args) {
    std::string path, policy_file, events, registry;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& a = args[k];
        auto value = [&](std::string& out) {
            if (k + 1 >= args.size()) return false;
            out = args[++k];
            return true;
        };
        if (a == "--help" || a == "-h") {
            std::fputs(k_replay_help, stdout);
            return 0;
        } else if (a == "--policy") {
            if (!value(policy_file)) return usage("--policy needs a file");
        } else if (a == "--events") {
            if (!value(events)) return usage("--events needs a file or -");
        } else if (a == "--registry") {
            if (!value(registry)) return usage("--registry needs a file");
        } else if (!a.empty() && a[0] == '-') {
            return usage("unknown option " + a);
        } else if (path.empty()) {
            path = a;
        } else {
            return usage("one capture at a time");
        }
    }
    if (path.empty()) return usage("a capture file is required");
    if (!registry.empty()) ::setenv("ZEM_REGISTRY", registry.c_str(), 1);

    policy_store store;
    std::string err;
    if (!(policy_file.empty() ? store.load_text(embedded_default_policy(), err) : store.load_file(policy_file, err))) {
        diag(diag_level::err, "invalid policy: %s", err.c_str());
        return 2;
    }
    event_log log;
    if (!events.empty() && !log.open(events, err)) {
        diag(diag_level::err, "%s", err.c_str());
        return 1;
    }
    host_channel channel(store, &log);
    std::vector<std::string> blocked;
    channel.on_blocked([&blocked](const nlohmann::json& e) {
        std::string what = e.value("event", std::string());
        for (const char* k : {"index_name", "object", "keyword", "stop_word", "address"})
            if (e.contains(k) && e[k].is_string() && !e[k].get<std::string>().empty())
                what += std::string(" ") + k + "=" + e[k].get<std::string>();
        for (char& c : what)
            if (c == '\r' || c == '\n') c = ' ';
        blocked.push_back(what);
    });

    const bool tty = ::isatty(2) == 1;
    int shown = -1;
    auto progress = [&](double f) {
        const int pct = static_cast<int>(f * 100);
        if (pct == shown) return;
        shown = pct;
        const int width = 40, full = pct * width / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(static_cast<std::size_t>(full), '#').c_str(),
                     std::string(static_cast<std::size_t>(width - full), ' ').c_str(), pct);
        if (pct >= 100) std::fputc('\n', stderr);
    };

    initialize(&channel);
    capture_summary s;
    struct stat st {};
    const bool dumps = (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ||
                       (path.size() > 8 && path.compare(path.size() - 8, 8, ".dump_bi") == 0);
    const bool ok = dumps ? replay_dumps(path, &create_filt_point, s, err)
                          : replay_capture(path, &create_filt_point, s, err,
                                           tty ? std::function<void(double)>(progress) : std::function<void(double)>());
    deinitialize();
    if (!ok) {
        diag(diag_level::err, "cannot read %s: %s", path.c_str(), err.c_str());
        return 1;
    }
    if (!s.first_bad.empty())
        diag(diag_level::warning, "damaged input, first bad %s (%llu bad in all)", s.first_bad.c_str(),
             static_cast<unsigned long long>(s.bad_records));
    for (const auto& b : blocked) std::printf("blocked: %s\n", b.c_str());
    std::printf(
        "packets %llu, tcp segments %llu, connections %llu, bytes out %llu, bytes in %llu, "
        "connections changed %llu, bytes lost in gaps %llu, blocked %zu\n",
        static_cast<unsigned long long>(s.packets), static_cast<unsigned long long>(s.tcp_segments),
        static_cast<unsigned long long>(s.connections), static_cast<unsigned long long>(s.bytes_out),
        static_cast<unsigned long long>(s.bytes_in), static_cast<unsigned long long>(s.bytes_changed),
        static_cast<unsigned long long>(s.skipped_bytes), blocked.size());
    nlohmann::json rec = {
        {"replay", path}, {"connections", s.connections}, {"blocked", blocked.size()}, {"bad_records", s.bad_records}};
    log.write(rec);
    log.close();
    return 0;
}

}  // namespace zem_host
