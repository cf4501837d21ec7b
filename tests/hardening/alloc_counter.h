#pragma once
// A process-wide allocation counter: the hardening program replaces
// operator new and delete, so that a test can see the peak of what the
// engine holds while it works.
#include <cstddef>

namespace kit {

// Live and peak bytes obtained through operator new, process-wide.
std::size_t live_bytes();
std::size_t peak_bytes();
// Starts a new peak measurement from the current live count.
void reset_peak();

}  // namespace kit
