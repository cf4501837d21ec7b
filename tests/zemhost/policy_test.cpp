// The policy file: every error path names its line and column, host lookup,
// attachment globs, script rules, reload and the configuration cookie.
#include "policy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

using zem_host::policy;

std::string parse_error(const std::string& text) {
    policy p;
    std::string err;
    EXPECT_FALSE(zem_host::parse_policy(text, "/base", p, err)) << text;
    return err;
}

TEST(zemhost_policy, syntax_errors_carry_line_and_column) {
    EXPECT_EQ(parse_error("{\n  \"default\": {\n    \"idx_popups\": \"block\",\n  }\n}").substr(0, 18),
              "line 4, column 3: ");
    EXPECT_EQ(parse_error("").substr(0, 18), "line 1, column 1: ");
    EXPECT_EQ(parse_error("{\"a\": tru}").substr(0, 8), "line 1, ");
    EXPECT_EQ(parse_error("{} {}").substr(0, 18), "line 1, column 4: ");
}

TEST(zemhost_policy, schema_errors_point_at_the_offending_value) {
    struct bad_case {
        const char* text;
        const char* where;
        const char* what;
    };
    const bad_case cases[] = {
        {"[]", "line 1, column 1", "must be a JSON object"},
        {"{\n\"colour\": 1}", "line 2, column 1", "unknown key \"colour\""},
        {"{\"default\": []}", "line 1", "expected an object of idx_* names"},
        {"{\"default\": {\n \"idx_popup\": \"block\"}}", "line 2, column 2", "unknown permission \"idx_popup\""},
        {"{\"default\": {\"idx_popups\": \"deny\"}}", "line 1", "unknown action \"deny\""},
        {"{\"default\": {\"idx_popups\": 1}}", "line 1", "expected \"allow\", \"block\" or \"learn\""},
        {"{\"default\": {\"redirect\": 5}}", "line 1", "expected a string"},
        {"{\"hosts\": []}", "line 1", "expected an object keyed by host name"},
        {"{\"hosts\": {\"\": {}}}", "line 1", "empty host name"},
        {"{\"hosts\": {\"A.com\": {}, \"a.com\": {}}}", "line 1", "appears twice"},
        {"{\"hosts\": {\"a.com\": {\"idx_x\": \"block\"}}}", "line 1", "unknown permission \"idx_x\""},
        {"{\"learn\": 1}", "line 1", "expected an object"},
        {"{\"learn\": {\"allow_now\": \"yes\"}}", "line 1", "expected true or false"},
        {"{\"learn\": {\"next\": \"maybe\"}}", "line 1", "unknown action \"maybe\""},
        {"{\"learn\": {\"later\": 1}}", "line 1", "unknown key \"later\""},
        {"{\"ads\": []}", "line 1", "expected an object"},
        {"{\"ads\": {\"keywords\": \"ad\"}}", "line 1", "expected an array of strings"},
        {"{\"ads\": {\"keywords\": [\"ad\", 3]}}", "line 1", "expected a string"},
        {"{\"ads\": {\"keywords\": [\"ad\", \"\"]}}", "line 1", "empty word"},
        {"{\"ads\": {\"list_flag\": 256}}", "line 1", "from 0 to 255"},
        {"{\"ads\": {\"list_flag\": -1}}", "line 1", "from 0 to 255"},
        {"{\"ads\": {\"flag\": 1}}", "line 1", "unknown key \"flag\""},
        {"{\"banner_sizes\": {}}", "line 1", "expected an array"},
        {"{\"banner_sizes\": [[468]]}", "line 1", "[width, height] pair"},
        {"{\"banner_sizes\": [[468, \"60\"]]}", "line 1", "whole number"},
        {"{\"banner_sizes\": [[468, 60.5]]}", "line 1", "whole number"},
        {"{\"stop_words\": [1]}", "line 1", "expected a string"},
        {"{\"block_page\": 1}", "line 1", "expected a string"},
        {"{\"replacement_image\": []}", "line 1", "expected a string"},
        {"{\"attachments\": {}}", "line 1", "expected an array of rules"},
        {"{\"attachments\": [1]}", "line 1", "expected an object"},
        {"{\"attachments\": [{\"action\": \"cut\"}]}", "line 1", "rule without \"name\""},
        {"{\"attachments\": [{\"name\": \"*.exe\"}]}", "line 1", "rule without \"action\""},
        {"{\"attachments\": [{\"name\": \"\", \"action\": \"cut\"}]}", "line 1", "empty file name pattern"},
        {"{\"attachments\": [{\"name\": \"*\", \"action\": \"zap\"}]}", "line 1", "unknown attachment action"},
        {"{\"attachments\": [{\"name\": \"*\", \"action\": \"replace\"}]}", "line 1", "needs a non-empty \"body\""},
        {"{\"attachments\": [{\"name\": \"*\", \"action\": \"cut\", \"body\": \"x\"}]}", "line 1",
         "replace\" rules only"},
        {"{\"attachments\": [{\"name\": \"*\", \"action\": \"cut\", \"why\": 1}]}", "line 1", "unknown key \"why\""},
        {"{\"scripts\": {}}", "line 1", "expected an array of rules"},
        {"{\"scripts\": [{\"replace\": \"\"}]}", "line 1", "rule without \"contains\""},
        {"{\"scripts\": [{\"contains\": \"x\"}]}", "line 1", "rule without \"replace\""},
        {"{\"scripts\": [{\"contains\": \"\", \"replace\": \"\"}]}", "line 1", "empty substring"},
        {"{\"scripts\": [{\"contains\": \"x\", \"replace\": 0}]}", "line 1", "expected a string"},
        {"{\"connect_ports\": 443}", "line 1", "expected an array of port numbers"},
        {"{\"connect_ports\": [443, 65536]}", "line 1", "from 0 to 65535"},
        {"{\"connect_ports\": [0]}", "line 1", "from 1 to 65535"},
        {"{\"connect_ports\": [\"443\"]}", "line 1", "whole number"},
    };
    for (const auto& c : cases) {
        const std::string err = parse_error(c.text);
        EXPECT_EQ(err.rfind(c.where, 0), 0u) << c.text << " -> " << err;
        EXPECT_NE(err.find(c.what), std::string::npos) << c.text << " -> " << err;
    }
}

