#pragma once
// The process-wide log. Code builds a message, prefixes it with time and
// process/thread identity, and commits it to every installed stream. Call
// sites test the verbosity first (the ZEM_LOG macros do), so a disabled
// message costs one comparison. Logging never throws and never changes the
// thread's last error.
#include <atomic>
#include <memory>
#include <sstream>
#include <string>

#include "platform/last_error.h"

namespace log_space {

constexpr int build_number = 488;

class ibase_log_stream {
public:
    virtual ~ibase_log_stream() = default;
    virtual bool write(const char* text, int length, const char* file_name) = 0;
    virtual int kind() const { return 0; }
};

extern std::atomic<int> m_level;
extern std::atomic<bool> m_show_process;
extern std::atomic<bool> m_show_thread;

inline bool enabled(int verbosity) { return m_level.load(std::memory_order_relaxed) >= verbosity; }

// Time, process and thread prefix of a line, per the current settings.
std::string line_prefix();

// Hands text to every installed stream, in installation order, under the
// context lock. Never looks at the level.
void commit(const std::string& text, const char* file_name = nullptr);

// Takes ownership of a stream; from now on every commit reaches it.
void install_stream(std::unique_ptr<ibase_log_stream> stream);

// Removes (and destroys) a stream installed earlier; false when unknown.
bool remove_stream(ibase_log_stream* stream);

// Ensures the context exists (reads the registry, installs the configured
// streams, writes the init line).
void ensure_context();

// Drops the context and restores the initial settings; the next log call
// builds a fresh one from the registry. For tests and module unload.
void reset_context();

class log_message {
public:
    log_message() { m_stream << line_prefix(); }
    template <class T>
    log_message& operator<<(const T& v) {
        m_stream << v;
        return *this;
    }
    void commit(const char* file_name = nullptr) { log_space::commit(m_stream.str(), file_name); }

private:
    std::ostringstream m_stream;
};

// Traces entry and exit of a scope when the level reaches its verbosity.
class scope_trace {
public:
    scope_trace(const char* text, int verbosity = 3);
    ~scope_trace();
    scope_trace(const scope_trace&) = delete;
    scope_trace& operator=(const scope_trace&) = delete;

private:
    const char* m_text;
    int m_verbosity;
};

}  // namespace log_space

// A message of the given verbosity; 'expr' is a chain of << operands.
// 'file_name' names the file stream's file (nullptr: its default file).
#define ZEM_LOG_TO(verbosity, file_name, expr)           \
    do {                                                 \
        if (::log_space::enabled(verbosity)) {           \
            ::platform::last_error_guard zem_log_guard_; \
            try {                                        \
                ::log_space::log_message zem_log_msg_;   \
                zem_log_msg_ << expr;                    \
                zem_log_msg_.commit(file_name);          \
            } catch (...) {                              \
            }                                            \
        }                                                \
    } while (0)

#define ZEM_LOG(verbosity, expr) ZEM_LOG_TO(verbosity, nullptr, expr)

// An error entry: written whatever the level, with its source and line.
#define ZEM_LOG_ERROR(source, expr)                                                             \
    do {                                                                                        \
        ::platform::last_error_guard zem_log_guard_;                                            \
        try {                                                                                   \
            ::log_space::log_message zem_log_msg_;                                              \
            zem_log_msg_ << "Erorr!!! " << source << " ln:" << __LINE__ << " " << expr << "\n"; \
            zem_log_msg_.commit();                                                              \
        } catch (...) {                                                                         \
        }                                                                                       \
    } while (0)

#define ZEM_SCOPE_TRACE(text) ::log_space::scope_trace zem_scope_trace_(text, 3)
