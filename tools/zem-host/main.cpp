// zem-host: runs the filtering engine in front of real TCP connections.
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture_replay.h"
#include "demo_mail.h"
#include "demo_site.h"
#include "diag.h"
#include "event_log.h"
#include "host_channel.h"
#include "policy.h"
#include "proxy.h"
#include "status_board.h"
#include "tls_inspect.h"
#include "zem/zem.h"

namespace zem_host {
int cmd_replay(const std::vector<std::string>& args);
int cmd_selftest(const std::vector<std::string>& args);
}  // namespace zem_host

namespace {

using namespace zem_host;

const char* const k_main_help =
    "usage: zem-host COMMAND [OPTIONS]\n"
    "\n"
    "Runs the content-filtering engine in front of TCP connections.\n"
    "\n"
    "commands:\n"
    "  proxy         relay connections through the filter (port forwarding, transparent, or a\n"
    "                browser's proxy)\n"
    "  demo          serve a demo site on loopback with the filter in front of it\n"
    "  check-policy  validate a policy file and print what it means\n"
    "  ca init       make the local certificate authority for HTTPS inspection\n"
    "  replay        run the TCP connections of a packet capture through the filter\n"
    "  selftest      run the engine's self-test over its sample folders\n"
    "\n"
    "Run 'zem-host COMMAND --help' for the options of a command.\n";

const char* const k_proxy_help =
    "usage: zem-host proxy --listen ADDR:PORT (--upstream HOST:PORT | --transparent | --forward-proxy)\n"
    "                      [--allow CIDR]... [--connect-ports LIST] [--policy FILE] [--events FILE] [--registry FILE] "
    "[--threads N]\n"
    "                      [--mark N] [--grace SECONDS] [--firewall-program FILE] [--dumps DIR] [--status ADDR:PORT]\n"
    "                      [--max-connections N] [--cert-folder DIR] [--upstream-buffer N]\n"
    "                      [--inspect-tls [--ca-dir DIR] [--upstream-ca FILE]\n"
    "                       [--inspect-hosts LIST | --no-inspect LIST] [--inspect-ports LIST]]\n"
    "\n"
    "  --listen ADDR:PORT    address to accept connections on (port 0 picks a free one)\n"
    "  --upstream HOST:PORT  relay every connection to this address\n"
    "  --transparent         relay each connection to its original destination (connections\n"
    "                        redirected here by an nftables/iptables REDIRECT rule)\n"
    "  --forward-proxy       be a browser's HTTP proxy: absolute-form requests go to the origin\n"
    "                        each names, CONNECT opens a tunnel\n"
    "  --allow CIDR          also accept clients from this network (default: loopback only)\n"
    "  --connect-ports LIST  ports CONNECT may reach, comma-separated (default: the\n"
    "                        policy's \"connect_ports\", else 443)\n"
    "  --policy FILE         policy file (JSON); reloaded when it changes. Default: the\n"
    "                        policy embedded in the program\n"
    "  --events FILE         append one JSON line per command and notification ('-' = stdout)\n"
    "  --registry FILE       engine configuration in .reg syntax (sets ZEM_REGISTRY)\n"
    "  --threads N           worker threads (default: number of processors)\n"
    "  --mark N              set this firewall mark on outgoing connections\n"
    "  --grace SECONDS       on SIGINT/SIGTERM, how long open connections may finish (default 5)\n"
    "  --firewall-program FILE  run FILE ADDRESS PORT for every FTP data connection the engine\n"
    "                        announces; exit status 0 allows it (default: allow and record)\n"
    "  --dumps DIR           record every connection before and after filtering into DIR\n"
    "                        (readable .dump files and packed .dump_bi files for replay)\n"
    "  --cert-folder DIR     let the engine's TLS watcher record each server's name and\n"
    "                        certificates into DIR (made, owner only, when missing); the\n"
    "                        event log then names the TLS servers of every connection\n"
    "  --status ADDR:PORT    serve a live status page (counts, blocked objects per minute, the\n"
    "                        last events) on this loopback address; off by default\n"
    "  --upstream-buffer N   receive buffer in bytes for connections to origins on loopback,\n"
    "                        private or link-local addresses (default 1048576; 0 leaves the\n"
    "                        kernel's sizing, which far origins always keep)\n"
    "  --max-connections N   connections open at once (default 4096); more are turned away,\n"
    "                        an explicit proxy's clients with a 503 page\n"
    "  --inspect-tls         open CONNECT tunnels (--forward-proxy) or redirected connections to\n"
    "                        --inspect-ports (--transparent) with certificates of the local\n"
    "                        authority and filter the HTTPS inside (docs/https_inspection.md)\n"
    "  --inspect-ports LIST  with --transparent: destination ports whose TLS is inspected\n"
    "                        (default 443)\n"
    "  --ca-dir DIR          the authority made by 'zem-host ca init' (default: the one of ca init)\n"
    "  --upstream-ca FILE    also trust these roots (PEM) for origins, beside the system store\n"
    "  --inspect-hosts LIST  inspect only these hosts (comma-separated; a name covers its\n"
    "                        subdomains; * and ? make a glob); other tunnels pass untouched\n"
    "  --no-inspect LIST     inspect every host but these (banking, pinned applications)\n"
    "\n"
    "Prints 'listening on ADDR:PORT' when ready. Exit status: 0 after a clean stop, 1 when it\n"
    "cannot start, 2 for bad arguments or an invalid policy.\n";

const char* const k_demo_help =
    "usage: zem-host demo [--port PORT] [--mail-port PORT] [--events FILE] [--threads N] [--status ADDR:PORT]\n"
    "\n"
    "Serves a small demo site and a small POP3 mailbox on 127.0.0.1, the filter in front of\n"
    "each with the embedded default policy (mail filtering on), prints the addresses, and\n"
    "prints every object the filter blocks and every attachment it cuts or replaces.\n"
    "\n"
    "  --port PORT     port of the filtering proxy (default 8080; 0 picks a free one)\n"
    "  --mail-port PORT  port of the filter in front of the mailbox (default 8110; 0 picks one)\n"
    "  --events FILE   also write the event log ('-' = stdout)\n"
    "  --threads N     worker threads (default: number of processors)\n"
    "  --status ADDR:PORT  also serve the live status page there (e.g. 127.0.0.1:8119)\n";

const char* const k_ca_help =
    "usage: zem-host ca init [--dir DIR]\n"
    "\n"
    "Makes the local certificate authority that HTTPS inspection signs its certificates\n"
    "with: DIR/ca.pem (to be trusted by clients) and DIR/ca.key (mode 0600, never leaves DIR).\n"
    "DIR is made with mode 0700; a folder that other users may read is refused.\n"
    "Default DIR: $XDG_CONFIG_HOME/zem/ca, else ~/.config/zem/ca.\n";

const char* const k_check_help =
    "usage: zem-host check-policy FILE\n"
    "\n"
    "Validates a policy file. Prints what it means and exits 0, or prints the first error\n"
    "with its line and column and exits 2.\n";

bool is_help(const std::string& a) { return a == "--help" || a == "-h"; }

int usage_error(const std::string& msg, const char* help) {
    std::fprintf(stderr, "zem-host: %s\n\n%s", msg.c_str(), help);
    return 2;
}

bool parse_number(const std::string& s, long min, long max, long& out) {
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::stol(s);
    return out >= min && out <= max;
}

// "443,8443": ports from 1 to 65535, comma-separated.
bool parse_port_list(const std::string& text, std::vector<std::uint16_t>& out) {
    out.clear();
    long n = 0;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        if (!parse_number(text.substr(at, end - at), 1, 65535, n)) return false;
        out.push_back(static_cast<std::uint16_t>(n));
        at = end + 1;
    }
    return true;
}

