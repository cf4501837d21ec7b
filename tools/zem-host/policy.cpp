#include "policy.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "wire.h"

namespace zem_host {

namespace {

using nlohmann::json;

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A schema error names the path of the offending value; its position in the
// text is found afterwards by walking the path's keys through the text.
struct schema_error {
    std::vector<std::string> path;
    std::string message;
};

std::string path_text(const std::vector<std::string>& path) {
    std::string s;
    for (const auto& p : path) s += "/" + p;
    return s.empty() ? "/" : s;
}

[[noreturn]] void fail(std::vector<std::string> path, const std::string& msg) {
    throw schema_error{std::move(path), msg};
}

std::pair<std::size_t, std::size_t> line_col(const std::string& text, std::size_t pos) {
    std::size_t line = 1, col = 1;
    for (std::size_t i = 0; i < pos && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            col = 1;
        } else {
            ++col;
        }
    }
    return {line, col};
}

// Finds the text position of the value at path: each object key is searched
// as a quoted string after the previous one, each array index skips that many
// elements' opening positions roughly by counting separators. Good enough to
// point a person at the right line.
std::size_t locate(const std::string& text, const std::vector<std::string>& path) {
    std::size_t pos = 0;
    for (const auto& key : path) {
        if (!key.empty() && key[0] == '[') {
            // Array element: find the opening bracket, then skip top-level commas.
            std::size_t k = std::strtoul(key.c_str() + 1, nullptr, 10);
            std::size_t i = text.find('[', pos);
            if (i == std::string::npos) return pos;
            int depth = 0;
            bool in_str = false;
            ++i;
            while (i < text.size() && k > 0) {
                const char c = text[i];
                if (in_str) {
                    if (c == '\\')
                        ++i;
                    else if (c == '"')
                        in_str = false;
                } else if (c == '"') {
                    in_str = true;
                } else if (c == '[' || c == '{') {
                    ++depth;
                } else if (c == ']' || c == '}') {
                    if (depth == 0) break;
                    --depth;
                } else if (c == ',' && depth == 0) {
                    --k;
                }
                ++i;
            }
            while (i < text.size() && (text[i] == ' ' || text[i] == '\n' || text[i] == '\r' || text[i] == '\t')) ++i;
            pos = i;
            continue;
        }
        const std::string quoted = json(key).dump();
        const std::size_t f = text.find(quoted, pos);
        if (f == std::string::npos) return pos;
        pos = f;
    }
    return pos;
}

std::int32_t parse_action(const json& v, const std::vector<std::string>& path) {
    if (!v.is_string()) fail(path, "expected \"allow\", \"block\" or \"learn\"");
    const std::string s = v.get<std::string>();
    if (s == "allow") return action_allow;
    if (s == "block") return action_block;
    if (s == "learn") return action_learn;
    fail(path, "unknown action \"" + s + "\" (expected \"allow\", \"block\" or \"learn\")");
}

std::string get_string(const json& v, const std::vector<std::string>& path) {
    if (!v.is_string()) fail(path, "expected a string");
    return v.get<std::string>();
}

std::vector<std::string> get_words(const json& v, const std::vector<std::string>& path) {
    if (!v.is_array()) fail(path, "expected an array of strings");
    std::vector<std::string> out;
    for (std::size_t k = 0; k < v.size(); ++k) {
        auto p = path;
        p.push_back("[" + std::to_string(k) + "]");
        std::string w = get_string(v[k], p);
        if (w.empty()) fail(p, "empty word");
        out.push_back(std::move(w));
    }
    return out;
}

std::uint32_t get_u32(const json& v, const std::vector<std::string>& path, std::uint32_t max) {
    if (!v.is_number_integer() || (v.is_number_integer() && v.get<std::int64_t>() < 0) || v.get<std::uint64_t>() > max)
        fail(path, "expected a whole number from 0 to " + std::to_string(max));
    return static_cast<std::uint32_t>(v.get<std::uint64_t>());
}

// Reads the idx_* entries (and "redirect") of one permission set on top of base.
permission_set parse_set(const json& v, const permission_set& base, const std::vector<std::string>& path) {
    if (!v.is_object()) fail(path, "expected an object of idx_* names");
    permission_set s = base;
    for (auto it = v.begin(); it != v.end(); ++it) {
        auto p = path;
        p.push_back(it.key());
        if (it.key() == "redirect") {
            s.redirect = get_string(it.value(), p);
            continue;
        }
        const int idx = index_from_name(it.key());
        if (idx < 0) fail(p, "unknown permission \"" + it.key() + "\"");
        s.actions[static_cast<std::size_t>(idx)] = parse_action(it.value(), p);
    }
    return s;
}

std::string resolve_path(const std::string& p, const std::string& base_dir) {
    if (p.empty() || p[0] == '/' || base_dir.empty()) return p;
    return base_dir + "/" + p;
}

bool has_image_scheme(const std::string& s) {
    for (const char* scheme : {"data:", "http:", "https:"}) {
        std::size_t k = 0;
        while (scheme[k] && k < s.size() && std::tolower(static_cast<unsigned char>(s[k])) == scheme[k]) ++k;
        if (!scheme[k]) return true;
    }
    return false;
}

void parse_into(const json& doc, const std::string& base_dir, policy& pol) {
    if (!doc.is_object()) fail({}, "the policy must be a JSON object");
    static const char* const k_known[] = {"default",      "hosts",      "learn",      "ads",
                                          "banner_sizes", "stop_words", "block_page", "replacement_image",
                                          "attachments",  "scripts",    "comment",    "connect_ports"};
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        bool known = false;
        for (const char* k : k_known) known = known || it.key() == k;
        if (!known) fail({it.key()}, "unknown key \"" + it.key() + "\"");
    }
    if (doc.contains("default")) pol.defaults = parse_set(doc["default"], permission_set{}, {"default"});
    if (doc.contains("hosts")) {
        const json& h = doc["hosts"];
        if (!h.is_object()) fail({"hosts"}, "expected an object keyed by host name");
        for (auto it = h.begin(); it != h.end(); ++it) {
            if (it.key().empty()) fail({"hosts", it.key()}, "empty host name");
            const std::string key = lower(it.key());
            for (const auto& e : pol.hosts)
                if (e.first == key) fail({"hosts", it.key()}, "host \"" + it.key() + "\" appears twice");
            pol.hosts.emplace_back(key, parse_set(it.value(), pol.defaults, {"hosts", it.key()}));
        }
    }
    if (doc.contains("learn")) {
        const json& l = doc["learn"];
        if (!l.is_object()) fail({"learn"}, "expected an object with \"allow_now\" and \"next\"");
        for (auto it = l.begin(); it != l.end(); ++it) {
            if (it.key() == "allow_now") {
                if (!it.value().is_boolean()) fail({"learn", "allow_now"}, "expected true or false");
                pol.learn_allow_now = it.value().get<bool>();
            } else if (it.key() == "next") {
                pol.learn_next = parse_action(it.value(), {"learn", "next"});
            } else {
                fail({"learn", it.key()}, "unknown key \"" + it.key() + "\"");
            }
        }
    }
    if (doc.contains("ads")) {
        const json& a = doc["ads"];
        if (!a.is_object()) fail({"ads"}, "expected an object with \"keywords\" and \"list_flag\"");
        for (auto it = a.begin(); it != a.end(); ++it) {
            if (it.key() == "keywords")
                pol.ad_keywords = get_words(it.value(), {"ads", "keywords"});
            else if (it.key() == "list_flag")
                pol.ad_list_flag = static_cast<std::uint8_t>(get_u32(it.value(), {"ads", "list_flag"}, 255));
            else
                fail({"ads", it.key()}, "unknown key \"" + it.key() + "\"");
        }
    }
    if (doc.contains("banner_sizes")) {
        const json& b = doc["banner_sizes"];
        if (!b.is_array()) fail({"banner_sizes"}, "expected an array of [width, height] pairs");
        for (std::size_t k = 0; k < b.size(); ++k) {
            const std::vector<std::string> p = {"banner_sizes", "[" + std::to_string(k) + "]"};
            if (!b[k].is_array() || b[k].size() != 2) fail(p, "expected a [width, height] pair");
            auto pw = p, ph = p;
            pw.push_back("[0]");
            ph.push_back("[1]");
            pol.banner_sizes.emplace_back(get_u32(b[k][0], pw, 100000), get_u32(b[k][1], ph, 100000));
        }
    }
    if (doc.contains("stop_words")) pol.stop_words = get_words(doc["stop_words"], {"stop_words"});
    if (doc.contains("block_page")) pol.block_page = get_string(doc["block_page"], {"block_page"});
    if (doc.contains("replacement_image")) {
        // An address with a scheme goes to the engine as written; a path is
        // taken from the policy file's folder.
        const std::string image = get_string(doc["replacement_image"], {"replacement_image"});
        pol.replacement_image = has_image_scheme(image) ? image : resolve_path(image, base_dir);
    }
    if (doc.contains("connect_ports")) {
        const json& c = doc["connect_ports"];
        if (!c.is_array()) fail({"connect_ports"}, "expected an array of port numbers");
        pol.connect_ports.clear();
        for (std::size_t k = 0; k < c.size(); ++k) {
            const std::vector<std::string> p = {"connect_ports", "[" + std::to_string(k) + "]"};
            const std::uint32_t port = get_u32(c[k], p, 65535);
            if (port == 0) fail(p, "expected a port from 1 to 65535");
            pol.connect_ports.push_back(static_cast<std::uint16_t>(port));
        }
    }
    if (doc.contains("attachments")) {
        const json& a = doc["attachments"];
        if (!a.is_array()) fail({"attachments"}, "expected an array of rules");
        for (std::size_t k = 0; k < a.size(); ++k) {
            const std::vector<std::string> p = {"attachments", "[" + std::to_string(k) + "]"};
            if (!a[k].is_object()) fail(p, "expected an object with \"name\" and \"action\"");
            attachment_rule r;
            bool have_action = false;
            for (auto it = a[k].begin(); it != a[k].end(); ++it) {
                auto q = p;
                q.push_back(it.key());
                if (it.key() == "name") {
                    r.pattern = get_string(it.value(), q);
                    if (r.pattern.empty()) fail(q, "empty file name pattern");
                } else if (it.key() == "action") {
                    const std::string s = get_string(it.value(), q);
                    if (s == "leave")
                        r.action = mail_leave;
                    else if (s == "cut")
                        r.action = mail_cut;
                    else if (s == "replace")
                        r.action = mail_replace;
                    else
                        fail(q, "unknown attachment action \"" + s + "\" (expected \"leave\", \"cut\" or \"replace\")");
                    have_action = true;
                } else if (it.key() == "body") {
                    r.body = get_string(it.value(), q);
                } else if (it.key() == "new_name") {
                    r.new_name = get_string(it.value(), q);
                } else {
                    fail(q, "unknown key \"" + it.key() + "\"");
                }
            }
            if (r.pattern.empty()) fail(p, "rule without \"name\"");
            if (!have_action) fail(p, "rule without \"action\"");
            // The engine keeps the old body when a replacement is empty, which
            // would let the attachment through under a new name.
            if (r.action == mail_replace && r.body.empty()) fail(p, "\"replace\" needs a non-empty \"body\"");
            if (r.action != mail_replace && (!r.body.empty() || !r.new_name.empty()))
                fail(p, "\"body\" and \"new_name\" belong to \"replace\" rules only");
            pol.attachments.push_back(std::move(r));
        }
    }
    if (doc.contains("scripts")) {
        const json& s = doc["scripts"];
        if (!s.is_array()) fail({"scripts"}, "expected an array of rules");
        for (std::size_t k = 0; k < s.size(); ++k) {
            const std::vector<std::string> p = {"scripts", "[" + std::to_string(k) + "]"};
            if (!s[k].is_object()) fail(p, "expected an object with \"contains\" and \"replace\"");
            script_rule r;
            bool have_replace = false;
            for (auto it = s[k].begin(); it != s[k].end(); ++it) {
                auto q = p;
                q.push_back(it.key());
                if (it.key() == "contains") {
                    r.contains = get_string(it.value(), q);
                    if (r.contains.empty()) fail(q, "empty substring");
                } else if (it.key() == "replace") {
                    r.replacement = get_string(it.value(), q);
                    have_replace = true;
                } else {
                    fail(q, "unknown key \"" + it.key() + "\"");
                }
            }
            if (r.contains.empty()) fail(p, "rule without \"contains\"");
            if (!have_replace) fail(p, "rule without \"replace\"");
            pol.scripts.push_back(std::move(r));
        }
    }
}