TEST(zemhost_policy, error_location_follows_the_path_through_the_text) {
    const std::string text =
        "{\n"
        "  \"stop_words\": [\"a\"],\n"
        "  \"banner_sizes\": [\n"
        "    [468, 60],\n"
        "    [728, -90]\n"
        "  ]\n"
        "}\n";
    const std::string err = parse_error(text);
    EXPECT_EQ(err.rfind("line 5, ", 0), 0u) << err;
    EXPECT_NE(err.find("/banner_sizes/[1]/[1]"), std::string::npos) << err;
}

TEST(zemhost_policy, hosts_inherit_the_default_and_match_without_case_or_port) {
    policy p;
    std::string err;
    ASSERT_TRUE(zem_host::parse_policy(R"({
        "default": {"idx_popups": "block", "idx_cookies": "learn"},
        "hosts": {
            "Ads.Example.com": {"idx_host_enable": "block", "idx_popups": "allow", "redirect": "http://r/"},
            "*.tracker.net": {"idx_cookies": "block"},
            "[::1]:81": {"idx_flash": "block"}
        }
    })",
                                       "", p, err))
        << err;
    const auto& a = p.for_host("ADS.example.COM:8080");
    EXPECT_EQ(a.actions[14], zem_host::action_block);
    EXPECT_EQ(a.actions[13], zem_host::action_allow);
    EXPECT_EQ(a.actions[0], zem_host::action_learn);  // inherited
    EXPECT_EQ(a.redirect, "http://r/");
    EXPECT_EQ(p.for_host("ads.example.com.").actions[14], zem_host::action_block);
    EXPECT_EQ(p.for_host("x.ads.example.com").actions[14], zem_host::action_allow);
    EXPECT_EQ(p.for_host("a.b.tracker.net").actions[0], zem_host::action_block);
    EXPECT_EQ(p.for_host("tracker.net").actions[0], zem_host::action_learn);
    EXPECT_EQ(p.for_host("[::1]:81").actions[4], zem_host::action_block);
    EXPECT_EQ(p.for_host("").actions[13], zem_host::action_block);
    EXPECT_TRUE(p.for_host("other").redirect.empty());
}