struct service {
    proxy_options opts;
    std::string events;
    std::string registry;
    std::string dumps;
    std::string cert_folder;  // where the engine records TLS servers' certificates
    std::string firewall_program;
    int threads = 0;
    int grace_seconds = 5;
    bool demo = false;
    std::string status;       // ADDR:PORT of the status page; empty = none
    proxy_options mail_opts;  // the demo's filter in front of its mailbox
};

// A registry file for the demo: mail filtering on. The engine reads it at
// initialisation; removed when the demo stops.
bool demo_registry(std::string& path, std::string& error) {
    static const char text[] =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\MORVEX Software\\Morvex\\net]\r\n\"enable_mail\"=dword:00000001\r\n";
    const char* tmp = std::getenv("TMPDIR");
    path = std::string(tmp && *tmp ? tmp : "/tmp") + "/zem-host-demo-XXXXXX";
    const int fd = ::mkstemp(&path[0]);
    if (fd < 0) {
        error = "cannot create a temporary registry file";
        return false;
    }
    const bool ok = ::write(fd, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1);
    ::close(fd);
    if (!ok) {
        ::unlink(path.c_str());
        error = "cannot write " + path;
        return false;
    }
    return true;
}

std::string endpoint_text(const asio::ip::tcp::endpoint& ep) {
    if (ep.address().is_v6()) return "[" + ep.address().to_string() + "]:" + std::to_string(ep.port());
    return ep.address().to_string() + ":" + std::to_string(ep.port());
}