void fnv(std::uint64_t& h, const std::string& s) {
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
}

std::string dir_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool glob_match(const std::string& pattern, const std::string& name) {
    // Iterative matcher with one backtrack point: linear in practice, never
    // exponential on patterns full of stars.
    std::size_t p = 0, n = 0, star = std::string::npos, mark = 0;
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
            ++p, ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

const permission_set& policy::for_host(const std::string& host_in) const {
    if (hosts.empty()) return defaults;
    const std::string host = lower(host_in);
    auto find = [this](const std::string& key) -> const permission_set* {
        for (const auto& e : hosts)
            if (e.first == key) return &e.second;
        return nullptr;
    };
    if (const permission_set* s = find(host)) return *s;
    std::string bare = host;
    const std::size_t colon = bare.rfind(':');
    if (colon != std::string::npos && bare.find(']') == std::string::npos &&
        bare.find_first_not_of("0123456789", colon + 1) == std::string::npos)
        bare.resize(colon);
    if (!bare.empty() && bare.back() == '.') bare.pop_back();
    if (const permission_set* s = find(bare)) return *s;
    for (std::size_t dot = bare.find('.'); dot != std::string::npos; dot = bare.find('.', dot + 1))
        if (const permission_set* s = find("*" + bare.substr(dot))) return *s;
    return defaults;
}

attachment_verdict policy::check_attachment(const std::string& name) const {
    attachment_verdict v;
    v.name = name;
    for (const auto& r : attachments) {
        if (!glob_match(r.pattern, name)) continue;
        v.action = r.action;
        v.rule = &r;
        if (r.action == mail_replace) {
            v.body = r.body;
            if (!r.new_name.empty()) v.name = r.new_name;
        }
        break;
    }
    return v;
}

bool policy::connect_allowed(std::uint16_t port) const {
    return std::find(connect_ports.begin(), connect_ports.end(), port) != connect_ports.end();
}

const script_rule* policy::check_script(const std::string& script) const {
    for (const auto& r : scripts)
        if (script.find(r.contains) != std::string::npos) return &r;
    return nullptr;
}

std::string policy::describe() const {
    std::ostringstream o;
    auto set_text = [&o](const permission_set& s, const permission_set* base) {
        bool any = false;
        for (int k = 0; k < 22; ++k) {
            const auto a = s.actions[static_cast<std::size_t>(k)];
            if (base ? a == base->actions[static_cast<std::size_t>(k)] : a == action_allow) continue;
            o << "    " << index_name(k) << ": "
              << (a == action_block   ? "block"
                  : a == action_learn ? "learn"
                                      : "allow")
              << "\n";
            any = true;
        }
        if (!s.redirect.empty()) o << "    blocked requests redirect to " << s.redirect << "\n";
        if (!any && s.redirect.empty()) o << "    (nothing " << (base ? "beyond the default" : "restricted") << ")\n";
    };
    o << "default permissions (everything else allowed):\n";
    set_text(defaults, nullptr);
    for (const auto& h : hosts) {
        o << "host " << h.first << " (differences from the default):\n";
        set_text(h.second, &defaults);
    }
    o << "learn answers: " << (learn_allow_now ? "allow" : "block") << " now, then "
      << (learn_next == action_block   ? "block"
          : learn_next == action_learn ? "learn"
                                       : "allow")
      << "\n";
    o << "advertisement keywords (" << ad_keywords.size() << ", list flag " << int(ad_list_flag) << "):";
    for (const auto& w : ad_keywords) o << " " << w;
    o << "\nbanner sizes (" << banner_sizes.size() << "):";
    for (const auto& s : banner_sizes) o << " " << s.first << "x" << s.second;
    o << "\nstop words (" << stop_words.size() << "):";
    for (const auto& w : stop_words) o << " " << w;
    o << "\nblock page: " << block_page.size() << " bytes\n";
    o << "CONNECT ports:";
    for (const auto p : connect_ports) o << " " << p;
    o << "\n";
    o << "replacement image: " << (replacement_image.empty() ? "(built-in transparent GIF)" : replacement_image)
      << "\n";
    o << "attachment rules (" << attachments.size() << "):\n";
    for (const auto& r : attachments) {
        o << "    " << r.pattern << " -> "
          << (r.action == mail_cut       ? "cut"
              : r.action == mail_replace ? "replace"
                                         : "leave");
        if (r.action == mail_replace)
            o << " with " << r.body.size() << " bytes" << (r.new_name.empty() ? "" : " named " + r.new_name);
        o << "\n";
    }
    o << "script rules (" << scripts.size() << "):\n";
    for (const auto& r : scripts)
        o << "    containing " << json(r.contains).dump() << " -> " << json(r.replacement).dump() << "\n";
    return o.str();
}

bool parse_policy(const std::string& text, const std::string& base_dir, policy& out, std::string& error) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error& e) {
        const std::size_t at = e.byte > 0 ? e.byte - 1 : 0;
        const auto lc = line_col(text, at);
        std::string what = e.what();
        // Drop the library's own "[json.exception...] parse error at line..." prefix.
        const std::size_t colon = what.find(": ", what.find("parse error"));
        if (colon != std::string::npos) what = what.substr(colon + 2);
        error = "line " + std::to_string(lc.first) + ", column " + std::to_string(lc.second) + ": " + what;
        return false;
    } catch (const std::exception& e) {
        error = "line 1, column 1: " + std::string(e.what());
        return false;
    }
    policy pol;
    try {
        parse_into(doc, base_dir, pol);
    } catch (const schema_error& e) {
        const auto lc = line_col(text, locate(text, e.path));
        error = "line " + std::to_string(lc.first) + ", column " + std::to_string(lc.second) + ": " +
                path_text(e.path) + ": " + e.message;
        return false;
    } catch (const std::exception& e) {
        error = "line 1, column 1: " + std::string(e.what());
        return false;
    }
    out = std::move(pol);
    return true;
}

