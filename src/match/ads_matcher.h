#pragma once
// The process-wide advertisement keyword matcher behind the qualifiers'
// check_ad_link: words from the host, reloaded when the host's configuration
// cookie changes (checked at most once per second), guarded by its own lock.
#include <cstdint>

#include "core/strings.h"
#include "host/ad_link_checker.h"

namespace ads_matcher {
// true = the link is an advertisement; keyword receives the matched word.
bool is_ad_link(const byte_string& url, byte_string& keyword);
bool is_ad_link(const wide_string& url, byte_string& keyword);
// The matcher as the qualifiers reach it: the module installs it with
// zem_io_commands::set_ad_link_checker. Lives for the rest of the process.
zem_io_commands::i_ad_link_checker& checker();
// Forgets words, cookie and check time (module load state); for tests.
void reset();
// Replaces the millisecond tick source used to pace the cookie checks
// (nullptr restores the platform's); for tests and benchmarks.
using tick_source = std::uint32_t (*)();
void set_tick_source(tick_source source);
}  // namespace ads_matcher