// Runs the proxy (and the demo site) until SIGINT or SIGTERM.
// Responses are held and copied whole, a few megabytes each. glibc hands
// such blocks back to the system when they are freed (mapped blocks, and
// the top of each thread's heap past a dynamic threshold), so every response
// faulted fresh, zeroed pages in again: a third of the relay's time. Blocks
// up to 32 MiB (the most glibc allows here) now stay in the heap, and a heap
// keeps up to 64 MiB of free top for the next responses. A user's own
// GLIBC_TUNABLES for malloc win.
void tune_allocator() {
    const char* t = std::getenv("GLIBC_TUNABLES");
    if (t && std::strstr(t, "glibc.malloc.")) return;
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

int run(service& svc, policy_store& store) {
    tune_allocator();
    ::signal(SIGPIPE, SIG_IGN);
    // Each connection holds two descriptors; keep the cap within reach.
    const std::uint64_t fds = raise_fd_limit();
    if (fds > 128 && svc.opts.max_connections * 2 + 64 > fds) {
        svc.opts.max_connections = static_cast<std::size_t>((fds - 64) / 2);
        diag(diag_level::warning, "%llu file descriptors allowed: at most %zu connections at once",
             static_cast<unsigned long long>(fds), svc.opts.max_connections);
    }
    // Options that are engine settings reach it through a registry file of
    // our own, made on top of --registry and removed at the end.
    std::vector<std::string> made_registries;
    struct remove_files {
        std::vector<std::string>& paths;
        ~remove_files() {
            for (const auto& p : paths) ::unlink(p.c_str());
        }
    } made_registries_cleanup{made_registries};
    const std::pair<const char*, const std::string*> folders[] = {{"dumps_path", &svc.dumps},
                                                                  {"cert_folder", &svc.cert_folder}};
    for (const auto& f : folders) {
        if (f.second->empty()) continue;
        std::string err, made;
        // Certificates and server names say where this machine went: owner only.
        const unsigned mode = std::string(f.first) == "cert_folder" ? 0700 : 0755;
        if (!registry_with_folder(svc.registry, f.first, *f.second, mode, made, err)) {
            diag(diag_level::err, "%s", err.c_str());
            return 1;
        }
        made_registries.push_back(made);
        svc.registry = made;
    }
    std::string demo_reg;
    if (svc.demo) {
        std::string err;
        if (!demo_registry(demo_reg, err)) {
            diag(diag_level::err, "%s", err.c_str());
            return 1;
        }
        svc.registry = demo_reg;
    }
    if (!svc.registry.empty()) ::setenv("ZEM_REGISTRY", svc.registry.c_str(), 1);
    struct remove_file {
        std::string path;
        ~remove_file() {
            if (!path.empty()) ::unlink(path.c_str());
        }
    } demo_reg_cleanup{demo_reg};

    // Declared before the log, which feeds it until the end.
    status_board board;
    event_log log;
    // Only a served page reads the board; without one every blocked object
    // would still pay for its counting.
    if (!svc.status.empty()) log.watch([&board](const nlohmann::json& r) { board.observe(r); });
    if (!svc.events.empty()) {
        std::string err;
        if (!log.open(svc.events, err)) {
            diag(diag_level::err, "%s", err.c_str());
            return 1;
        }
    }
    if (svc.opts.inspect) svc.opts.inspect->set_log(&log);
    host_channel channel(store, &log);
    channel.set_firewall_program(svc.firewall_program);
    if (svc.demo)
        channel.on_blocked([](const nlohmann::json& e) {
            const std::string line = blocked_line(e) + "\n";
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        });

    asio::io_context io;
    auto work = asio::make_work_guard(io);
    // Taken before anything is announced, so a SIGHUP right after the
    // "listening" line never meets the default action (which ends the process).
    asio::signal_set hangup(io, SIGHUP);
    std::unique_ptr<demo_site> site;
    std::unique_ptr<demo_mailbox> mailbox;
    std::unique_ptr<proxy_server> mail_server;
    if (svc.demo) {
        mailbox.reset(new demo_mailbox(io));
        std::string err;
        if (!mailbox->start("127.0.0.1", 0, err)) {
            diag(diag_level::err, "%s", err.c_str());
            return 1;
        }
        svc.mail_opts.listen_host = "127.0.0.1";
        svc.mail_opts.upstream_host = "127.0.0.1";
        svc.mail_opts.upstream_port = mailbox->local_endpoint().port();
        mail_server.reset(new proxy_server(io, svc.mail_opts));
        if (!mail_server->start(err)) {
            diag(diag_level::err, "%s", err.c_str());
            return 1;
        }
    }
    if (svc.demo) {
        site.reset(new demo_site(io));
        std::string err;
        if (!site->start("127.0.0.1", 0, err)) {
            diag(diag_level::err, "%s", err.c_str());
            return 1;
        }
        svc.opts.upstream_host = "127.0.0.1";
        svc.opts.upstream_port = site->local_endpoint().port();
    }
    svc.opts.policy = &store;
    proxy_server server(io, svc.opts);
    std::string err;
    if (!server.start(err)) {
        diag(diag_level::err, "%s", err.c_str());
        return 1;
    }
    std::unique_ptr<demo_listener> status;
    if (!svc.status.empty()) {
        std::string host;
        std::uint16_t port = 0;
        split_host_port(svc.status, host, port);
        if (host == "localhost") host = "127.0.0.1";
        status.reset(new demo_listener(io, [&board](asio::ip::tcp::socket s) {
            serve_one_request(std::move(s),
                              [&board](const std::string& method, const std::string& target, const std::string& head) {
                                  return status_reply(board, method, target, head);
                              });
        }));
        if (!status->start(host, port, "the status page", err)) {
            diag(diag_level::err, "%s", err.c_str());
            return 1;
        }
    }
    initialize(&channel);
    const auto here = server.local_endpoint();
    if (site) site->set_proxy_port(here.port());
    std::printf("listening on %s\n", endpoint_text(here).c_str());
    if (status) std::printf("status page: http://%s/\n", endpoint_text(status->local_endpoint()).c_str());
    if (site) {
        std::printf("demo site:          http://%s/\n", endpoint_text(site->local_endpoint()).c_str());
        std::printf("through the filter: http://%s/\n", endpoint_text(here).c_str());
        std::printf("Compare them, e.g.  curl -s http://%s/ads.html  and  curl -s http://%s/ads.html\n",
                    endpoint_text(site->local_endpoint()).c_str(), endpoint_text(here).c_str());
        const std::string mail = endpoint_text(mail_server->local_endpoint());
        std::printf("demo mailbox (POP3): %s (any user name and password)\n",
                    endpoint_text(mailbox->local_endpoint()).c_str());
        std::printf("mail through the filter: pop3://%s/\n", mail.c_str());
        std::printf(
            "Message 2 carries tool.exe, which the policy cuts; compare\n"
            "  curl -s pop3://%s/2 -u demo:demo  and  curl -s pop3://%s/2 -u demo:demo\n",
            endpoint_text(mailbox->local_endpoint()).c_str(), mail.c_str());
        std::printf("Blocked objects are listed below as they happen. Ctrl-C stops.\n");
    }
    std::fflush(stdout);

    // Policy reload: the file is compared once a second, and at once on
    // SIGHUP (what service managers send for "reload"); a new policy gets a
    // new cookie, which the engine notices and reloads its keywords.
    std::function<void(bool)> check_policy = [&](bool on_signal) {
        std::string why;
        nlohmann::json rec;
        switch (store.reload_if_changed(why)) {
            case policy_store::reload_result::reloaded:
                diag(diag_level::notice, "policy reloaded from %s", store.path().c_str());
                rec = {{"policy", "reloaded"}, {"file", store.path()}};
                log.write(rec);
                break;
            case policy_store::reload_result::rejected:
            case policy_store::reload_result::unreadable:
                diag(diag_level::err, "policy reload failed: %s", why.c_str());
                rec = {{"policy", "reload_failed"}, {"file", store.path()}, {"error", why}};
                log.write(rec);
                break;
            case policy_store::reload_result::unchanged:
                // A reload asked for by hand is answered even when the file
                // is the same, so whoever sent it sees it was read.
                if (!on_signal) break;
                rec = {{"policy", "unchanged"}, {"file", store.path()}};
                log.write(rec);
                break;
        }
    };
    asio::steady_timer reload_timer(io);
    std::function<void()> arm_reload = [&] {
        reload_timer.expires_after(std::chrono::seconds(1));
        reload_timer.async_wait([&](const asio::error_code& ec) {
            if (ec) return;
            check_policy(false);
            arm_reload();
        });
    };
    std::function<void()> arm_hangup = [&] {
        hangup.async_wait([&](const asio::error_code& ec, int) {
            if (ec) return;
            if (!store.path().empty()) check_policy(true);
            arm_hangup();
        });
    };
    arm_hangup();
    if (!store.path().empty()) arm_reload();

    // Clean stop: no new connections, open ones get the grace period to
    // finish, then the rest are closed and the event log is flushed.
    asio::signal_set signals(io, SIGINT, SIGTERM);
    asio::steady_timer stop_timer(io);
    std::chrono::steady_clock::time_point deadline;
    std::function<void()> check_stop = [&] {
        const std::size_t open = server.open_connections() + (mail_server ? mail_server->open_connections() : 0);
        if (open == 0 || std::chrono::steady_clock::now() >= deadline) {
            server.abort_all();
            if (mail_server) mail_server->abort_all();
            reload_timer.cancel();
            hangup.cancel();
            work.reset();
            // Give aborted connections a moment to run their last handlers.
            stop_timer.expires_after(std::chrono::milliseconds(50));
            stop_timer.async_wait([&](const asio::error_code&) { io.stop(); });
            return;
        }
        stop_timer.expires_after(std::chrono::milliseconds(50));
        stop_timer.async_wait([&](const asio::error_code& ec) {
            if (!ec) check_stop();
        });
    };
    signals.async_wait([&](const asio::error_code& ec, int sig) {
        if (ec) return;
        diag(diag_level::notice, "%s, stopping", sig == SIGINT ? "SIGINT" : "SIGTERM");
        server.stop_accepting();
        if (site) site->stop();
        if (status) status->stop();
        if (mail_server) mail_server->stop_accepting();
        if (mailbox) mailbox->stop();
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(svc.grace_seconds);
        check_stop();
    });

    int threads = svc.threads > 0 ? svc.threads : static_cast<int>(std::thread::hardware_concurrency());
    if (threads < 1) threads = 1;
    std::vector<std::thread> pool;
    for (int k = 1; k < threads; ++k) pool.emplace_back([&io] { io.run(); });
    io.run();
    for (auto& t : pool) t.join();
    deinitialize();
    nlohmann::json rec = {{"host", "stopped"},
                          {"connections", server.accepted() + (mail_server ? mail_server->accepted() : 0)},
                          {"commands", channel.commands()},
                          {"notifications", channel.notifications()},
                          {"malformed", channel.malformed()}};
    log.write(rec);
    log.close();
    std::fflush(stdout);
    return 0;
}

// The status page is for this machine's user only: a loopback address.
bool status_address_ok(const std::string& text) {
    std::string host;
    std::uint16_t port = 0;
    if (!split_host_port(text, host, port)) return false;
    if (host == "localhost") return true;
    asio::error_code ec;
    const asio::ip::address a = asio::ip::make_address(host, ec);
    return !ec && a.is_loopback();
}

int cmd_proxy(const std::vector<std::string>& args) {
    service svc;
    std::string listen, upstream, policy_file;
    bool inspect = false;
    std::string ca_dir = default_ca_dir(), upstream_ca, inspect_only, no_inspect;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& a = args[k];
        if (is_help(a)) {
            std::fputs(k_proxy_help, stdout);
            return 0;
        }
        auto value = [&](std::string& out) {
            if (k + 1 >= args.size()) return false;
            out = args[++k];
            return true;
        };
        std::string v;
        long n = 0;
        if (a == "--listen") {
            if (!value(listen)) return usage_error("--listen needs ADDR:PORT", k_proxy_help);
        } else if (a == "--upstream") {
            if (!value(upstream)) return usage_error("--upstream needs HOST:PORT", k_proxy_help);
        } else if (a == "--transparent") {
            svc.opts.transparent = true;
        } else if (a == "--forward-proxy") {
            svc.opts.forward = true;
        } else if (a == "--allow") {
            if (!value(v)) return usage_error("--allow needs ADDRESS/BITS", k_proxy_help);
            bool valid = false;
            address_in(asio::ip::address_v4::loopback(), v, valid);
            if (!valid) return usage_error("--allow wants ADDRESS/BITS, got " + v, k_proxy_help);
            svc.opts.allow.push_back(v);
        } else if (a == "--connect-ports") {
            if (!value(v)) return usage_error("--connect-ports needs a list of ports", k_proxy_help);
            if (!parse_port_list(v, svc.opts.connect_ports))
                return usage_error("--connect-ports wants ports from 1 to 65535, got " + v, k_proxy_help);
        } else if (a == "--policy") {
            if (!value(policy_file)) return usage_error("--policy needs a file", k_proxy_help);
        } else if (a == "--events") {
            if (!value(svc.events)) return usage_error("--events needs a file or -", k_proxy_help);
        } else if (a == "--registry") {
            if (!value(svc.registry)) return usage_error("--registry needs a file", k_proxy_help);
        } else if (a == "--dumps") {
            if (!value(svc.dumps)) return usage_error("--dumps needs a folder", k_proxy_help);
        } else if (a == "--cert-folder") {
            if (!value(svc.cert_folder)) return usage_error("--cert-folder needs a folder", k_proxy_help);
        } else if (a == "--threads") {
            if (!value(v) || !parse_number(v, 1, 1024, n))
                return usage_error("--threads needs 1 to 1024", k_proxy_help);
            svc.threads = static_cast<int>(n);
        } else if (a == "--mark") {
            if (!value(v) || !parse_number(v, 1, 0x7FFFFFFF, n))
                return usage_error("--mark needs a number", k_proxy_help);
            svc.opts.mark = static_cast<int>(n);
        } else if (a == "--firewall-program") {
            if (!value(svc.firewall_program)) return usage_error("--firewall-program needs a file", k_proxy_help);
        } else if (a == "--grace") {
            if (!value(v) || !parse_number(v, 0, 3600, n)) return usage_error("--grace needs seconds", k_proxy_help);
            svc.grace_seconds = static_cast<int>(n);
        } else if (a == "--status") {
            if (!value(svc.status) || !status_address_ok(svc.status))
                return usage_error("--status wants a loopback ADDR:PORT, e.g. 127.0.0.1:8119", k_proxy_help);
        } else if (a == "--upstream-buffer") {
            if (!value(v) || !parse_number(v, 0, 64 << 20, n))
                return usage_error("--upstream-buffer needs 0 to 67108864 bytes", k_proxy_help);
            svc.opts.upstream_buffer = static_cast<int>(n);
        } else if (a == "--max-connections") {
            if (!value(v) || !parse_number(v, 1, 1000000, n))
                return usage_error("--max-connections needs 1 to 1000000", k_proxy_help);
            svc.opts.max_connections = static_cast<std::size_t>(n);
        } else if (a == "--inspect-tls") {
            inspect = true;
        } else if (a == "--ca-dir") {
            if (!value(ca_dir)) return usage_error("--ca-dir needs a folder", k_proxy_help);
        } else if (a == "--upstream-ca") {
            if (!value(upstream_ca)) return usage_error("--upstream-ca needs a file", k_proxy_help);
        } else if (a == "--inspect-hosts") {
            if (!value(inspect_only)) return usage_error("--inspect-hosts needs a list", k_proxy_help);
        } else if (a == "--inspect-ports") {
            if (!value(v)) return usage_error("--inspect-ports needs a list of ports", k_proxy_help);
            if (!parse_port_list(v, svc.opts.inspect_ports))
                return usage_error("--inspect-ports wants ports from 1 to 65535, got " + v, k_proxy_help);
        } else if (a == "--no-inspect") {
            if (!value(no_inspect)) return usage_error("--no-inspect needs a list", k_proxy_help);
        } else {
            return usage_error("unknown option " + a, k_proxy_help);
        }
    }
    if (listen.empty()) return usage_error("--listen is required", k_proxy_help);
    if (!split_host_port(listen, svc.opts.listen_host, svc.opts.listen_port))
        return usage_error("--listen wants ADDR:PORT, got " + listen, k_proxy_help);
    if (int(svc.opts.transparent) + int(!upstream.empty()) + int(svc.opts.forward) != 1)
        return usage_error("give exactly one of --upstream, --transparent and --forward-proxy", k_proxy_help);
    if (!upstream.empty() &&
        (!split_host_port(upstream, svc.opts.upstream_host, svc.opts.upstream_port) || svc.opts.upstream_port == 0))
        return usage_error("--upstream wants HOST:PORT, got " + upstream, k_proxy_help);

    std::unique_ptr<tls_inspection> ins;
    if (!inspect && (!upstream_ca.empty() || !inspect_only.empty() || !no_inspect.empty()))
        return usage_error("--upstream-ca, --inspect-hosts and --no-inspect go with --inspect-tls", k_proxy_help);
    if (inspect) {
        if (!svc.opts.forward && !svc.opts.transparent)
            return usage_error("--inspect-tls needs --forward-proxy or --transparent", k_proxy_help);
        if (!inspect_only.empty() && !no_inspect.empty())
            return usage_error("give --inspect-hosts or --no-inspect, not both", k_proxy_help);
        ins.reset(new tls_inspection);
        std::string why;
        if ((!inspect_only.empty() && !ins->only.parse(inspect_only, why)) ||
            (!no_inspect.empty() && !ins->except.parse(no_inspect, why)))
            return usage_error(why, k_proxy_help);
        if (!ins->setup(ca_dir, upstream_ca, why)) {
            diag(diag_level::err, "%s", why.c_str());
            return 1;
        }
        svc.opts.inspect = ins.get();
    }

    policy_store store;
    std::string err;
    const bool ok =
        policy_file.empty() ? store.load_text(embedded_default_policy(), err) : store.load_file(policy_file, err);
    if (!ok) {
        diag(diag_level::err, "invalid policy: %s", err.c_str());
        return 2;
    }
    return run(svc, store);
}

