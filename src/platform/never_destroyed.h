#pragma once
// A process-wide object that connection threads may still be using while the
// process exits or the library unloads: built on first use (thread-safely, as
// a function-local static) and never destroyed, so that a late caller never
// meets a destroyed object. What it owns goes with the process; after an
// unload only the object itself stays behind (a few compiled expressions, a
// lock, a small cache).
#include <new>
#include <utility>

namespace platform {

template <class T>
class never_destroyed {
public:
    template <class... Args>
    explicit never_destroyed(Args&&... args) {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    never_destroyed(const never_destroyed&) = delete;
    never_destroyed& operator=(const never_destroyed&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }
    const T& get() const { return *std::launder(reinterpret_cast<const T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace platform
