#include "kit/temp_dir.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kit {

temp_dir::temp_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zem_test_XXXXXX").string();
    if (::mkdtemp(&tmpl[0])) m_path = tmpl;
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
