#include "kit/log_capture.h"

#include <regex>

namespace kit {

namespace {
class sink_stream : public log_space::ibase_log_stream {
public:
    explicit sink_stream(std::shared_ptr<log_capture::sink> s) : m_sink(std::move(s)) {}
    bool write(const char* text, int length, const char* file_name) override {
        std::lock_guard<std::mutex> g(m_sink->lock);
        m_sink->lines.emplace_back(text, static_cast<std::size_t>(length));
        m_sink->file_names.emplace_back(file_name ? file_name : "");
        return true;
    }

private:
    std::shared_ptr<log_capture::sink> m_sink;
};
}  // namespace

log_capture::log_capture(int level) : m_sink(std::make_shared<sink>()), m_saved_level(log_space::m_level.load()) {
    log_space::ensure_context();
    if (level != keep_level) log_space::m_level = level;
    auto s = std::unique_ptr<log_space::ibase_log_stream>(new sink_stream(m_sink));
    m_stream = s.get();
    log_space::install_stream(std::move(s));
}

log_capture::~log_capture() {
    log_space::remove_stream(m_stream);
    log_space::m_level = m_saved_level;
}

std::vector<std::string> log_capture::lines() const {
    std::lock_guard<std::mutex> g(m_sink->lock);
    return m_sink->lines;
}

std::vector<std::string> log_capture::file_names() const {
    std::lock_guard<std::mutex> g(m_sink->lock);
    return m_sink->file_names;
}

std::string log_capture::line_with(const std::string& text) const {
    for (const auto& l : lines())
        if (l.find(text) != std::string::npos) return l;
    return std::string();
}

void log_capture::clear() {
    std::lock_guard<std::mutex> g(m_sink->lock);
    m_sink->lines.clear();
    m_sink->file_names.clear();
}

std::vector<std::string> log_capture::messages() const {
    static const std::regex prefix("^(\\d\\d:\\d\\d:\\d\\d )?(\\[[^\\]]*\\] )?(tid:\\d+ )?");
    std::vector<std::string> out;
    for (const auto& l : lines())
        out.push_back(std::regex_replace(l, prefix, "", std::regex_constants::format_first_only));
    return out;
}

int log_capture::count_in_file(const std::string& text, const std::string& file_name) const {
    std::lock_guard<std::mutex> g(m_sink->lock);
    int n = 0;
    for (std::size_t i = 0; i < m_sink->lines.size(); ++i)
        if (m_sink->lines[i].find(text) != std::string::npos && m_sink->file_names[i] == file_name) ++n;
    return n;
}

int log_capture::count(const std::string& text) const {
    int n = 0;
    for (const auto& l : lines())
        if (l.find(text) != std::string::npos) ++n;
    return n;
}

}  // namespace kit
