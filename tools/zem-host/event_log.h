#pragma once
// One JSON object per line for everything that crosses the command channel.
// Lines are written whole under a lock and flushed, so a reader (or a crash)
// never sees half a line.
#include <cstdio>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace zem_host {

class event_log {
public:
    event_log() = default;
    event_log(const event_log&) = delete;
    event_log& operator=(const event_log&) = delete;
    ~event_log();

    // "-" is standard output. False when the file cannot be opened.
    bool open(const std::string& target, std::string& error);
    bool is_open() const { return m_file != nullptr; }
    // Whether a record written now would be read by anyone (a file or the
    // watcher); a writer may skip making records nobody reads.
    bool wanted() const { return m_file != nullptr || static_cast<bool>(m_watcher); }
    // Adds "ts" (UTC, milliseconds) and writes the object as one line; the
    // watcher sees it too, whether a file is open or not.
    void write(nlohmann::json& record);
    // Set once, before records flow.
    void watch(std::function<void(const nlohmann::json&)> f) { m_watcher = std::move(f); }
    void flush();
    void close();

private:
    std::mutex m_lock;
    std::FILE* m_file = nullptr;
    std::function<void(const nlohmann::json&)> m_watcher;
    bool m_owned = false;
};

std::string utc_timestamp();

}  // namespace zem_host
