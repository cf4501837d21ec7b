#include "kit/temp_dir.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace kit {

temp_dir::temp_dir() {
    // A random name that nobody holds yet (create_directory refuses an
    // existing one), readable by the owner only, on every system.
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    std::random_device seed;
    std::mt19937 rng(seed());
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "zem_test_%08x", static_cast<unsigned>(rng()));
        const fs::path p = base / name;
        if (fs::create_directory(p, ec)) {
            fs::permissions(p, fs::perms::owner_all, ec);
            m_path = p.string();
        }
    }
}

temp_dir::~temp_dir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}

std::vector<std::string> temp_dir::files() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(m_path, ec))
        if (e.is_regular_file()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string temp_dir::read(const std::string& name) const {
    std::ifstream f(m_path + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace kit
