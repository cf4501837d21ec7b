#pragma once
// Shared pieces of the HTML filter tests: a qualifier whose answers the test
// sets, feeding helpers, and readers for the notifications the host gets.
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/configuration.h"
#include "host/host_link.h"
#include "host/permission_qualifier.h"
#include "html/html_sub_handlers.h"
#include "kit/kit.h"
#include "platform/codepage.h"
#include "platform/registry.h"

namespace html_test {

class scripted_qualifier : public host_permission_qualifier {
public:
    std::int32_t permissions[permission_array_words] = {};
    std::vector<std::string> ad_words;  // a link containing one is an advertisement
    std::set<std::pair<int, int>> ad_sizes;
    std::string host;
    std::string gif = "C:\\t.gif";
    std::uint64_t request_id = 77;
    int ad_link_checks = 0;
    int ad_size_checks = 0;
    int permission_questions = 0;

    void block(int idx) { permissions[idx] = content_action_block; }

    bool set_request(const byte_string&, const byte_string&, std::uint64_t) override { return true; }
    wide_string get_host(const wide_string&) override { return platform::ansi_to_wide(host); }
    byte_string get_host(const byte_string&) override { return host; }
    wide_string get_address(const wide_string&) override { return L"page"; }
    byte_string get_address(const byte_string&) override { return "page"; }
    void set_address(const wide_string&) override {}
    void set_address(const byte_string&) override {}
    void set_redirect(const byte_string&) override {}
    byte_string get_redirect() override { return byte_string(); }
    wide_string get_transparent_gif(const wide_string&) override { return platform::ansi_to_wide(gif); }
    byte_string get_transparent_gif(const byte_string&) override { return gif; }
    std::uint64_t get_request_id() override { return request_id; }
    std::int32_t* get_permissions() override { return permissions; }
    // The host's answer to a learn question: (allow now, action to keep).
    std::map<int, std::pair<bool, std::int32_t>> learn_answers;
    int learn_questions = 0;

    bool get_permission_by_index(int index) override {
        ++permission_questions;
        if (permissions[index] == content_action_learn) {
            ++learn_questions;
            auto a = learn_answers.find(index);
            if (a == learn_answers.end()) return true;
            permissions[index] = a->second.second;
            return a->second.first;
        }
        return permissions[index] != content_action_block;
    }
    bool check_ad_link(const wide_string& url, byte_string& keyword) override {
        return check_ad_link(platform::wide_to_ansi(url), keyword);
    }
    bool check_ad_link(const byte_string& url, byte_string& keyword) override {
        ++ad_link_checks;
        for (const auto& w : ad_words)
            if (url.find(w) != std::string::npos) {
                keyword = w;
                return false;
            }
        return true;
    }
    bool check_ad_size(int width, int height) override {
        ++ad_size_checks;
        return ad_sizes.count({width, height}) == 0;
    }
};

// A fake host installed for one test, with the comment option set as asked.
struct host_scope {
    kit::fake_host host;
    explicit host_scope(std::uint32_t comment_option = 0) {
        platform::reg_override_clear();
        platform::reg_override_isolate(true);
        if (comment_option) platform::reg_override_set_u32(config::net_key, "html_comment_replacement", comment_option);
        zem_io_commands::set_host_iface(&host);
    }
    ~host_scope() {
        zem_io_commands::set_host_iface(nullptr);
        platform::reg_override_clear();
        platform::reg_override_isolate(false);
    }
};

// Feeds the chunks through a sub-handler and stops it; all output in order.
inline std::string feed(i_sub_handler& h, const std::vector<std::string>& chunks) {
    std::string out;
    for (auto c : chunks) {
        h.update_in(c);
        out += c;
    }
    std::string last;
    h.stop(last);
    return out + last;
}

inline std::string run_narrow(scripted_qualifier& q, const std::vector<std::string>& chunks,
                              const std::string& base = std::string()) {
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb, "http://example.test/page.html");
    h.set_base_address(base);
    return feed(h, chunks);
}

inline std::string run_narrow(scripted_qualifier& q, const std::string& page) {
    return run_narrow(q, std::vector<std::string>{page});
}

// One notification 202 decoded from its byte offsets.
struct blocked_note {
    std::uint64_t request_id = 0, count = 0;
    std::uint32_t index = 0, one = 0;
    std::string text, keyword, address;
};

inline std::string ref_bytes(const std::string& d, std::size_t ref) {
    std::uint64_t off = kit::le64(d, ref), len = kit::le64(d, ref + 8);
    if (off == 0) return std::string();
    return d.substr(ref + off, len);
}

inline std::string narrow_of_utf16(const std::string& b) {
    std::string s;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2) s += b[i];
    return s;
}

inline blocked_note decode_blocked(const std::string& d) {
    blocked_note n;
    n.request_id = kit::le64(d, 28);
    n.count = kit::le64(d, 36);
    n.index = kit::le32(d, 44);
    n.one = kit::le32(d, 48);
    n.text = narrow_of_utf16(ref_bytes(d, 52));
    n.keyword = ref_bytes(d, 68);
    n.address = ref_bytes(d, 84);
    return n;
}

inline std::vector<blocked_note> blocked_notes(const kit::fake_host& h) {
    std::vector<blocked_note> r;
    for (const auto& rec : h.notifications(zem::codes::general_notify_object_blocked))
        r.push_back(decode_blocked(rec.data));
    return r;
}

inline std::string read_data(const std::string& name) {
    std::ifstream f(std::string(ZEM_TEST_DATA_DIR) + "/html/" + name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Reply of 1002: N string_refs to wide words, offsets relative to each ref.
inline std::string stop_words_reply(const std::vector<std::string>& words) {
    std::string r = kit::le64_bytes(words.size());
    std::string strings;
    const std::size_t table_end = 8 + 16 * words.size();
    std::size_t at = table_end;
    std::vector<std::pair<std::size_t, std::size_t>> refs;
    for (const auto& w : words) {
        std::string u = kit::utf16le(w);
        refs.push_back({at, u.size()});
        strings += u + std::string(2, '\0');
        at += u.size() + 2;
    }
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::size_t ref_at = 8 + 16 * i;
        r += kit::le64_bytes(refs[i].first - ref_at);
        r += kit::le64_bytes(refs[i].second);
    }
    r += strings;
    while (r.size() < 24) r += '\0';
    return r + std::string(2, '\0');
}

// Reply of 1009: replace flag, then offset and length of the new script.
inline std::string check_script_reply(bool replace, const std::string& script) {
    std::string r(1, replace ? '\1' : '\0');
    std::uint32_t off = script.empty() ? 0 : 9;
    r += kit::le32_bytes(off);
    r += kit::le32_bytes(static_cast<std::uint32_t>(script.size()));
    return r + script;
}

}  // namespace html_test
