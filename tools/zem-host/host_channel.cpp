#include "host_channel.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "wire.h"

namespace zem_host {

using nlohmann::json;

const std::string& transparent_gif_bytes() {
    static const std::string gif(
        "GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff"
        "\x21\xf9\x04\x01\x00\x00\x00\x00"
        "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00"
        "\x02\x02\x44\x01\x00\x3b",
        43);
    return gif;
}

const std::string& transparent_gif_data_uri() {
    static const std::string uri = [] {
        using namespace boost::archive::iterators;
        using to_base64 = base64_from_binary<transform_width<std::string::const_iterator, 6, 8>>;
        const std::string& g = transparent_gif_bytes();
        std::string b64(to_base64(g.begin()), to_base64(g.end()));
        b64.append((3 - g.size() % 3) % 3, '=');
        return "data:image/gif;base64," + b64;
    }();
    return uri;
}

void host_channel::record(json& rec) {
    if (m_log) m_log->write(rec);
}

namespace {

json header_json(const message_header& h) { return json{{"id0", h.id0}, {"id1", h.id1}, {"id2", h.id2}}; }

json actions_json(const permission_set& s) {
    json a = json::object();
    for (int k = 0; k < 22; ++k) {
        const auto v = s.actions[static_cast<std::size_t>(k)];
        if (v != action_allow) a[index_name(k)] = action_name(v);
    }
    return a;
}

}  // namespace

int host_channel::answer(int code, const char* req, std::size_t n, std::string& out, json& rec) {
    const policy_store::snapshot snap = m_store.current();
    const policy& pol = *snap.pol;
    std::string err;
    auto malformed = [&]() {
        rec["error"] = err;
        ++m_malformed;
        return rc_malformed;
    };
    switch (code) {
        case zem::codes::general_query_permission_array: {
            permission_request q;
            if (!(err = decode(req, n, q)).empty()) return malformed();
            const permission_set& s = pol.for_host(q.host);
            std::int32_t actions[22];
            for (std::size_t k = 0; k < 22; ++k) actions[k] = s.actions[k];
            out = encode_permission_reply(actions, s.redirect);
            rec.update(header_json(q.hdr));
            rec["request"] = {{"request_id", q.request_id},
                              {"host", q.host},
                              {"address", q.address},
                              {"client", address_record_text(q.address_a)},
                              {"server", address_record_text(q.address_b)}};
            rec["answer"] = {{"restricted", actions_json(s)}, {"redirect", s.redirect}};
            return 0;
        }
        case zem::codes::do_learn_for_index: {
            learn_request q;
            if (!(err = decode(req, n, q)).empty()) return malformed();
            out = encode_learn_reply(pol.learn_allow_now, pol.learn_next);
            rec.update(header_json(q.hdr));
            const char* nm = index_name(static_cast<int>(q.index));
            rec["request"] = {{"request_id", q.request_id},
                              {"host", q.host},
                              {"index", q.index},
                              {"index_name", nm ? nm : "idx_bredovi"},
                              {"context", q.context}};
            rec["answer"] = {{"current_allow", pol.learn_allow_now}, {"action_next", action_name(pol.learn_next)}};
            return 0;
        }
        case zem::codes::http_query_stop_words:
            out = encode_word_list(pol.stop_words);
            rec["answer"] = {{"words", pol.stop_words}};
            return 0;
        case zem::codes::http_query_ads_block_words:
            out = encode_flagged_word_list(pol.ad_keywords, pol.ad_list_flag);
            rec["answer"] = {{"words", pol.ad_keywords}, {"list_flag", pol.ad_list_flag}};
            return 0;
        case zem::codes::http_query_ads_block_sizes: {
            out = encode_size_list(pol.banner_sizes);
            json sizes = json::array();
            for (const auto& s : pol.banner_sizes) sizes.push_back({s.first, s.second});
            rec["answer"] = {{"sizes", sizes}};
            return 0;
        }
        case zem::codes::http_query_block_message_html:
            out = encode_narrow_string(pol.block_page);
            rec["answer"] = {{"bytes", pol.block_page.size()}};
            return 0;
        case zem::codes::mail_check_mail_attach: {
            attach_request q;
            if (!(err = decode(req, n, q)).empty()) return malformed();
            const attachment_verdict v = pol.check_attachment(q.name);
            out = encode_attach_reply(v.action, v.name, v.body);
            rec.update(header_json(q.hdr));
            rec["request"] = {{"object_id", q.object_id}, {"message_id", q.message_id},
                              {"bytes", q.body_length},   {"name", q.name},
                              {"from", q.from},           {"to", q.to},
                              {"subject", q.subject},     {"protocol", q.protocol},
                              {"outgoing", q.outgoing}};
            static const char* const k_mail[] = {"mail_action_leave", "mail_action_cut_whole_section",
                                                 "mail_action_replace"};
            rec["answer"] = {{"action", k_mail[v.action]}, {"name", v.name}, {"body_bytes", v.body.size()}};
            if (v.rule) rec["answer"]["rule"] = v.rule->pattern;
            return 0;
        }
        case zem::codes::http_query_transparent_gif: {
            const std::string path = pol.replacement_image.empty() ? transparent_gif_data_uri() : pol.replacement_image;
            out = encode_narrow_string(path);
            rec["answer"] = {{"path", path}};
            return 0;
        }
        case zem::codes::firewall_allow_connection: {
            firewall_request q;
            if (!(err = decode(req, n, q)).empty()) return malformed();
            rec.update(header_json(q.hdr));
            rec["request"] = {{"address", ipv4_text(q.address)}, {"port", q.port}};
            if (m_firewall_program.empty()) {
                rec["answer"] = "allowed";
                return 0;
            }
            const int status = run_program(m_firewall_program, {ipv4_text(q.address), std::to_string(q.port)}, 10000);
            rec["answer"] = status == 0 ? "allowed" : "refused";
            rec["firewall_program_status"] = status;
            return status == 0 ? 0 : rc_refused;
        }
        case zem::codes::http_check_script: {
            script_request q;
            if (!(err = decode(req, n, q)).empty()) return malformed();
            // The engine lends its own buffer for the duration of the call:
            // we share its address space.
            std::string script;
            if (q.script_length)
                script.assign(reinterpret_cast<const char*>(static_cast<std::uintptr_t>(q.script_address)),
                              static_cast<std::size_t>(q.script_length));
            const script_rule* r = pol.check_script(script);
            out = encode_script_reply(r != nullptr, r ? r->replacement : std::string());
            rec.update(header_json(q.hdr));
            rec["request"] = {{"request_id", q.request_id}, {"bytes", q.script_length}};
            rec["answer"] = r ? json{{"replace", true}, {"rule", r->contains}, {"replacement", r->replacement}}
                              : json{{"replace", false}};
            return 0;
        }
        case zem::codes::general_query_config_cookie: {
            out = encode_cookie(snap.cookie.data());
            static const char hex[] = "0123456789abcdef";
            std::string h;
            for (unsigned char c : snap.cookie) h += hex[c >> 4], h += hex[c & 15];
            rec["answer"] = {{"cookie", h}};
            return 0;
        }
        default:
            rec["error"] = "unknown command";
            return rc_unknown_command;
    }
}

int host_channel::invoke_command(const zem::GUID* channel, int code, zem::mem_slice* request, zem::mem_slice* reply) {
    ++m_commands;
    json rec;
    const char* name = command_name(code);
    rec["command"] = name ? name : "unknown";
    rec["code"] = code;
    int rc = 0;
    try {
        if (!channel || !zem::same_guid(*channel, zem::channel_guid)) {
            rec["error"] = "wrong channel";
            rc = rc_wrong_channel;
        } else if (!reply) {
            rec["error"] = "no reply block";
            rc = rc_no_reply;
        } else {
            int len = 0;
            const char* p = request ? static_cast<const zem::mem_slice*>(request)->data(&len) : nullptr;
            std::string out;
            rc = answer(code, p, p && len > 0 ? static_cast<std::size_t>(len) : 0, out, rec);
            if (rc == 0 && !out.empty()) reply->assign(out.data(), static_cast<int>(out.size()));
        }
    } catch (const std::exception& e) {
        rec["error"] = e.what();
        rc = rc_malformed;
    }
    rec["rc"] = rc;
    record(rec);
    // An attachment cut or replaced is, to the person watching, a blocked
    // object like an advertisement.
    if (rc == 0 && code == zem::codes::mail_check_mail_attach && m_on_blocked && rec.contains("answer") &&
        rec["answer"]["action"] != "mail_action_leave")
        m_on_blocked(rec);
    return rc;
}

bool host_channel::notify_event(const zem::GUID* channel, int code, zem::mem_slice* data) {
    ++m_notifications;
    // A page may carry hundreds of blocked objects; without a log, a status
    // page or a listener their records would be made only to be dropped.
    // Their form is then not checked either: nothing would show the error.
    if ((!m_log || !m_log->wanted()) && !m_on_blocked) return channel && zem::same_guid(*channel, zem::channel_guid);
    json rec;
    const char* name = notification_name(code);
    rec["event"] = name ? name : "unknown";
    if (!name) rec["code"] = code;
    bool ok = true;
    try {
        if (!channel || !zem::same_guid(*channel, zem::channel_guid)) {
            rec["error"] = "wrong channel";
            ok = false;
        } else {
            int len = 0;
            const char* p = data ? static_cast<const zem::mem_slice*>(data)->data(&len) : nullptr;
            json fields = json::object();
            const std::string err =
                decode_notification(code, p, p && len > 0 ? static_cast<std::size_t>(len) : 0, fields);
            rec.update(fields);
            if (!err.empty()) {
                rec["error"] = err;
                ++m_malformed;
                ok = false;
            }
        }
    } catch (const std::exception& e) {
        rec["error"] = e.what();
        ok = false;
    }
    if (ok && code == zem::codes::general_notify_log_line && rec.contains("line") && rec["line"].is_string()) {
        json tls = tls_record_of_log_line(rec["line"].get<std::string>());
        if (!tls.empty()) rec["tls"] = std::move(tls);
        // Only the line sent for the connection (its identity in the
        // header); the engine log's own copy, at level 2 and above, has none.
        const bool about_connection = rec.value("id0", 0u) != 0 || rec.value("id1", 0u) != 0;
        json encrypted = about_connection ? encrypted_record_of_log_line(rec["line"].get<std::string>()) : json();
        if (!encrypted.empty()) rec["encrypted"] = std::move(encrypted);
    }
    record(rec);
    if (ok &&
        (code == zem::codes::general_notify_object_blocked || code == zem::codes::general_notify_stopword_blocked) &&
        m_on_blocked)
        m_on_blocked(rec);
    return ok;
}

extern "C" char** environ;

int run_program(const std::string& program, const std::vector<std::string>& args, int timeout_ms) {
    std::vector<std::string> copy;
    copy.push_back(program);
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

json tls_record_of_log_line(const std::string& line) {
    // The engine writes, for a recorded chain:
    //   ssl_stream_filter: certificate of "NAME" written to PATH
    //   ssl_stream_filter: server name "NAME" appended to PATH
    // NAME has no quote in it (the engine escapes quotes and control bytes).
    static const struct {
        const char* head;
        const char* tail;
        const char* key;
    } k_forms[] = {{"ssl_stream_filter: certificate of \"", "\" written to ", "certificate_file"},
                   {"ssl_stream_filter: server name \"", "\" appended to ", "hostname_file"}};
    for (const auto& f : k_forms) {
        const std::size_t h = line.find(f.head);
        if (h == std::string::npos) continue;
        const std::size_t name_at = h + std::strlen(f.head);
        const std::size_t t = line.find(f.tail, name_at);
        if (t == std::string::npos) continue;
        std::string path = line.substr(t + std::strlen(f.tail));
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
        return json{{"server_name", line.substr(name_at, t - name_at)}, {f.key, path}};
    }
    return json();
}

json encrypted_record_of_log_line(const std::string& line) {
    // The engine's line names the protocol (letters and digits) and the
    // command that was accepted; it comes with the connection's identity
    // words in the notification's header.
    static const std::string k_middle = ": session went encrypted (";
    const std::size_t m = line.find(k_middle);
    if (m == std::string::npos || m == 0) return json();
    std::size_t p = m;
    while (p > 0 && std::isalnum(static_cast<unsigned char>(line[p - 1]))) --p;
    if (p == m) return json();
    const std::size_t c = m + k_middle.size();
    const std::size_t close = line.find(')', c);
    if (close == std::string::npos || close == c) return json();
    return json{{"protocol", line.substr(p, m - p)}, {"command", line.substr(c, close - c)}};
}

}  // namespace zem_host
