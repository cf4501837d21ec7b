#include "kit/kit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

namespace kit {

bool capturing_provider::send_out(const char* data, int len) {
    out.append(data, static_cast<std::size_t>(len));
    events.push_back({event::send_out, std::string(data, static_cast<std::size_t>(len))});
    return true;
}
bool capturing_provider::close_out() {
    ++close_out_count;
    events.push_back({event::close_out, {}});
    return true;
}
bool capturing_provider::send_in(const char* data, int len) {
    in.append(data, static_cast<std::size_t>(len));
    events.push_back({event::send_in, std::string(data, static_cast<std::size_t>(len))});
    return true;
}
bool capturing_provider::close_in() {
    ++close_in_count;
    events.push_back({event::close_in, {}});
    return true;
}
bool capturing_provider::get_connection_info(zem::connection_info* info) {
    ++info_calls;
    info->id0 = id0;
    info->id1 = id1;
    info->id2 = id2;
    std::memcpy(info->address_a, address_a, sizeof address_a);
    std::memcpy(info->address_b, address_b, sizeof address_b);
    return true;
}

int fake_host::invoke_command(const zem::GUID* channel, int code, zem::mem_slice* request, zem::mem_slice* out) {
    std::lock_guard<std::mutex> g(m_lock);
    int len = 0;
    const char* p = request ? request->data(&len) : nullptr;
    m_commands.push_back({code, p ? std::string(p, static_cast<std::size_t>(len)) : std::string(),
                          channel && zem::same_guid(*channel, zem::channel_guid), std::string()});
    const std::string& req = m_commands.back().data;
    const std::size_t addr_off = code == 1006 ? 44 : code == 1009 ? 36 : 0;
    if (addr_off != 0 && req.size() >= addr_off + 16) {
        const auto* at = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(le64(req, addr_off)));
        const std::uint64_t n = le64(req, addr_off + 8);
        if (at && n) m_commands.back().referenced.assign(at, static_cast<std::size_t>(n));
    }
    reply r;
    auto q = m_once.find(code);
    if (q != m_once.end() && !q->second.empty()) {
        r = q->second.front();
        q->second.pop_front();
    } else {
        auto s = m_standing.find(code);
        if (s == m_standing.end()) return -1;  // unknown command: failure
        r = s->second;
    }
    if (r.rc != 0) return r.rc;
    if (out && !r.bytes.empty()) out->assign(r.bytes.data(), static_cast<int>(r.bytes.size()));
    return 0;
}

bool fake_host::notify_event(const zem::GUID* channel, int code, zem::mem_slice* data) {
    std::lock_guard<std::mutex> g(m_lock);
    int len = 0;
    const char* p = data ? data->data(&len) : nullptr;
    m_notifications.push_back({code, p ? std::string(p, static_cast<std::size_t>(len)) : std::string(),
                               channel && zem::same_guid(*channel, zem::channel_guid), std::string()});
    return m_accept;
}

void fake_host::set_reply(int code, const std::string& bytes, int rc) {
    std::lock_guard<std::mutex> g(m_lock);
    m_standing[code] = reply{rc, bytes, false};
}

void fake_host::push_reply(int code, const std::string& bytes, int rc) {
    std::lock_guard<std::mutex> g(m_lock);
    m_once[code].push_back(reply{rc, bytes, false});
}

void fake_host::set_accept_notifications(bool accept) {
    std::lock_guard<std::mutex> g(m_lock);
    m_accept = accept;
}

std::vector<fake_host::record> fake_host::commands(int code) const {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<record> r;
    for (auto& c : m_commands)
        if (code < 0 || c.code == code) r.push_back(c);
    return r;
}

std::vector<fake_host::record> fake_host::notifications(int code) const {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<record> r;
    for (auto& c : m_notifications)
        if (code < 0 || c.code == code) r.push_back(c);
    return r;
}

void fake_host::clear_records() {
    std::lock_guard<std::mutex> g(m_lock);
    m_commands.clear();
    m_notifications.clear();
}

