#pragma once
// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
#include <string>
#include <vector>

namespace kit {

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return m_path; }
    // Names of the plain files directly inside, sorted.
    std::vector<std::string> files() const;
    std::string read(const std::string& name) const;

private:
    std::string m_path;
};

}  // namespace kit
