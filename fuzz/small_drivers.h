// Drivers for the small parsers: the host reply decoders, the keyword
// matcher and the registry file parser. Each returns "" when its checks hold
// and the failed check otherwise; the libFuzzer entries in fuzz/ and the
// regression test that replays saved inputs share them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/host_link.h"
#include "host/ipc_permission_qualifier.h"
#include "host/mail_commands.h"
#include "host/zem_io_commands.h"
#include "log/log.h"
#include "match/multiple_matcher.h"
#include "platform/registry.h"
#include "zem/external_iface.h"

namespace fuzz_drivers {

#define ZEM_FUZZ_CHECK_STR2(x) #x
#define ZEM_FUZZ_CHECK_STR(x) ZEM_FUZZ_CHECK_STR2(x)
#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) return std::string("line " ZEM_FUZZ_CHECK_STR(__LINE__) ": " #cond); \
    } while (0)

// Answers every command with the same reply bytes (or the same failing
// return code) and every notification with the same verdict.
class replaying_host : public zem::i_external_iface {
public:
    int invoke_command(const zem::GUID*, int, zem::mem_slice*, zem::mem_slice* reply) override {
        if (rc != 0) return rc;
        if (reply && !bytes.empty()) reply->assign(bytes.data(), static_cast<int>(bytes.size()));
        return 0;
    }
    bool notify_event(const zem::GUID*, int, zem::mem_slice*) override { return accept; }
    std::string bytes;
    int rc = 0;
    bool accept = true;
};

inline std::size_t total_units(const zem_io_commands::wide_list& l) {
    std::size_t n = 0;
    for (const auto& w : l) n += w.size();
    return n;
}

// ---------------------------------------------------------------------------
// host_replies: every reply decoder of the host channel on arbitrary replies.
// The first input byte picks the command (and the host's return code); the
// rest is the reply. Nothing may crash, read outside the reply or throw, and
// what a decoder accepts must fit in the reply it came from (word lists,
// whose entries may share their text, within their documented bound).
inline std::string run_host_replies(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return "";
    log_space::m_level = -1;
    replaying_host host;
    struct install {
        explicit install(replaying_host* h) { zem_io_commands::set_host_iface(h); }
        ~install() { zem_io_commands::set_host_iface(nullptr); }
    } installed(&host);
    const std::uint8_t selector = data[0];
    host.bytes.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    host.rc = (selector & 0x80) ? 1 : 0;
    host.accept = (selector & 0x40) == 0;
    const std::size_t reply_size = host.bytes.size();
    namespace io = zem_io_commands;

    switch (selector % 12) {
        case 0: {
            std::int32_t perms[26];
            byte_string text;
            if (io::general_query_permission_array("h", "h/", nullptr, perms, 1, text)) {
                for (int i = 22; i < 26; ++i) CHECK(perms[i] == 0);
                CHECK(text.size() <= reply_size);
            } else {
                for (int i = 0; i < 22; ++i) CHECK(perms[i] == 0);
            }
            break;
        }
        case 1: {
            bool allow = false;
            std::int32_t next = 0;
            io::do_learn_for_index("h", allow, nullptr, 2, 1, next);
            break;
        }
        case 2: {
            io::wide_list words;
            if (io::http_query_stop_words(words))
                CHECK(total_units(words) * 2 <= std::max(reply_size, io::word_list_max_bytes) &&
                      words.size() <= reply_size / 16);
            break;
        }
        case 3: {
            io::wide_list words;
            std::uint8_t flag = 0;
            if (io::http_query_ads_block_words(words, flag))
                CHECK(total_units(words) * 2 <= std::max(reply_size, io::word_list_max_bytes) &&
                      words.size() <= reply_size / 16);
            break;
        }
        case 4: {
            io::size_list sizes;
            if (io::http_query_ads_block_sizes(sizes))
                CHECK(sizes.size() * 8 + 16 <= reply_size);
            else
                CHECK(sizes.empty());
            break;
        }
        case 5: {
            byte_string text;
            if (io::http_query_block_message_html(text)) CHECK(text.size() < reply_size);
            break;
        }
        case 6: {
            byte_string text;
            if (io::http_query_transparent_gif(text)) CHECK(text.size() < reply_size);
            break;
        }
        case 7: {
            byte_string script = "original";
            if (io::http_check_script(script, nullptr, 1))
                CHECK(script == "original" || script.size() <= reply_size);
            else
                CHECK(script == "original");
            wide_string wide = L"w";
            io::http_check_script(wide, nullptr, 1);
            break;
        }
        case 8: {
            io::config_cookie cookie;
            io::general_query_config_cookie(cookie);
            io::firewall_allow_connection(nullptr, 1, 2);
            break;
        }
        case 9: {
            mail::mail_info_summary s;
            s.object_name = L"a.exe";
            byte_string body = "body";
            std::int32_t action = 0;
            if (io::mail_check_mail_attach(nullptr, body, s, action)) {
                CHECK(body == "body" || body.size() <= reply_size);
                CHECK(s.object_name.size() * 2 <= reply_size);
            } else {
                CHECK(body == "body" && s.object_name == L"a.exe" && action == 0);
            }
            io::http_notify_mail_message_info(nullptr, s);
            break;
        }
        default: {
            // The qualifier on the same reply for every question it may ask.
            io::ipc_permission_qualifier q(nullptr);
            q.set_request("h", "h/", 1);
            for (int i = -1; i <= 23; ++i) q.get_permission_by_index(i);
            q.check_ad_size(468, 60);
            q.get_transparent_gif(wide_string());
            break;
        }
    }
    return "";
}

