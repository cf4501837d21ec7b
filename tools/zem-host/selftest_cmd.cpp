// zem-host selftest: runs the engine's built-in self-test over its sample
// folders and shows the engine's account of it.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "wire.h"
#include "zem/zem.h"

namespace zem_host {

namespace {

const char* const k_selftest_help =
    "usage: zem-host selftest [DIR] [--quiet]\n"
    "\n"
    "Runs the engine's self-test: two built-in checks, the HTTP filter over the\n"
    "recordings in DIR/test_http and the mail session filters over DIR/test_smtp,\n"
    "DIR/test_pop3 and DIR/test_noise. DIR defaults to ZEM_SELFTEST_DIR, else the\n"
    "folder the samples were installed to. Prints the engine's log lines as they\n"
    "come (not with --quiet). When standard input is a terminal the engine waits\n"
    "for one key at the end.\n"
    "\n"
    "Exit status: 0 when every check passed, 1 when one failed, 2 for bad arguments.\n";

// Prints the engine's log lines and refuses every command, so that the
// filters fall back to their built-in defaults as they do without a host.
class log_printer final : public zem::i_external_iface {
public:
    explicit log_printer(bool quiet) : m_quiet(quiet) {}
    int invoke_command(const zem::GUID*, int, zem::mem_slice*, zem::mem_slice*) override { return 2; }
    bool notify_event(const zem::GUID*, int code, zem::mem_slice* data) override {
        if (m_quiet || code != zem::codes::general_notify_log_line || !data) return true;
        int len = 0;
        const char* p = data->data(&len);
        nlohmann::json fields = nlohmann::json::object();
        if (!decode_notification(code, p, p && len > 0 ? static_cast<std::size_t>(len) : 0, fields).empty())
            return false;
        if (fields.contains("line") && fields["line"].is_string()) {
            std::string line = fields["line"].get<std::string>();
            // The lines end in CR LF as the log file has them.
            line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
            std::fputs(line.c_str(), stdout);
            std::fflush(stdout);
        }
        return true;
    }

private:
    bool m_quiet;
};

}  // namespace

int cmd_selftest(const std::vector<std::string>& args) {
    std::string dir;
    bool quiet = false;
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::fputs(k_selftest_help, stdout);
            return 0;
        } else if (a == "--quiet") {
            quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "zem-host: unknown option %s\n\n%s", a.c_str(), k_selftest_help);
            return 2;
        } else if (dir.empty()) {
            dir = a;
        } else {
            std::fprintf(stderr, "zem-host: one folder at a time\n\n%s", k_selftest_help);
            return 2;
        }
    }
    if (!dir.empty()) ::setenv("ZEM_SELFTEST_DIR", dir.c_str(), 1);
    log_printer printer(quiet);
    initialize(&printer);
    const bool ok = execute_unit_test();
    deinitialize();
    std::printf("self-test %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}

}  // namespace zem_host