TEST(zemhost_policy, glob_matching) {
    using zem_host::glob_match;
    EXPECT_TRUE(glob_match("*.exe", "SETUP.EXE"));
    EXPECT_TRUE(glob_match("*.exe", ".exe"));
    EXPECT_FALSE(glob_match("*.exe", "setup.exe.txt"));
    EXPECT_TRUE(glob_match("a?c*", "abc"));
    EXPECT_FALSE(glob_match("a?c", "ac"));
    EXPECT_TRUE(glob_match("*", ""));
    EXPECT_TRUE(glob_match("**a**b**", "xxaxxbxx"));
    // Many stars against a long non-matching name stays fast (no blow-up).
    EXPECT_FALSE(glob_match("*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
}

TEST(zemhost_policy, attachments_and_scripts) {
    policy p;
    std::string err;
    ASSERT_TRUE(zem_host::parse_policy(R"({
        "attachments": [{"name": "*.doc", "action": "leave"},
                        {"name": "*.do?", "action": "cut"},
                        {"name": "*.vbs", "action": "replace", "body": "removed", "new_name": "x.txt"},
                        {"name": "*.js", "action": "replace", "body": "removed"}],
        "scripts": [{"contains": "eval(", "replace": ""}, {"contains": "e", "replace": "E"}],
        "replacement_image": "img/t.gif"
    })",
                                       "/etc/zem", p, err))
        << err;
    EXPECT_EQ(p.check_attachment("a.doc").action, zem_host::mail_leave);  // first rule wins
    EXPECT_EQ(p.check_attachment("a.dot").action, zem_host::mail_cut);
    EXPECT_EQ(p.check_attachment("a.dot").name, "a.dot");
    const auto v = p.check_attachment("love.vbs");
    EXPECT_EQ(v.action, zem_host::mail_replace);
    EXPECT_EQ(v.name, "x.txt");
    EXPECT_EQ(v.body, "removed");
    EXPECT_EQ(p.check_attachment("a.js").name, "a.js");  // no new name keeps the old one
    EXPECT_EQ(p.check_attachment("a.txt").action, zem_host::mail_leave);
    ASSERT_NE(p.check_script("x=eval(y)"), nullptr);
    EXPECT_EQ(p.check_script("x=eval(y)")->replacement, "");
    EXPECT_EQ(p.check_script("ee")->replacement, "E");
    EXPECT_EQ(p.check_script("xyz"), nullptr);
    EXPECT_EQ(p.replacement_image, "/etc/zem/img/t.gif");
    // An address with a scheme is not a path of the policy's folder.
    for (const char* image : {"data:image/gif;base64,R0lG", "HTTP://img.example/t.gif", "https://img.example/t.gif"}) {
        policy q;
        ASSERT_TRUE(
            zem_host::parse_policy(std::string("{\"replacement_image\": \"") + image + "\"}", "/etc/zem", q, err))
            << err;
        EXPECT_EQ(q.replacement_image, image);
    }
}

TEST(zemhost_policy, the_shipped_default_is_valid_and_blocks_ads) {
    policy p;
    std::string err;
    ASSERT_TRUE(zem_host::parse_policy(zem_host::embedded_default_policy(), "", p, err)) << err;
    EXPECT_EQ(p.defaults.actions[13], zem_host::action_block);  // pop-ups
    EXPECT_EQ(p.defaults.actions[5], zem_host::action_block);   // hidden frames
    EXPECT_EQ(p.defaults.actions[15], zem_host::action_block);  // ads by link
    EXPECT_EQ(p.defaults.actions[16], zem_host::action_block);  // ads by size
    EXPECT_FALSE(p.ad_keywords.empty());
    EXPECT_FALSE(p.banner_sizes.empty());
    EXPECT_FALSE(p.block_page.empty());
    std::string file;
    ASSERT_TRUE(zem_host::read_whole_file(ZEM_SOURCE_DIR "/policy/default.json", file));
    EXPECT_EQ(file, zem_host::embedded_default_policy());
}

