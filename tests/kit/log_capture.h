#pragma once
// Collects every committed log line while it lives, at the level given.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace kit {

class log_capture {
public:
    explicit log_capture(int level = 0);
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::vector<std::string> lines() const;
    // The lines without their time, process and thread prefix.
    std::vector<std::string> messages() const;
    // Lines that contain 'text'.
    int count(const std::string& text) const;
    // Lines that contain 'text' and were committed for the log file named.
    int count_in_file(const std::string& text, const std::string& file_name) const;

    struct sink {
        mutable std::mutex lock;
        std::vector<std::string> lines;
        std::vector<std::string> file_names;  // one per line, empty for the default file
    };

private:
    std::shared_ptr<sink> m_sink;
    log_space::ibase_log_stream* m_stream = nullptr;
    int m_saved_level;
};

}  // namespace kit
