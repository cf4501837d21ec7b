// The registry of a POSIX system: a .reg file named by ZEM_REGISTRY, parsed
// again whenever its identity, size or time changes.
#include "platform/registry_store.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/never_destroyed.h"

namespace platform {
namespace {
struct file_stamp {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    long long mtime_ns = -1;
    bool operator==(const file_stamp& o) const {
        return path == o.path && dev == o.dev && ino == o.ino && size == o.size && mtime_ns == o.mtime_ns;
    }
};

struct registry_state {
    std::mutex lock;
    file_stamp stamp;
    bool loaded = false;
    std::map<std::string, reg_value> values;
    std::vector<std::string> pending_warnings;
};

// Never destroyed: a connection made while the process exits still reads
// its configuration.
registry_state& state() {
    static never_destroyed<registry_state> s;
    return s.get();
}

// Caller holds the lock.
void refresh(registry_state& s) {
    const char* env = std::getenv("ZEM_REGISTRY");
    file_stamp now;
    if (env && *env) {
        now.path = env;
        struct stat st {};
        if (::stat(env, &st) == 0) {
            now.dev = st.st_dev;
            now.ino = st.st_ino;
            now.size = st.st_size;
            now.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
        }
    }
    if (s.loaded && now == s.stamp) return;
    s.stamp = now;
    s.loaded = true;
    s.values.clear();
    if (now.size < 0) return;  // missing or unreadable: defaults, silently
    std::ifstream f(now.path, std::ios::binary);
    if (!f) return;
    std::ostringstream buf;
    buf << f.rdbuf();
    reg_parse_result r = parse_reg_text(buf.str());
    s.values.swap(r.values);
    for (auto& w : r.warnings) s.pending_warnings.push_back(now.path + ": " + w);
}

}  // namespace

bool registry_store_query(const std::string& key_path, const std::string& name, reg_value& out) {
    registry_state& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    refresh(s);
    auto it = s.values.find(reg_make_key(key_path, name));
    if (it == s.values.end()) return false;
    out = it->second;
    return true;
}

std::vector<std::string> registry_store_take_warnings() {
    registry_state& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    std::vector<std::string> out;
    out.swap(s.pending_warnings);
    return out;
}

}  // namespace platform
