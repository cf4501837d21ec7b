#include "platform/last_error.h"

#include <cerrno>

namespace platform {

unsigned long get_last_error() { return static_cast<unsigned long>(errno); }
void set_last_error(unsigned long e) { errno = static_cast<int>(e); }

}  // namespace platform