bool read_whole_file(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream s;
    s << f.rdbuf();
    if (f.bad()) return false;
    out = s.str();
    return true;
}

void policy_store::install(std::shared_ptr<const policy> p, const std::string& text) {
    std::lock_guard<std::mutex> g(m_lock);
    m_policy = std::move(p);
    m_text = text;
    // The cookie must differ after every reload, even back to older contents,
    // and between two runs of the program: generation, start time, contents.
    if (m_generation == 0)
        m_generation = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    ++m_generation;
    std::uint64_t h = 1469598103934665603ull;
    fnv(h, text);
    for (int k = 0; k < 8; ++k) {
        m_cookie[static_cast<std::size_t>(k)] = static_cast<unsigned char>(m_generation >> (8 * k));
        m_cookie[static_cast<std::size_t>(8 + k)] = static_cast<unsigned char>(h >> (8 * k));
    }
}

bool policy_store::load_file(const std::string& path, std::string& error) {
    std::string text;
    if (!read_whole_file(path, text)) {
        error = "cannot read " + path;
        return false;
    }
    auto p = std::make_shared<policy>();
    if (!parse_policy(text, dir_of(path), *p, error)) {
        error = path + ": " + error;
        return false;
    }
    m_path = path;
    install(std::move(p), text);
    return true;
}

