#include "status_board.h"

#include <algorithm>

#include "event_log.h"

namespace zem_host {

using json = nlohmann::json;

namespace {

std::string text_of(const json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::int64_t minute_of(status_board::clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::minutes>(t.time_since_epoch()).count();
}

}  // namespace

const std::vector<std::string>& status_board::kinds() {
    static const std::vector<std::string> k = {
        "ads_by_link", "ads_by_size", "popups",         "hidden_frames", "scripts",    "stop_words", "cookies",
        "attachments", "hosts",       "active_content", "referers",      "animations", "other"};
    return k;
}

std::string status_board::kind_of(const json& record) {
    if (text_of(record, "event") == "general_notify_stopword_blocked") return "stop_words";
    if (text_of(record, "command") == "mail_check_mail_attach") {
        const auto a = record.find("answer");
        if (a == record.end() || !a->is_object() || text_of(*a, "action") == "mail_action_leave" ||
            text_of(*a, "action").empty() || record.value("rc", 0) != 0)
            return std::string();
        return "attachments";
    }
    if (text_of(record, "event") != "general_notify_object_blocked") return std::string();
    static const std::pair<const char*, const char*> k_map[] = {
        {"idx_ads_by_link", "ads_by_link"},
        {"idx_ads_by_size", "ads_by_size"},
        {"idx_popups", "popups"},
        {"idx_hidden_frames", "hidden_frames"},
        {"idx_jscript", "scripts"},
        {"idx_vbscript", "scripts"},
        {"idx_check_script", "scripts"},
        {"idx_load_unload_script", "scripts"},
        {"idx_ax_from_script", "scripts"},
        {"idx_cookies", "cookies"},
        {"idx_host_enable", "hosts"},
        {"idx_content_by_url", "hosts"},
        {"idx_activex", "active_content"},
        {"idx_java_applets", "active_content"},
        {"idx_flash", "active_content"},
        {"idx_referers", "referers"},
        {"idx_gif_animation", "animations"},
        {"idx_gif_animation_tail_frames", "animations"},
    };
    const std::string idx = text_of(record, "index_name");
    for (const auto& m : k_map)
        if (idx == m.first) return m.second;
    return "other";
}

std::string host_of_address(const std::string& address) {
    std::size_t at = address.find("://");
    at = at == std::string::npos ? 0 : at + 3;
    std::size_t end = address.find_first_of("/?#", at);
    if (end == std::string::npos) end = address.size();
    std::string h = address.substr(at, end - at);
    const std::size_t user = h.rfind('@');
    if (user != std::string::npos) h.erase(0, user + 1);
    if (!h.empty() && h[0] == '[') {
        const std::size_t close = h.find(']');
        if (close != std::string::npos) h = h.substr(0, close + 1);
    } else {
        const std::size_t colon = h.find(':');
        if (colon != std::string::npos) h.resize(colon);
    }
    for (char& c : h)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return h;
}

void status_board::minute_ring::add(std::int64_t m) {
    const std::size_t slot = static_cast<std::size_t>(m % static_cast<std::int64_t>(k_minutes));
    if (minute[slot] != m) {
        minute[slot] = m;
        count[slot] = 0;
    }
    ++count[slot];
}

std::vector<std::uint32_t> status_board::minute_ring::last_hour(std::int64_t now_minute) const {
    std::vector<std::uint32_t> out(k_minutes, 0);
    for (std::size_t k = 0; k < k_minutes; ++k) {
        const std::int64_t m = now_minute - static_cast<std::int64_t>(k_minutes - 1 - k);
        const std::size_t slot = static_cast<std::size_t>(m % static_cast<std::int64_t>(k_minutes));
        if (minute[slot] == m) out[k] = count[slot];
    }
    return out;
}

status_board::status_board() : m_started(clock::now()) {
    for (const auto& k : kinds()) m_by_kind[k] = 0;
}

status_board::host_counts& status_board::host(const std::string& name) {
    auto it = m_hosts.find(name);
    if (it != m_hosts.end()) return it->second;
    if (m_hosts.size() >= k_hosts) return m_hosts[k_other_hosts];
    return m_hosts[name];
}

void status_board::observe(const json& record, clock::time_point now) {
    if (!record.is_object()) return;
    const std::int64_t minute = minute_of(now);
    const std::string event = text_of(record, "event");
    std::string ts = text_of(record, "ts");
    if (ts.empty()) ts = utc_timestamp();
    std::lock_guard<std::mutex> g(m_lock);
    if (event == "http_notify_request") {
        ++m_requests;
        host_counts& h = host(host_of_address(text_of(record, "host")));
        ++h.requests;
        h.last = ts;
        return;
    }
    const std::string kind = kind_of(record);
    json entry;
    if (!kind.empty()) {
        std::string name;
        if (kind == "attachments") {
            name = "(mail)";
        } else {
            name = host_of_address(text_of(record, "address"));
            if (name.empty()) name = host_of_address(text_of(record, "host"));
            if (name.empty()) name = host_of_address(text_of(record, "object"));
        }
        ++m_blocked;
        ++m_by_kind[kind];
        m_kind_minutes[kind].add(minute);
        host_counts& h = host(name);
        ++h.blocked;
        h.last = ts;
        h.minutes.add(minute);
        entry = {{"ts", ts}, {"kind", kind}, {"host", name}, {"text", blocked_line(record)}};
    } else if (record.contains("policy")) {
        entry = {{"ts", ts},
                 {"kind", "policy"},
                 {"text", "policy " + text_of(record, "policy") + " (" + text_of(record, "file") + ")" +
                              (record.contains("error") ? ": " + text_of(record, "error") : "")}};
    } else if (record.contains("error")) {
        const std::string what = !event.empty() ? event : text_of(record, "command");
        entry = {{"ts", ts}, {"kind", "error"}, {"text", what + ": " + text_of(record, "error")}};
    } else {
        return;
    }
    m_events.push_back(std::move(entry));
    if (m_events.size() > k_events) m_events.pop_front();
}

json status_board::snapshot(clock::time_point now) const {
    const std::int64_t minute = minute_of(now);
    std::lock_guard<std::mutex> g(m_lock);
    json out;
    out["uptime_seconds"] = std::chrono::duration_cast<std::chrono::seconds>(now - m_started).count();
    out["requests"] = m_requests;
    out["blocked"] = m_blocked;
    json by_kind = json::object();
    for (const auto& k : kinds()) by_kind[k] = m_by_kind.at(k);
    out["by_kind"] = by_kind;
    out["kinds"] = kinds();
    // Per minute, oldest first: the minute's start (seconds since the epoch)
    // and the count of each kind.
    json per_minute = json::array();
    std::map<std::string, std::vector<std::uint32_t>> series;
    for (const auto& k : m_kind_minutes) series[k.first] = k.second.last_hour(minute);
    for (std::size_t s = 0; s < k_minutes; ++s) {
        json m = {{"start", (minute - static_cast<std::int64_t>(k_minutes - 1 - s)) * 60}};
        for (const auto& k : series)
            if (k.second[s]) m[k.first] = k.second[s];
        per_minute.push_back(std::move(m));
    }
    out["per_minute"] = std::move(per_minute);
    // The hosts with most blocked objects, then most requests.
    std::vector<const std::pair<const std::string, host_counts>*> order;
    for (const auto& h : m_hosts) order.push_back(&h);
    std::sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
        if (a->second.blocked != b->second.blocked) return a->second.blocked > b->second.blocked;
        if (a->second.requests != b->second.requests) return a->second.requests > b->second.requests;
        return a->first < b->first;
    });
    json hosts = json::array();
    for (std::size_t k = 0; k < order.size() && k < 50; ++k) {
        const host_counts& h = order[k]->second;
        hosts.push_back({{"host", order[k]->first},
                         {"requests", h.requests},
                         {"blocked", h.blocked},
                         {"last", h.last},
                         {"per_minute", h.minutes.last_hour(minute)}});
    }
    out["hosts"] = std::move(hosts);
    out["host_count"] = m_hosts.size();
    json events = json::array();
    for (auto it = m_events.rbegin(); it != m_events.rend(); ++it) events.push_back(*it);
    out["events"] = std::move(events);  // newest first
    return out;
}