int cmd_demo(const std::vector<std::string>& args) {
    service svc;
    svc.demo = true;
    svc.opts.listen_host = "127.0.0.1";
    svc.opts.listen_port = 8080;
    svc.mail_opts.listen_port = 8110;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& a = args[k];
        long n = 0;
        if (is_help(a)) {
            std::fputs(k_demo_help, stdout);
            return 0;
        } else if (a == "--port") {
            if (k + 1 >= args.size() || !parse_number(args[k + 1], 0, 65535, n))
                return usage_error("--port needs a port number", k_demo_help);
            svc.opts.listen_port = static_cast<std::uint16_t>(n);
            ++k;
        } else if (a == "--mail-port") {
            if (k + 1 >= args.size() || !parse_number(args[k + 1], 0, 65535, n))
                return usage_error("--mail-port needs a port number", k_demo_help);
            svc.mail_opts.listen_port = static_cast<std::uint16_t>(n);
            ++k;
        } else if (a == "--events") {
            if (k + 1 >= args.size()) return usage_error("--events needs a file or -", k_demo_help);
            svc.events = args[++k];
        } else if (a == "--status") {
            if (k + 1 >= args.size() || !status_address_ok(args[k + 1]))
                return usage_error("--status wants a loopback ADDR:PORT, e.g. 127.0.0.1:8119", k_demo_help);
            svc.status = args[++k];
        } else if (a == "--threads") {
            if (k + 1 >= args.size() || !parse_number(args[k + 1], 1, 1024, n))
                return usage_error("--threads needs 1 to 1024", k_demo_help);
            svc.threads = static_cast<int>(n);
            ++k;
        } else {
            return usage_error("unknown option " + a, k_demo_help);
        }
    }
    policy_store store;
    std::string err;
    if (!store.load_text(embedded_default_policy(), err)) {
        diag(diag_level::err, "the embedded policy is invalid: %s", err.c_str());
        return 2;
    }
    return run(svc, store);
}

