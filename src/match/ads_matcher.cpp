#include "match/ads_matcher.h"

#include <cstring>
#include <new>

#include "host/zem_io_commands.h"
#include "log/log.h"
#include "match/multiple_matcher.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/lock.h"

namespace ads_matcher {
namespace {

// Cookie checks closer together than this are skipped.
constexpr std::uint32_t check_interval_ms = 999;

struct ads_state {
    platform::critical_section lock;
    multiple_matcher matcher;
    zem_io_commands::config_cookie cookie;
    std::uint32_t last_check = 0;
    bool loaded = false;
    tick_source ticks = nullptr;
};

ads_state& state() {
    static ads_state s;
    return s;
}

std::uint32_t now(const ads_state& s) { return s.ticks ? s.ticks() : platform::tick_count(); }

// Under the lock: ask for the cookie when the last question is old enough,
// and reload the words when they were never loaded or the cookie moved.
void refresh(ads_state& s) {
    const std::uint32_t t = now(s);
    if (static_cast<std::uint32_t>(t - s.last_check) > check_interval_ms) {
        // Start from the stored cookie: a failed question then leaves it as it
        // was instead of looking like a change (and a reload every second).
        zem_io_commands::config_cookie fresh = s.cookie;
        zem_io_commands::general_query_config_cookie(fresh);
        s.last_check = t;
        if (std::memcmp(fresh.bytes, s.cookie.bytes, sizeof fresh.bytes) != 0) {
            s.cookie = fresh;
            s.loaded = false;
        }
    }
    if (!s.loaded) {
        zem_io_commands::wide_list words;
        std::uint8_t list_flag = 0;
        if (!zem_io_commands::http_query_ads_block_words(words, list_flag)) words.clear();
        s.matcher.assign(words);
        s.loaded = true;
    }
}

bool check(const byte_string& url, byte_string& keyword) {
    ads_state& s = state();
    platform::section_guard guard(s.lock);
    refresh(s);
    byte_string found;
    std::size_t start = 0, end = 0;
    bool partial = false;
    if (!s.matcher.search(url, found, start, end, partial)) return false;
    keyword = found;
    return true;
}

}  // namespace

bool is_ad_link(const byte_string& url, byte_string& keyword) {
    try {
        if (!check(url, keyword)) return false;
        ZEM_LOG(2, "ADVERTISMENT BLOCKED:SRC=\"" << url << "\" by \"" << keyword << "\"\n");
        return true;
    } catch (...) {
        // Out of memory while rebuilding or searching: treat the link as clean.
        return false;
    }
}

bool is_ad_link(const wide_string& url, byte_string& keyword) {
    try {
        const byte_string narrow = platform::wide_to_ansi(url);
        if (!check(narrow, keyword)) return false;
        ZEM_LOG(2, "ADVERTISMENT BLOCKED:SRC=\"" << narrow << "\" (unicode html) by \"" << keyword << "\"\n");
        return true;
    } catch (...) {
        return false;
    }
}

void reset() {
    ads_state& s = state();
    platform::section_guard guard(s.lock);
    s.matcher.assign(std::vector<byte_string>());
    s.cookie = zem_io_commands::config_cookie();
    s.last_check = 0;
    s.loaded = false;
}

void set_tick_source(tick_source source) {
    ads_state& s = state();
    platform::section_guard guard(s.lock);
    s.ticks = source;
}

}  // namespace ads_matcher