std::string blocked_line(const json& e) {
    auto str = [&e](const char* k) { return e.contains(k) && e[k].is_string() ? e[k].get<std::string>() : ""; };
    std::string line;
    if (e.contains("command")) {  // mail_check_mail_attach
        const json& q = e["request"];
        const json& a = e["answer"];
        auto text = [](const json& j, const char* k) {
            return j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : std::string();
        };
        line = std::string("mail: attachment \"") + text(q, "name") + "\" " +
               (a["action"] == "mail_action_replace" ? "replaced by \"" + text(a, "name") + "\"" : "cut") +
               (a.contains("rule") ? " (rule \"" + text(a, "rule") + "\")" : "") + " in \"" + text(q, "subject") + "\"";
    } else if (e["event"] == "general_notify_stopword_blocked") {
        line = "blocked: page " + str("address") + " (stop word \"" + str("stop_word") + "\")";
    } else {
        line = "blocked: " + str("index_name") + " " + str("object");
        if (!str("keyword").empty()) line += " (keyword \"" + str("keyword") + "\")";
        if (!str("address").empty()) line += " on " + str("address");
    }
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    return line;
}

namespace {

// The Host header's name, lower case, without its port; empty without one.
std::string host_header(const std::string& head) {
    std::size_t at = head.find("\r\n");
    while (at != std::string::npos && at + 2 < head.size()) {
        const std::size_t start = at + 2;
        const std::size_t end = head.find("\r\n", start);
        if (end == std::string::npos || end == start) break;
        const std::size_t colon = head.find(':', start);
        if (colon != std::string::npos && colon < end && colon - start == 4) {
            std::string name = head.substr(start, 4);
            for (char& c : name) c = static_cast<char>(c | 0x20);
            if (name == "host") {
                std::size_t v = colon + 1;
                while (v < end && (head[v] == ' ' || head[v] == '\t')) ++v;
                return host_of_address(head.substr(v, end - v));
            }
        }
        at = end;
    }
    return std::string();
}

bool loopback_name(const std::string& host) {
    if (host == "localhost" || host == "[::1]") return true;
    // 127.0.0.0/8, written as a dotted address.
    if (host.compare(0, 4, "127.") != 0) return false;
    int dots = 0;
    for (char c : host) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 3;
}

std::string http_reply(const std::string& status, const std::string& type, const std::string& body, bool head_only) {
    std::string r = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                    "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
                    "style-src 'unsafe-inline'; connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'\r\n"
                    "Connection: close\r\n\r\n";
    if (!head_only) r += body;
    return r;
}

}  // namespace

std::string status_reply(const status_board& board, const std::string& method, const std::string& target,
                         const std::string& head) {
    const bool head_only = method == "HEAD";
    if (method != "GET" && !head_only)
        return http_reply("405 Method Not Allowed", "text/plain; charset=utf-8", "only GET and HEAD\n", false);
    if (!loopback_name(host_header(head)))
        return http_reply("403 Forbidden", "text/plain; charset=utf-8",
                          "the status page answers only requests for localhost or 127.0.0.1\n", head_only);
    const std::string path = target.substr(0, target.find('?'));
    if (path == "/" || path == "/index.html")
        return http_reply("200 OK", "text/html; charset=utf-8", embedded_status_page(), head_only);
    if (path == "/status.json")
        return http_reply("200 OK", "application/json",
                          board.snapshot().dump(-1, ' ', false, json::error_handler_t::replace), head_only);
    return http_reply("404 Not Found", "text/plain; charset=utf-8", "no such page\n", head_only);
}

}  // namespace zem_host
