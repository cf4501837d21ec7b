#pragma once
// Collects every committed log line while it lives, at the level given
// (keep_level: the level the log has, or takes from its configuration).
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace kit {

class log_capture {
public:
    static constexpr int keep_level = INT_MIN;
    explicit log_capture(int level = 0);
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::vector<std::string> lines() const;
    // The lines without their time, process and thread prefix.
    std::vector<std::string> messages() const;
    // The log file each line was committed for (empty for the default), in
    // the order of lines().
    std::vector<std::string> file_names() const;
    // Lines that contain 'text'.
    int count(const std::string& text) const;
    // The first line that contains 'text' (empty when none).
    std::string line_with(const std::string& text) const;
    // Forgets the lines captured so far.
    void clear();
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