bool policy_store::load_text(const std::string& text, std::string& error) {
    auto p = std::make_shared<policy>();
    if (!parse_policy(text, std::string(), *p, error)) return false;
    install(std::move(p), text);
    return true;
}

policy_store::reload_result policy_store::reload_if_changed(std::string& error) {
    if (m_path.empty()) return reload_result::unchanged;
    std::string text;
    if (!read_whole_file(m_path, text)) {
        // Reported once: an editor that saves by renaming leaves a short gap.
        std::lock_guard<std::mutex> g(m_lock);
        if (m_unreadable) return reload_result::unchanged;
        m_unreadable = true;
        error = "cannot read " + m_path + "; keeping the current policy";
        return reload_result::unreadable;
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_unreadable = false;
        if (text == m_text || text == m_last_error_text) return reload_result::unchanged;
    }
    auto p = std::make_shared<policy>();
    if (!parse_policy(text, dir_of(m_path), *p, error)) {
        error = m_path + ": " + error + "; keeping the current policy";
        std::lock_guard<std::mutex> g(m_lock);
        m_last_error_text = text;
        return reload_result::rejected;
    }
    install(std::move(p), text);
    std::lock_guard<std::mutex> g(m_lock);
    m_last_error_text.clear();
    return reload_result::reloaded;
}

policy_store::snapshot policy_store::current() const {
    std::lock_guard<std::mutex> g(m_lock);
    snapshot s;
    s.pol = m_policy ? m_policy : std::make_shared<const policy>();
    s.cookie = m_cookie;
    return s;
}

}  // namespace zem_host
