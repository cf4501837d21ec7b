#include "platform/lock.h"

#include <windows.h>

namespace platform {
namespace {
static_assert(sizeof(CRITICAL_SECTION) <= critical_section::native_size, "lock storage too small");
static_assert(alignof(CRITICAL_SECTION) <= 8, "lock storage under-aligned");
CRITICAL_SECTION* native(unsigned char* p) { return reinterpret_cast<CRITICAL_SECTION*>(p); }
}  // namespace

// Critical sections are recursive by nature: the owner may enter again.
critical_section::critical_section() { InitializeCriticalSection(native(m_native)); }
critical_section::~critical_section() { DeleteCriticalSection(native(m_native)); }
void critical_section::lock() { EnterCriticalSection(native(m_native)); }
void critical_section::unlock() { LeaveCriticalSection(native(m_native)); }
bool critical_section::try_lock() { return TryEnterCriticalSection(native(m_native)) != FALSE; }

}  // namespace platform