TEST(zemhost_policy, reload_swaps_valid_files_and_keeps_the_old_on_errors) {
    const std::string path = ::testing::TempDir() + "zemhost_reload_policy_" + std::to_string(::getpid()) + ".json";
    auto write = [&path](const std::string& text) {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f << text;
    };
    write(R"({"stop_words": ["one"]})");
    zem_host::policy_store store;
    std::string err;
    ASSERT_TRUE(store.load_file(path, err)) << err;
    const auto first = store.current();
    EXPECT_EQ(first.pol->stop_words, std::vector<std::string>{"one"});
    EXPECT_EQ(store.reload_if_changed(err), zem_host::policy_store::reload_result::unchanged);

    write(R"({"stop_words": ["two"]})");
    EXPECT_EQ(store.reload_if_changed(err), zem_host::policy_store::reload_result::reloaded);
    const auto second = store.current();
    EXPECT_EQ(second.pol->stop_words, std::vector<std::string>{"two"});
    EXPECT_NE(first.cookie, second.cookie);
    EXPECT_EQ(first.pol->stop_words, std::vector<std::string>{"one"});  // old snapshots stay valid

    write(R"({"stop_words": ["three"],})");
    EXPECT_EQ(store.reload_if_changed(err), zem_host::policy_store::reload_result::rejected);
    EXPECT_NE(err.find("line 1"), std::string::npos) << err;
    EXPECT_NE(err.find("keeping the current policy"), std::string::npos) << err;
    EXPECT_EQ(store.current().pol->stop_words, std::vector<std::string>{"two"});
    EXPECT_EQ(store.current().cookie, second.cookie);
    // The same bad contents are reported once, not every second.
    EXPECT_EQ(store.reload_if_changed(err), zem_host::policy_store::reload_result::unchanged);

    // Back to the first contents: still a new cookie.
    write(R"({"stop_words": ["one"]})");
    EXPECT_EQ(store.reload_if_changed(err), zem_host::policy_store::reload_result::reloaded);
    EXPECT_NE(store.current().cookie, first.cookie);
    EXPECT_NE(store.current().cookie, second.cookie);

    std::remove(path.c_str());
    EXPECT_EQ(store.reload_if_changed(err), zem_host::policy_store::reload_result::unreadable);
    EXPECT_EQ(store.reload_if_changed(err), zem_host::policy_store::reload_result::unchanged);
    EXPECT_EQ(store.current().pol->stop_words, std::vector<std::string>{"one"});
    write(R"({"stop_words": ["four"]})");
    EXPECT_EQ(store.reload_if_changed(err), zem_host::policy_store::reload_result::reloaded);
    EXPECT_EQ(store.current().pol->stop_words, std::vector<std::string>{"four"});
    std::remove(path.c_str());
}

TEST(zemhost_policy, describe_names_what_the_policy_does) {
    policy p;
    std::string err;
    ASSERT_TRUE(zem_host::parse_policy(R"({"default": {"idx_flash": "block"},
        "hosts": {"a.com": {"idx_flash": "allow", "redirect": "http://b/"}},
        "banner_sizes": [[468, 60]]})",
                                       "", p, err));
    const std::string d = p.describe();
    EXPECT_NE(d.find("idx_flash: block"), std::string::npos) << d;
    EXPECT_NE(d.find("host a.com"), std::string::npos) << d;
    EXPECT_NE(d.find("idx_flash: allow"), std::string::npos) << d;
    EXPECT_NE(d.find("redirect to http://b/"), std::string::npos) << d;
    EXPECT_NE(d.find("468x60"), std::string::npos) << d;
}

}  // namespace
