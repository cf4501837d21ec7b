#include "kit/log_capture.h"

namespace kit {

namespace {
class sink_stream : public log_space::ibase_log_stream {
public:
    explicit sink_stream(std::shared_ptr<log_capture::sink> s) : m_sink(std::move(s)) {}
    bool write(const char* text, int length, const char*) override {
        std::lock_guard<std::mutex> g(m_sink->lock);
        m_sink->lines.emplace_back(text, static_cast<std::size_t>(length));
        return true;
    }

private:
    std::shared_ptr<log_capture::sink> m_sink;
};
}  // namespace

log_capture::log_capture(int level) : m_sink(std::make_shared<sink>()), m_saved_level(log_space::m_level.load()) {
    log_space::ensure_context();
    log_space::m_level = level;
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

int log_capture::count(const std::string& text) const {
    int n = 0;
    for (const auto& l : lines())
        if (l.find(text) != std::string::npos) ++n;
    return n;
}

}  // namespace kit
