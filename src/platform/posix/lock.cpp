#include "platform/lock.h"

#include <new>

namespace platform {
namespace {
using native_lock = std::recursive_mutex;
static_assert(sizeof(native_lock) <= critical_section::native_size, "lock storage too small");
static_assert(alignof(native_lock) <= 8, "lock storage under-aligned");
native_lock& native(unsigned char* p) { return *std::launder(reinterpret_cast<native_lock*>(p)); }
}  // namespace

critical_section::critical_section() { new (m_native) native_lock(); }
critical_section::~critical_section() { native(m_native).~native_lock(); }
void critical_section::lock() { native(m_native).lock(); }
void critical_section::unlock() { native(m_native).unlock(); }
bool critical_section::try_lock() { return native(m_native).try_lock(); }

}  // namespace platform
