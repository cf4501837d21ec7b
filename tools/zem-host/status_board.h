#pragma once
// What the status page shows: counts of requests and of blocked objects by
// kind and by host, blocked objects per minute over the last hour, and the
// last events worth a person's look. Fed with every record the host channel
// writes to the event log, from any thread; memory stays bounded however
// many hosts and events pass.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <vector>

namespace zem_host {

class status_board {
public:
    using clock = std::chrono::system_clock;
    static constexpr std::size_t k_minutes = 60;
    static constexpr std::size_t k_events = 100;
    static constexpr std::size_t k_hosts = 1000;  // beyond: counted under k_other_hosts
    static constexpr const char* k_other_hosts = "(other hosts)";
    // The kinds of blocked object, in the order the page lists them.
    static const std::vector<std::string>& kinds();

    status_board();

    void observe(const nlohmann::json& record) { observe(record, clock::now()); }
    void observe(const nlohmann::json& record, clock::time_point now);
    // Everything the page draws, as of 'now'.
    nlohmann::json snapshot() const { return snapshot(clock::now()); }
    nlohmann::json snapshot(clock::time_point now) const;

    // The kind a blocked-object record counts under; empty when the record
    // blocks nothing.
    static std::string kind_of(const nlohmann::json& record);

private:
    // Counts per minute over the last hour: slot = minute % k_minutes, each
    // slot remembering which minute it holds so stale slots read as zero.
    struct minute_ring {
        std::vector<std::int64_t> minute = std::vector<std::int64_t>(k_minutes, -1);
        std::vector<std::uint32_t> count = std::vector<std::uint32_t>(k_minutes, 0);
        void add(std::int64_t m);
        std::vector<std::uint32_t> last_hour(std::int64_t now_minute) const;
    };
    struct host_counts {
        std::uint64_t requests = 0;
        std::uint64_t blocked = 0;
        std::string last;  // UTC time of the last record for the host
        minute_ring minutes;
    };
    host_counts& host(const std::string& name);

    mutable std::mutex m_lock;
    clock::time_point m_started;
    std::uint64_t m_requests = 0;
    std::uint64_t m_blocked = 0;
    std::map<std::string, std::uint64_t> m_by_kind;
    std::unordered_map<std::string, host_counts> m_hosts;
    std::map<std::string, minute_ring> m_kind_minutes;
    std::deque<nlohmann::json> m_events;
};

// One line for a person about a blocked object, stop word or attachment.
std::string blocked_line(const nlohmann::json& record);

// The status server's answer to one request: the page at "/", the board's
// snapshot at "/status.json". Only requests that name a loopback host are
// answered, so a web page elsewhere cannot read the board through a name
// that resolves to 127.0.0.1.
std::string status_reply(const status_board& board, const std::string& method, const std::string& target,
                         const std::string& head);

// The status page (tools/zem-host/status_page.html, embedded at build time).
const std::string& embedded_status_page();

// The host name of an address ("http://a.b:8080/x" -> "a.b"), lower case;
// the text itself when it is no address.
std::string host_of_address(const std::string& address);

}  // namespace zem_host