std::uint32_t le32(const std::string& s, std::size_t off) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s.at(off + static_cast<std::size_t>(i)));
    return v;
}
std::uint64_t le64(const std::string& s, std::size_t off) {
    return static_cast<std::uint64_t>(le32(s, off)) | (static_cast<std::uint64_t>(le32(s, off + 4)) << 32);
}
void put_le32(std::string& s, std::size_t off, std::uint32_t v) {
    if (s.size() < off + 4) s.resize(off + 4, '\0');
    for (int i = 0; i < 4; ++i) s[off + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
}
void put_le64(std::string& s, std::size_t off, std::uint64_t v) {
    put_le32(s, off, static_cast<std::uint32_t>(v));
    put_le32(s, off + 4, static_cast<std::uint32_t>(v >> 32));
}
std::string le32_bytes(std::uint32_t v) {
    std::string s;
    put_le32(s, 0, v);
    return s;
}
std::string le64_bytes(std::uint64_t v) {
    std::string s;
    put_le64(s, 0, v);
    return s;
}
std::string utf16le(const std::string& ascii) {
    std::string s;
    for (char c : ascii) {
        s += c;
        s += '\0';
    }
    return s;
}

std::string attach_reply(std::uint32_t action, const std::string& name_utf16le, const std::string& body) {
    std::string r(28, '\0');
    put_le32(r, 0, action);
    if (!name_utf16le.empty()) {
        put_le64(r, 4, 28 - 4);
        put_le64(r, 12, name_utf16le.size());
        r += name_utf16le;
        r += std::string(2, '\0');
    }
    if (!body.empty()) {
        put_le32(r, 20, static_cast<std::uint32_t>(r.size()));
        put_le32(r, 24, static_cast<std::uint32_t>(body.size()));
        r += body;
    }
    return r;
}

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

std::string permission_reply(std::initializer_list<int> blocked) {
    std::int32_t actions[22] = {};
    for (int i : blocked) actions[i] = 1;
    return permission_reply_of(actions);
}

std::string permission_reply_of(const std::int32_t* actions, const std::string& text_ref, const std::string& tail) {
    std::string r;
    for (std::size_t i = 0; i < 22; ++i) r += le32_bytes(static_cast<std::uint32_t>(actions[i]));
    return r + text_ref + tail;
}

std::string ref(std::uint64_t off, std::uint64_t len) { return le64_bytes(off) + le64_bytes(len); }

std::string word_list_reply(const std::vector<std::string>& words, std::size_t first, std::uint8_t list_flag) {
    std::string out = le64_bytes(words.size());
    if (first > 8) out.append(first - 8, static_cast<char>(list_flag));
    const std::size_t fixed = first + 16 * words.size();
    std::string strings;
    for (std::size_t k = 0; k < words.size(); ++k) {
        const std::size_t entry = first + 16 * k;
        const std::string wide = utf16le(words[k]);
        out += le64_bytes(fixed + strings.size() - entry);
        out += le64_bytes(wide.size());
        strings += wide + std::string(2, '\0');
    }
    out += strings;
    if (out.size() < 26) out.resize(26, '\0');
    return out;
}

std::string narrow_text_reply(const std::string& text) { return ref(16, text.size()) + text + std::string(1, '\0'); }

std::string ads_sizes_reply(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& sizes) {
    std::string r = le64_bytes(sizes.size());
    for (const auto& s : sizes) r += le32_bytes(s.first) + le32_bytes(s.second);
    return r + le64_bytes(0);
}

std::vector<std::string> notification_events(const fake_host& host, bool with_bytes) {
    std::map<std::uint64_t, int> ordinal;
    auto name = [&](std::uint64_t id) {
        auto it = ordinal.find(id);
        return it == ordinal.end() ? std::string("#0") : "#" + std::to_string(it->second);
    };
    std::vector<std::string> r;
    for (const auto& n : host.notifications()) {
        std::uint64_t id = n.data.size() >= 36 ? le64(n.data, 28) : 0;
        switch (n.code) {
            case zem::codes::http_notify_request:
                ordinal.emplace(id, static_cast<int>(ordinal.size()) + 1);
                r.push_back("request " + name(id));
                break;
            case zem::codes::http_notify_response:
                r.push_back("response " + name(id) + " " + std::to_string(le64(n.data, 64)));
                break;
            case zem::codes::general_notify_transfer_complete:
                r.push_back("complete " + name(id) + " " + std::to_string(le32(n.data, 44)) +
                            (with_bytes ? " bytes " + std::to_string(le64(n.data, 36)) : std::string()));
                break;
            case zem::codes::general_notify_object_blocked:
                r.push_back("blocked " + name(id) + " " + std::to_string(le32(n.data, 44)));
                break;
            default:
                break;
        }
    }
    return r;
}

std::vector<std::string> one_byte_chunks(const std::string& s) {
    std::vector<std::string> r;
    for (char c : s) r.emplace_back(1, c);
    return r;
}

std::vector<std::string> split_at(const std::string& s, std::size_t at) {
    if (at > s.size()) at = s.size();
    return {s.substr(0, at), s.substr(at)};
}

std::vector<std::string> random_chunks(const std::string& s, std::uint32_t seed, std::size_t max_chunk) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> d(1, max_chunk ? max_chunk : 1);
    std::vector<std::string> r;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t n = d(rng);
        r.push_back(s.substr(pos, n));
        pos += n;
    }
    return r;
}

std::uint32_t test_seed() {
    static const std::uint32_t seed = [] {
        const char* e = std::getenv("ZEM_TEST_SEED");
        std::uint32_t s = e ? static_cast<std::uint32_t>(std::strtoul(e, nullptr, 10)) : 20261208u;
        std::fprintf(stderr, "[kit] random chunking seed %u (set ZEM_TEST_SEED to change)\n", s);
        return s;
    }();
    return seed;
}

}  // namespace kit
