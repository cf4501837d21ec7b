#include "event_log.h"

#include <chrono>
#include <ctime>

namespace zem_host {

std::string utc_timestamp() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

event_log::~event_log() { close(); }

bool event_log::open(const std::string& target, std::string& error) {
    std::lock_guard<std::mutex> g(m_lock);
    if (target == "-") {
        m_file = stdout;
        m_owned = false;
        return true;
    }
    m_file = std::fopen(target.c_str(), "a");
    if (!m_file) {
        error = "cannot open event log " + target;
        return false;
    }
    m_owned = true;
    return true;
}

void event_log::write(nlohmann::json& record) {
    if (!m_file && !m_watcher) return;
    record["ts"] = utc_timestamp();
    if (m_watcher) m_watcher(record);
    if (!m_file) return;
    // Strings we did not make ourselves may not be valid UTF-8: replace
    // instead of throwing.
    std::string line = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    line += '\n';
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_file) return;
    std::fwrite(line.data(), 1, line.size(), m_file);
    std::fflush(m_file);
}

void event_log::flush() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_file) std::fflush(m_file);
}

void event_log::close() {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_file) return;
    std::fflush(m_file);
    if (m_owned) std::fclose(m_file);
    m_file = nullptr;
}

}  // namespace zem_host
