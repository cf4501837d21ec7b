#pragma once
// The host's end of the engine's command channel: answers every command from
// the current policy and records commands and notifications in the event log.
// Called concurrently from every connection's thread; holds no lock while it
// answers beyond taking a snapshot of the policy.
#include <atomic>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "event_log.h"
#include "policy.h"
#include "zem/external_iface.h"

namespace zem_host {

class host_channel final : public zem::i_external_iface {
public:
    // Return codes of invoke_command besides 0.
    enum : int { rc_wrong_channel = 1, rc_unknown_command = 2, rc_malformed = 3, rc_no_reply = 4, rc_refused = 5 };

    host_channel(policy_store& store, event_log* log) : m_store(store), m_log(log) {}
    host_channel(const host_channel&) = delete;
    host_channel& operator=(const host_channel&) = delete;

    int invoke_command(const zem::GUID* channel, int code, zem::mem_slice* request, zem::mem_slice* reply) override;
    bool notify_event(const zem::GUID* channel, int code, zem::mem_slice* data) override;

    // Called (from the engine's thread) for every blocked object or stop word,
    // with the decoded notification.
    // Called with the record of every object blocked (notifications) and of
    // every mail attachment the policy cuts or replaces (the command).
    void on_blocked(std::function<void(const nlohmann::json&)> f) { m_on_blocked = std::move(f); }

    // A program run for every data connection the engine announces, with the
    // address and port as its two arguments; exit status 0 allows it (e.g.
    // by adding it to a firewall set). Without one every announcement is
    // allowed and only recorded.
    void set_firewall_program(std::string path) { m_firewall_program = std::move(path); }

    std::uint64_t commands() const { return m_commands.load(); }
    std::uint64_t notifications() const { return m_notifications.load(); }
    std::uint64_t malformed() const { return m_malformed.load(); }

private:
    int answer(int code, const char* req, std::size_t req_len, std::string& out, nlohmann::json& rec);
    void record(nlohmann::json& rec);

    policy_store& m_store;
    event_log* m_log;
    std::function<void(const nlohmann::json&)> m_on_blocked;
    std::atomic<std::uint64_t> m_commands{0}, m_notifications{0}, m_malformed{0};
    std::string m_firewall_program;
};

// Runs 'program' with 'args' (no shell) and returns its exit status; -1 when
// it cannot be started, -2 when it was killed after 'timeout_ms'.
int run_program(const std::string& program, const std::vector<std::string>& args, int timeout_ms);

// What the engine's log line tells about a TLS connection (the server name
// and the certificate or host-name file written for it); empty otherwise.
nlohmann::json tls_record_of_log_line(const std::string& line);

// What the engine's log line tells about a mail session that went over to
// TLS ("POP3: session went encrypted (STLS).": {"protocol":"POP3",
// "command":"STLS"}); empty for any other line.
nlohmann::json encrypted_record_of_log_line(const std::string& line);

// The bytes of a transparent 1x1 GIF.
const std::string& transparent_gif_bytes();

// What the host answers for the replacement image when the policy names
// none: that GIF as a data: address, which browsers show on any page (they
// refuse file: images on http: pages).
const std::string& transparent_gif_data_uri();

}  // namespace zem_host
