#pragma once
// The host's policy: what it answers to every command of the engine. Read from
// a JSON file (schema in docs/policy.md) and swapped whole on reload, so that a
// command always sees one consistent policy.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zem_host {

enum : std::int32_t { action_allow = 0, action_block = 1, action_learn = 2 };
enum : std::uint32_t { mail_leave = 0, mail_cut = 1, mail_replace = 2 };

struct permission_set {
    std::array<std::int32_t, 22> actions{};
    std::string redirect;  // UTF-8; empty = none
};

struct attachment_rule {
    std::string pattern;  // glob on the file name: * and ?, case-insensitive
    std::uint32_t action = mail_leave;
    std::string body;      // replacement body (replace only)
    std::string new_name;  // replacement file name (replace only; empty keeps the name)
};

struct script_rule {
    std::string contains;  // raw bytes searched in the script
    std::string replacement;
};

struct attachment_verdict {
    std::uint32_t action = mail_leave;
    std::string name;  // the name to answer with (the old one unless replaced)
    std::string body;  // new body when replaced
    const attachment_rule* rule = nullptr;
};

struct policy {
    permission_set defaults;
    std::vector<std::pair<std::string, permission_set>> hosts;  // lower-case key, in file order
    bool learn_allow_now = true;
    std::int32_t learn_next = action_learn;
    std::vector<std::string> ad_keywords;
    std::uint8_t ad_list_flag = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> banner_sizes;
    std::vector<std::string> stop_words;
    std::string block_page;
    std::string replacement_image;  // data:/http:/https: address or absolute path; empty = built-in image
    std::vector<attachment_rule> attachments;
    std::vector<script_rule> scripts;
    // Ports an explicit proxy's CONNECT may reach; everything else is refused.
    std::vector<std::uint16_t> connect_ports = {443};

    // The set for a host name as the engine announces it (the Host header's
    // value, possibly with a port): an exact key, then the name without its
    // port, then "*.parent" keys from the nearest parent up, then the default.
    const permission_set& for_host(const std::string& host) const;
    attachment_verdict check_attachment(const std::string& name) const;
    // The first matching rule's replacement; nullptr when the script stays.
    const script_rule* check_script(const std::string& script) const;
    bool connect_allowed(std::uint16_t port) const;
    std::string describe() const;
};

// Parses a policy. On failure returns false and sets error to a message that
// starts with "line L, column C: ". Relative paths are taken from base_dir.
bool parse_policy(const std::string& text, const std::string& base_dir, policy& out, std::string& error);

bool glob_match(const std::string& pattern, const std::string& name);

// The policy embedded in the program (policy/default.json at build time).
const std::string& embedded_default_policy();

// Holds the current policy and its configuration cookie; reloads the file
// when it changes. Safe to use from any thread.
class policy_store {
public:
    struct snapshot {
        std::shared_ptr<const policy> pol;
        std::array<unsigned char, 16> cookie{};
    };
    enum class reload_result { unchanged, reloaded, rejected, unreadable };

    // Loads from a file; false with error set when it cannot be read or parsed.
    bool load_file(const std::string& path, std::string& error);
    // Loads from text (the embedded default); no file is watched.
    bool load_text(const std::string& text, std::string& error);
    // Re-reads the watched file when its contents changed. On a bad file the
    // current policy stays and error says why.
    reload_result reload_if_changed(std::string& error);
    snapshot current() const;
    const std::string& path() const { return m_path; }

private:
    void install(std::shared_ptr<const policy> p, const std::string& text);
    mutable std::mutex m_lock;
    std::shared_ptr<const policy> m_policy;
    std::array<unsigned char, 16> m_cookie{};
    std::uint64_t m_generation = 0;
    std::string m_path, m_text;
    std::string m_last_error_text;  // the bad contents already reported
    bool m_unreadable = false;      // a missing file already reported
};

bool read_whole_file(const std::string& path, std::string& out);

}  // namespace zem_host
