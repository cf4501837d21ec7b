#pragma once
// The engine's shared library opened as a host opens it (dlopen on POSIX,
// LoadLibrary on Windows), for tests of the exported entry points.
#include <string>

namespace kit {

class shared_library {
public:
    explicit shared_library(const std::string& path);
    ~shared_library();
    shared_library(const shared_library&) = delete;
    shared_library& operator=(const shared_library&) = delete;

    bool loaded() const { return m_handle != nullptr; }
    // Why it did not load, for the failure message.
    const std::string& error() const { return m_error; }
    // The exported function of that name, null when there is none.
    template <class F>
    F function(const char* name) const {
        return reinterpret_cast<F>(symbol(name));
    }

private:
    void* symbol(const char* name) const;

    void* m_handle = nullptr;
    std::string m_error;
};

}  // namespace kit
