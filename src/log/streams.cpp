#include "log/streams.h"

#include <cstdio>
#include <string>

#include "platform/process.h"

namespace log_space {

file_output_stream::file_output_stream(std::string dir, std::string default_file) : m_dir(std::move(dir)) {
    if (!default_file.empty()) m_default = open_file(default_file);
}

file_output_stream::~file_output_stream() {
    if (m_default) std::fclose(m_default);
    for (auto& kv : m_files)
        if (kv.second) std::fclose(kv.second);
}

void file_output_stream::rotate(const std::string& path) {
    std::size_t slash = path.find_last_of("/\\");
    std::size_t dot = path.find_last_of('.');
    std::string base =
        (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? path.substr(0, dot) : path;
    std::remove((base + ".0").c_str());
    std::rename((base + ".log").c_str(), (base + ".0").c_str());
}

std::FILE* file_output_stream::open_file(const std::string& name) {
    std::string path = m_dir;
    if (!path.empty() && path.back() != platform::path_separator()) path += platform::path_separator();
    path += name;
    rotate(path);
    return std::fopen(path.c_str(), "ab");
}

bool file_output_stream::write(const char* text, int length, const char* file_name) {
    std::FILE* f = nullptr;
    if (file_name && *file_name) {
        auto it = m_files.find(file_name);
        if (it == m_files.end()) it = m_files.emplace(file_name, open_file(file_name)).first;
        f = it->second;
    } else {
        f = m_default;
    }
    if (!f || length < 0) return false;
    bool ok = std::fwrite(text, 1, static_cast<std::size_t>(length), f) == static_cast<std::size_t>(length);
    std::fflush(f);
    return ok;
}

bool debug_output_stream::write(const char* text, int length, const char*) {
    for (int off = 0; off < length; off += 80) {
        int n = length - off < 80 ? length - off : 80;
        platform::debug_output(text + off, static_cast<std::size_t>(n));
    }
    return true;
}

console_output_stream::console_output_stream() : m_made_console(platform::console_open()) {}

console_output_stream::~console_output_stream() { platform::console_close(m_made_console); }

bool console_output_stream::write(const char* text, int length, const char*) {
    if (length <= 0) return true;
    std::string s(text, static_cast<std::size_t>(length));
    for (auto& c : s)
        if (c == 7) c = '^';
    return platform::console_write(s.data(), s.size());
}

}  // namespace log_space
