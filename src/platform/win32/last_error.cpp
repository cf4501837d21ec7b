#include "platform/last_error.h"

#include <windows.h>

namespace platform {

unsigned long get_last_error() { return GetLastError(); }
void set_last_error(unsigned long e) { SetLastError(e); }

}  // namespace platform
