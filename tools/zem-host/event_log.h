#pragma once
// One JSON object per line for everything that crosses the command channel.
// Lines are written whole under a lock and flushed, so a reader (or a crash)
// never sees half a line.
#include <cstdio>
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
    // Adds "ts" (UTC, milliseconds) and writes the object as one line.
    void write(nlohmann::json& record);
    void flush();
    void close();

private:
    std::mutex m_lock;
    std::FILE* m_file = nullptr;
    bool m_owned = false;
};

std::string utc_timestamp();

}  // namespace zem_host