int cmd_ca(const std::vector<std::string>& args) {
    std::string dir = default_ca_dir();
    if (args.empty()) return usage_error("ca needs a subcommand", k_ca_help);
    if (is_help(args[0])) {
        std::fputs(k_ca_help, stdout);
        return 0;
    }
    if (args[0] != "init") return usage_error("unknown ca subcommand " + args[0], k_ca_help);
    for (std::size_t k = 1; k < args.size(); ++k) {
        if (is_help(args[k])) {
            std::fputs(k_ca_help, stdout);
            return 0;
        } else if (args[k] == "--dir" && k + 1 < args.size()) {
            dir = args[++k];
        } else {
            return usage_error("unknown option " + args[k], k_ca_help);
        }
    }
    std::string err;
    if (!ca_init(dir, err)) {
        std::fprintf(stderr, "zem-host: %s\n", err.c_str());
        return 1;
    }
    const std::string pem = dir + "/ca.pem";
    std::printf(
        "made a local authority in %s\n"
        "  certificate: %s (give this to the clients that are to trust it)\n"
        "  key:         %s/ca.key (mode 0600; keep it there, whoever has it can impersonate any site)\n"
        "\n"
        "Trust it:\n"
        "  curl:      curl --cacert %s -x http://127.0.0.1:PORT https://example.com/\n"
        "  system:    cp %s /usr/local/share/ca-certificates/zem-host.crt && update-ca-certificates\n"
        "  browsers:  certutil -d sql:$HOME/.pki/nssdb -A -t C,, -n zem-host -i %s\n"
        "             (Firefox: its profile folder instead of ~/.pki/nssdb)\n"
        "Then: zem-host proxy --forward-proxy --listen 127.0.0.1:8080 --inspect-tls --ca-dir %s\n",
        dir.c_str(), pem.c_str(), dir.c_str(), pem.c_str(), pem.c_str(), pem.c_str(), dir.c_str());
    return 0;
}

int cmd_check_policy(const std::vector<std::string>& args) {
    if (args.size() == 1 && is_help(args[0])) {
        std::fputs(k_check_help, stdout);
        return 0;
    }
    if (args.size() != 1) return usage_error("check-policy takes one file", k_check_help);
    policy_store store;
    std::string err;
    if (!store.load_file(args[0], err)) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 2;
    }
    std::printf("%s: valid\n%s", args[0].c_str(), store.current().pol->describe().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.empty()) return usage_error("a command is required", k_main_help);
        const std::string cmd = args[0];
        args.erase(args.begin());
        if (is_help(cmd) || cmd == "help") {
            std::fputs(k_main_help, stdout);
            return 0;
        }
        if (cmd == "proxy") return cmd_proxy(args);
        if (cmd == "demo") return cmd_demo(args);
        if (cmd == "check-policy") return cmd_check_policy(args);
        if (cmd == "ca") return cmd_ca(args);
        if (cmd == "replay") return cmd_replay(args);
        if (cmd == "selftest") return cmd_selftest(args);
        return usage_error("unknown command " + cmd, k_main_help);
    } catch (const std::exception& e) {
        diag(diag_level::err, "%s", e.what());
        return 1;
    }
}
