#pragma once
// Shared pieces of the HTML filter tests: feeding helpers, and readers for the notifications the host gets.
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
#include "kit/qualifier.h"
#include "platform/codepage.h"
#include "platform/registry.h"

namespace kit {

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

inline std::string run_narrow(kit::test_qualifier& q, const std::vector<std::string>& chunks,
                              const std::string& base = std::string()) {
    stub_connection_feedback fb;
    html::narrow_html_sub_handler h(&q, &fb, "http://example.test/page.html");
    h.set_base_address(base);
    return feed(h, chunks);
}

inline std::string run_narrow(kit::test_qualifier& q, const std::string& page) {
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

// Reply of 1009: replace flag, then offset and length of the new script.
inline std::string check_script_reply(bool replace, const std::string& script) {
    std::string r(1, replace ? '\1' : '\0');
    std::uint32_t off = script.empty() ? 0 : 9;
    r += kit::le32_bytes(off);
    r += kit::le32_bytes(static_cast<std::uint32_t>(script.size()));
    return r + script;
}

}  // namespace kit