// ---------------------------------------------------------------------------
// matcher: the keyword matcher under arbitrary keyword lists and texts.
// Input: one byte with the keyword count, then each keyword as a length byte
// and its bytes, then the text. The search must report offsets inside the
// text, a keyword from the list, and (when no keyword ends in a star after
// trimming) the same hit when the text is searched in two pieces with the
// partial tail carried over.
struct match_outcome {
    bool hit = false;
    std::string keyword;
    std::size_t start = 0, end = 0;
    bool partial = false;
};

inline match_outcome search_once(const multiple_matcher& m, const std::string& text) {
    match_outcome o;
    o.hit = m.search(text, o.keyword, o.start, o.end, o.partial);
    return o;
}

inline std::string run_matcher(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return "";
    log_space::m_level = -1;  // keep override lines out of the fuzzer's output
    std::size_t pos = 0;
    const std::size_t count = data[pos++] % 32;
    std::vector<std::string> words;
    bool poisoned = false;  // some keyword still ends in '*' once trimmed
    for (std::size_t k = 0; k < count && pos < size; ++k) {
        std::size_t len = data[pos++] % 24;
        if (len > size - pos) len = size - pos;
        std::string w(reinterpret_cast<const char*>(data + pos), len);
        pos += len;
        std::string t = w;
        if (!t.empty() && t.front() == '*') t.erase(0, 1);
        if (t.size() >= 2 && t.back() == '*' && t[t.size() - 2] == '*') poisoned = true;
        words.push_back(w);
    }
    const std::string text(reinterpret_cast<const char*>(data + pos), size - pos);

    multiple_matcher m;
    m.assign(words);
    const match_outcome whole = search_once(m, text);
    if (whole.hit) {
        CHECK(whole.start <= whole.end && whole.end < text.size());
        CHECK(!whole.partial);
        bool listed = false;
        for (const auto& w : words)
            if (w.find(whole.keyword) != std::string::npos) listed = true;
        CHECK(listed);
    } else if (whole.partial) {
        CHECK(whole.start < text.size());
    } else {
        CHECK(whole.start == 0 && whole.end == 0);
    }
    if (poisoned || text.empty()) return "";

    const std::size_t cut = data[0] % (text.size() + 1);
    const match_outcome first = search_once(m, text.substr(0, cut));
    if (first.hit) {
        CHECK(whole.hit && first.keyword == whole.keyword && first.start == whole.start && first.end == whole.end);
        return "";
    }
    const std::size_t base = first.partial ? first.start : cut;
    const match_outcome rest = search_once(m, text.substr(base));
    CHECK(rest.hit == whole.hit);
    if (whole.hit)
        CHECK(rest.keyword == whole.keyword && rest.start + base == whole.start && rest.end + base == whole.end);
    return "";
}

// ---------------------------------------------------------------------------
// registry: the registry file parser on arbitrary bytes. It must never crash
// or read out of bounds (the sanitizers watch), and every stored value
// sits under a key ("key\nname").
inline std::string run_registry(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const platform::reg_parse_result r = platform::parse_reg_text(text);
    for (const auto& kv : r.values) CHECK(kv.first.find('\n') != std::string::npos);
    return "";
}

#undef CHECK
#undef ZEM_FUZZ_CHECK_STR
#undef ZEM_FUZZ_CHECK_STR2

}  // namespace fuzz_drivers
