#pragma once
// Driving the zem-host program from end-to-end tests: start it, wait for its
// "listening on" line, stop it, read its event log.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace kit {

inline std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

// Deterministic bytes covering every value, so any dropped, doubled or
// reordered byte shows up in a comparison.
inline std::string pattern_bytes(std::size_t n, std::uint32_t seed) {
    std::string s(n, '\0');
    std::uint32_t x = seed;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// The zem-host program, started with arguments; stdout is read for the
// "listening on" line.
class host_process {
public:
    bool start(const std::vector<std::string>& args) { return start_program(ZEM_HOST_BINARY, args); }
    // Any program (looked up in PATH), e.g. a server a test talks to.
    bool start_program(const std::string& program, const std::vector<std::string>& args) {
        int out[2];
        if (::pipe(out) != 0) return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<std::string> copy = args;
            copy.insert(copy.begin(), program);
            std::vector<char*> argv;
            for (auto& a : copy) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            ::execvp(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        m_out = ::fdopen(out[0], "r");
        return m_pid > 0;
    }
    // Reads one line of the program's standard output (empty at its end).
    std::string line() {
        char buf[4096];
        if (!m_out || !std::fgets(buf, sizeof buf, m_out)) return std::string();
        std::string s(buf);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }
    // Port from the "listening on ADDR:PORT" line; 0 when it did not come.
    int wait_listening() {
        const std::string l = line();
        if (l.rfind("listening on ", 0) != 0) return 0;
        return std::atoi(l.substr(l.rfind(':') + 1).c_str());
    }
    // Sends a signal and returns the exit status (or -1 for a crash).
    int stop(int sig = SIGTERM) {
        if (m_pid <= 0) return -1;
        ::kill(m_pid, sig);
        return wait();
    }
    void signal(int sig) { ::kill(m_pid, sig); }
    int wait() {
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        if (m_out) std::fclose(m_out);
        m_out = nullptr;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~host_process() {
        if (m_pid > 0) stop(SIGKILL);
    }

private:
    pid_t m_pid = -1;
    std::FILE* m_out = nullptr;
};

inline std::vector<nlohmann::json> read_events(const std::string& path) {
    std::vector<nlohmann::json> v;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) v.push_back(nlohmann::json::parse(line));
    return v;
}

inline std::size_t count_events(const std::vector<nlohmann::json>& v, const std::string& key, const std::string& name) {
    std::size_t n = 0;
    for (const auto& e : v)
        if (e.contains(key) && e[key] == name) ++n;
    return n;
}

}  // namespace kit
