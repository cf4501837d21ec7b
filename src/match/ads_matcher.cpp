#include "match/ads_matcher.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "host/zem_io_commands.h"
#include "log/log.h"
#include "match/multiple_matcher.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/lock.h"
#include "platform/never_destroyed.h"

namespace ads_matcher {
namespace {

// Cookie checks closer together than this are skipped.
constexpr std::uint32_t check_interval_ms = 999;

// The lock guards the words' identity (cookie, pacing, which matcher is
// current), never a search: a search runs on the matcher it took under the
// lock, which is never changed once built, so filters on other threads check
// their links at the same time, and a reload replaces the matcher without
// waiting for searches on the old one.
struct ads_state {
    platform::critical_section lock;
    std::shared_ptr<const multiple_matcher> matcher;
    zem_io_commands::config_cookie cookie;
    std::uint32_t last_check = 0;
    bool loaded = false;
    tick_source ticks = nullptr;
};

// Set when the process exits or the library unloads: from then on every
// question gets the permissive answer at once, without the host.
std::atomic<bool> g_ending{false};

// Runs at exit or unload. A caller inside a check keeps the words it is
// using (its own reference to them); otherwise they are freed.
struct exit_guard {
    exit_guard() = default;
    exit_guard(const exit_guard&) = delete;
    exit_guard& operator=(const exit_guard&) = delete;
    ~exit_guard();
};

ads_state& state() {
    static platform::never_destroyed<ads_state> s;
    // Made after the state, so that it runs first at exit.
    static exit_guard guard;
    return s.get();
}

exit_guard::~exit_guard() {
    g_ending = true;
    ads_state& s = state();
    std::unique_lock<platform::critical_section> held(s.lock, std::try_to_lock);
    if (!held.owns_lock()) return;
    s.matcher.reset();
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
        auto fresh = std::make_shared<multiple_matcher>();
        // One for the process: a table of up to 16 MB keeps lists of
        // thousands of words on the automaton.
        fresh->set_automaton_limit(4u << 20);
        fresh->assign(words);
        s.matcher = std::move(fresh);
        s.loaded = true;
    }
}

bool check(const byte_string& url, byte_string& keyword) {
    if (g_ending) return false;
    ads_state& s = state();
    std::shared_ptr<const multiple_matcher> words;
    {
        platform::section_guard guard(s.lock);
        if (g_ending) return false;
        refresh(s);
        words = s.matcher;
    }
    if (!words || words->empty()) return false;
    byte_string found;
    std::size_t start = 0, end = 0;
    bool partial = false;
    if (!words->search(url, found, start, end, partial)) return false;
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

zem_io_commands::i_ad_link_checker& checker() {
    struct process_checker final : zem_io_commands::i_ad_link_checker {
        bool is_ad_link(const byte_string& url, byte_string& keyword) override {
            return ads_matcher::is_ad_link(url, keyword);
        }
        bool is_ad_link(const wide_string& url, byte_string& keyword) override {
            return ads_matcher::is_ad_link(url, keyword);
        }
    };
    static process_checker c;  // no state: nothing to destroy
    return c;
}

void reset() {
    ads_state& s = state();
    platform::section_guard guard(s.lock);
    s.matcher.reset();
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
