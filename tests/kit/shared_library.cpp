#include "kit/shared_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kit {

#if defined(_WIN32)

shared_library::shared_library(const std::string& path) {
    m_handle = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (!m_handle) m_error = "LoadLibrary failed, error " + std::to_string(GetLastError());
}

shared_library::~shared_library() {
    if (m_handle) FreeLibrary(reinterpret_cast<HMODULE>(m_handle));
}

void* shared_library::symbol(const char* name) const {
    if (!m_handle) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(m_handle), name));
}

#else

shared_library::shared_library(const std::string& path) {
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle) m_error = dlerror();
}

shared_library::~shared_library() {
    if (m_handle) dlclose(m_handle);
}

void* shared_library::symbol(const char* name) const { return m_handle ? dlsym(m_handle, name) : nullptr; }

#endif

}  // namespace kit
