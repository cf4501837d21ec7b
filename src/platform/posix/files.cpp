#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace platform {

namespace {

bool write_all(int fd, const char* data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

const char* default_certificate_folder() { return "/var/lib/mvxCertRep"; }

bool is_directory(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string join_path(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

bool write_new_file(const std::string& folder, const char* prefix, const char* data, std::size_t len,
                    std::string& path_out) {
    const std::string tmpl = join_path(folder, std::string(prefix) + "XXXXXX");
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write_all(fd, data, len);
    const bool closed = ::close(fd) == 0;
    path_out.assign(name.data());
    return ok && closed;
}

bool append_file(const std::string& path, const char* data, std::size_t len) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = write_all(fd, data, len);
    return ::close(fd) == 0 && ok;
}

bool replace_file(const std::string& path, const char* data, std::size_t len) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = write_all(fd, data, len);
    if (::close(fd) == 0 && ok) return true;
    ::unlink(path.c_str());
    return false;
}

bool list_folder(const std::string& folder, std::vector<folder_entry>& out) {
    out.clear();
    DIR* d = ::opendir(folder.c_str());
    if (!d) return false;
    while (const dirent* e = ::readdir(d)) {
        folder_entry entry;
        entry.name = e->d_name;
        if (entry.name == "." || entry.name == "..") continue;
        entry.is_folder = is_directory(join_path(folder, entry.name));
        out.push_back(std::move(entry));
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const folder_entry& a, const folder_entry& b) { return a.name < b.name; });
    return true;
}

bool read_file(const std::string& path, std::string& out, std::size_t limit) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) <= limit;
    if (ok) {
        try {
            out.resize(static_cast<std::size_t>(st.st_size));
        } catch (...) {
            ok = false;
        }
    }
    std::size_t got = 0;
    while (ok && got < out.size()) {
        const ssize_t n = ::read(fd, &out[got], out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(ok ? got : 0);
    return ok;
}

}  // namespace platform
