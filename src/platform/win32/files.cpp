#include "platform/files.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

namespace platform {
namespace {

bool write_all(HANDLE h, const char* data, std::size_t len) {
    while (len > 0) {
        const DWORD want = len > 0x100000 ? 0x100000 : static_cast<DWORD>(len);
        DWORD wrote = 0;
        if (!WriteFile(h, data, want, &wrote, nullptr) || wrote == 0) return false;
        data += wrote;
        len -= wrote;
    }
    return true;
}

// Opens for writing without following a reparse point (a symbolic link or
// junction) left in the file's place: such a file is refused.
HANDLE open_for_write(const std::string& path, DWORD access, DWORD disposition) {
    HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

}  // namespace

const char* default_certificate_folder() { return "C:\\mvxCertRep"; }

bool is_directory(const std::string& path) {
    if (path.empty()) return false;
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string join_path(const std::string& folder, const std::string& name) {
    if (!folder.empty() && is_separator(folder.back())) return folder + name;
    return folder + "\\" + name;
}

bool write_new_file(const std::string& folder, const char* prefix, const char* data, std::size_t len,
                    std::string& path_out) {
    // GetTempFileName picks an unused name and creates the file, so that
    // two writers never share one.
    char name[MAX_PATH + 1];
    if (GetTempFileNameA(folder.c_str(), prefix, 0, name) == 0) return false;
    path_out.assign(name);
    HANDLE h = open_for_write(path_out, GENERIC_WRITE, TRUNCATE_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = write_all(h, data, len);
    const bool closed = CloseHandle(h) != FALSE;
    return ok && closed;
}

bool append_file(const std::string& path, const char* data, std::size_t len) {
    HANDLE h = open_for_write(path, FILE_APPEND_DATA, OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = write_all(h, data, len);
    return CloseHandle(h) != FALSE && ok;
}

bool replace_file(const std::string& path, const char* data, std::size_t len) {
    HANDLE h = open_for_write(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = write_all(h, data, len);
    if (CloseHandle(h) != FALSE && ok) return true;
    DeleteFileA(path.c_str());
    return false;
}

bool list_folder(const std::string& folder, std::vector<folder_entry>& out) {
    out.clear();
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(join_path(folder, "*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return false;
    do {
        folder_entry e;
        e.name = found.cFileName;
        if (e.name == "." || e.name == "..") continue;
        e.is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        out.push_back(std::move(e));
    } while (FindNextFileA(h, &found));
    FindClose(h);
    std::sort(out.begin(), out.end(), [](const folder_entry& a, const folder_entry& b) { return a.name < b.name; });
    return true;
}

bool read_file(const std::string& path, std::string& out, std::size_t limit) {
    out.clear();
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
              GetFileSizeEx(h, &size) && static_cast<std::uint64_t>(size.QuadPart) <= limit;
    if (ok) {
        try {
            out.resize(static_cast<std::size_t>(size.QuadPart));
        } catch (...) {
            ok = false;
        }
    }
    std::size_t got = 0;
    while (ok && got < out.size()) {
        const std::size_t rest = out.size() - got;
        const DWORD want = rest > 0x100000 ? 0x100000 : static_cast<DWORD>(rest);
        DWORD n = 0;
        if (!ReadFile(h, &out[got], want, &n, nullptr) || n == 0) break;
        got += n;
    }
    CloseHandle(h);
    out.resize(ok ? got : 0);
    return ok;
}

}  // namespace platform
