#include "log/log.h"

#include <list>
#include <mutex>

#include "log/streams.h"
#include "platform/clock.h"
#include "platform/lock.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace log_space {

std::atomic<int> m_level{1};
std::atomic<bool> m_show_process{true};
std::atomic<bool> m_show_thread{false};

namespace {

const char* const k_log_key = "Software";

class log_context {
public:
    log_context() {
        std::string exe = platform::executable_path();
        std::size_t slash = exe.find_last_of("/\\");
        m_module = slash == std::string::npos ? exe : exe.substr(slash + 1);
        std::string exe_dir = slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
        std::size_t dot = m_module.find_last_of('.');
        // No default name was derived when a log directory is configured;
        // we derive it in both cases so that a configured directory also
        // receives the ordinary lines.
        m_log_file = (dot == std::string::npos ? m_module : m_module.substr(0, dot)) + ".log";
        if (!platform::reg_read_string(k_log_key, "ZEMWLogPath", m_log_dir) || m_log_dir.empty()) m_log_dir = exe_dir;
        std::uint32_t level = static_cast<std::uint32_t>(m_level.load());
        if (platform::reg_read_u32(k_log_key, "ZEMWLogLevel", level)) m_level = static_cast<std::int32_t>(level);
        std::uint32_t mask = 0;
        platform::reg_read_u32(k_log_key, "EnableZEMWLog", mask);
        m_show_process = (mask & 0x40) != 0;
        m_show_thread = (mask & 0x20) != 0;
        if (mask & 0x2) {
            m_streams.emplace_back(new file_output_stream(m_log_dir, m_log_file));
            if (mask & 0x4) m_streams.emplace_back(new debug_output_stream());
            if (mask & 0x1000) m_streams.emplace_back(new console_output_stream());
        }
    }

    void write_init_line() {
        std::string line = platform::local_time_text() + " Init logging. Level=" + std::to_string(m_level.load()) +
                           " Log path=" + m_log_dir + ".\n";
        write(line, nullptr);
    }

    void write(const std::string& text, const char* file_name) {
        platform::section_guard g(m_lock);
        for (auto& s : m_streams) s->write(text.data(), static_cast<int>(text.size()), file_name);
    }

    void install(std::unique_ptr<ibase_log_stream> s) {
        platform::section_guard g(m_lock);
        m_streams.push_back(std::move(s));
    }

    bool remove(ibase_log_stream* s) {
        platform::section_guard g(m_lock);
        for (auto it = m_streams.begin(); it != m_streams.end(); ++it) {
            if (it->get() == s) {
                m_streams.erase(it);
                return true;
            }
        }
        return false;
    }

    const std::string& module() const { return m_module; }

private:
    std::list<std::unique_ptr<ibase_log_stream>> m_streams;
    std::string m_log_dir;
    std::string m_log_file;
    std::string m_module;
    platform::critical_section m_lock;
};

// The context lives from first use until unload; after unload began, each
// message gets a temporary context of its own.
struct context_holder {
    platform::critical_section lock;
    std::unique_ptr<log_context> ctx;
    bool destroyed = false;
    ~context_holder() {
        platform::section_guard g(lock);
        ctx.reset();
        destroyed = true;
    }
};

context_holder& holder() {
    // Deliberately leaked holder object would defeat unload ordering; a
    // function-local static is destroyed at unload, which is what we want.
    static context_holder h;
    return h;
}

std::atomic<bool> g_unloaded{false};

struct unload_marker {
    ~unload_marker() { g_unloaded = true; }
} g_unload_marker;

log_context& context_locked(context_holder& h) {
    if (!h.ctx) {
        h.ctx.reset(new log_context());
        h.ctx->write_init_line();
    }
    return *h.ctx;
}

}  // namespace

std::string line_prefix() {
    // The settings come from the registry with the context: make it first.
    ensure_context();
    std::string p;
    if (m_level.load(std::memory_order_relaxed) >= 0) p = platform::local_time_text() + " ";
    if (m_show_process.load(std::memory_order_relaxed)) {
        std::string module;
        if (!g_unloaded) {
            context_holder& h = holder();
            platform::section_guard g(h.lock);
            module = context_locked(h).module();
        } else {
            std::string exe = platform::executable_path();
            std::size_t slash = exe.find_last_of("/\\");
            module = slash == std::string::npos ? exe : exe.substr(slash + 1);
        }
        p += "[" + module + " (id=" + std::to_string(platform::process_id()) + ")] ";
    }
    if (m_show_thread.load(std::memory_order_relaxed)) p += "tid:" + std::to_string(platform::thread_id()) + " ";
    return p;
}

void commit(const std::string& text, const char* file_name) {
    platform::last_error_guard guard;
    try {
        if (g_unloaded) {
            log_context temp;
            temp.write(text, file_name);
            return;
        }
        context_holder& h = holder();
        platform::section_guard g(h.lock);
        if (h.destroyed) {
            log_context temp;
            temp.write(text, file_name);
            return;
        }
        context_locked(h).write(text, file_name);
    } catch (...) {
    }
}

void install_stream(std::unique_ptr<ibase_log_stream> stream) {
    if (g_unloaded) return;
    context_holder& h = holder();
    platform::section_guard g(h.lock);
    context_locked(h).install(std::move(stream));
}

bool remove_stream(ibase_log_stream* stream) {
    if (g_unloaded) return false;
    context_holder& h = holder();
    platform::section_guard g(h.lock);
    return h.ctx && h.ctx->remove(stream);
}

void ensure_context() {
    platform::last_error_guard guard;
    if (g_unloaded) return;
    context_holder& h = holder();
    platform::section_guard g(h.lock);
    context_locked(h);
}

void reset_context() {
    context_holder& h = holder();
    platform::section_guard g(h.lock);
    h.ctx.reset();
    m_level = 1;
    m_show_process = true;
    m_show_thread = false;
}

scope_trace::scope_trace(const char* text, int verbosity) : m_text(text), m_verbosity(verbosity) {
    if (!enabled(m_verbosity)) return;
    platform::last_error_guard guard;
    try {
        commit(line_prefix() + "-->>" + m_text + "\n");
    } catch (...) {
    }
}

scope_trace::~scope_trace() {
    if (!enabled(m_verbosity)) return;
    platform::last_error_guard guard;
    try {
        commit(line_prefix() + "<<--" + m_text + "\n");
    } catch (...) {
    }
}

}  // namespace log_space
