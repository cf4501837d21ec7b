// The qualifiers seen from their users: what they answer and how many
// commands the host receives for it.
#include <gtest/gtest.h>

#include <memory>

#include "host/ad_link_checker.h"
#include "host/ipc_permission_qualifier.h"
#include "kit/host.h"
#include "match/ads_matcher.h"

using namespace kit;
namespace zc = zem::codes;
namespace io = zem_io_commands;

namespace {

// A permission reply with the actions set (unset ones allow) and an
// optional text.
std::string policy_reply(std::initializer_list<std::pair<int, std::int32_t>> set, const std::string& text = {}) {
    std::int32_t actions[22] = {};
    for (auto& p : set) actions[p.first] = p.second;
    if (text.empty()) return permission_reply_of(actions);
    const std::string w = kit::utf16le(text);
    return permission_reply_of(actions, ref(16, w.size()), w + zeros(2));
}

std::string learn_reply(unsigned char allow, std::int32_t next) {
    return std::string(1, static_cast<char>(allow)) + le32_bytes(static_cast<std::uint32_t>(next));
}

class qualifier : public host_fixture {
protected:
    std::shared_ptr<io::ipc_permission_qualifier> q = std::make_shared<io::ipc_permission_qualifier>(&feedback);
};

TEST_F(qualifier, fresh_qualifier_is_empty) {
    EXPECT_EQ(q->get_host(byte_string()), "");
    EXPECT_EQ(q->get_host(wide_string()), L"");
    EXPECT_EQ(q->get_address(byte_string()), "");
    EXPECT_EQ(q->get_redirect(), "");
    EXPECT_EQ(q->get_request_id(), 0u);
    EXPECT_EQ(host.command_count(), 0u);
}

TEST_F(qualifier, permission_set_is_fetched_once_per_host_ignoring_case) {
    host.set_reply(zc::general_query_permission_array, policy_reply({{idx_activex, 1}}, "http://redir/"));
    EXPECT_TRUE(q->set_request("Example.COM", "Example.COM/a", 5));
    EXPECT_TRUE(q->set_request("example.com", "example.com/b", 6));
    EXPECT_EQ(host.command_count(), 0u);  // fetched lazily
    EXPECT_FALSE(q->get_permission_by_index(idx_activex));
    EXPECT_TRUE(q->get_permission_by_index(idx_cookies));
    EXPECT_TRUE(q->is_restricted(idx_activex));
    EXPECT_FALSE(q->is_restricted(idx_flash));
    EXPECT_EQ(host.command_count(zc::general_query_permission_array), 1u);
    EXPECT_EQ(q->get_address(byte_string()), "Example.COM/a");
    EXPECT_EQ(q->get_address(wide_string()), L"Example.COM/a");
    EXPECT_EQ(q->get_host(byte_string()), "Example.COM");
    EXPECT_EQ(q->get_request_id(), 6u);
    EXPECT_EQ(q->get_redirect(), "http://redir/");

    // The fetch carried the stored host, address and latest request id, and
    // the connection's identity.
    std::string m = only_request(zc::general_query_permission_array);
    EXPECT_EQ(le64(m, 28), 6u);
    EXPECT_EQ(le32(m, 16), 0xA1A2A3A4u);
    EXPECT_EQ(m.substr(324, 24), w_nul("Example.COM"));

    // Another host fetches again.
    q->set_request("other.org", "other.org/", 7);
    EXPECT_TRUE(q->get_permission_by_index(idx_activex) == false);
    EXPECT_EQ(host.command_count(zc::general_query_permission_array), 2u);
    EXPECT_EQ(q->get_address(byte_string()), "other.org/");
}

TEST_F(qualifier, failed_fetch_allows_everything_and_is_not_repeated) {
    host.set_reply(zc::general_query_permission_array, "", 1);
    q->set_request("h", "h/", 1);
    q->set_redirect("stale");
    for (int i = 0; i <= idx_count; ++i) EXPECT_TRUE(q->get_permission_by_index(i)) << i;
    for (int i = 0; i < idx_count; ++i) EXPECT_FALSE(q->is_restricted(i)) << i;
    EXPECT_EQ(host.command_count(zc::general_query_permission_array), 1u);
    EXPECT_EQ(q->get_redirect(), "");

    // Same for a short reply.
    host.set_reply(zc::general_query_permission_array, zeros(50));
    q->set_request("h2", "h2/", 2);
    EXPECT_TRUE(q->get_permission_by_index(idx_popups));
    EXPECT_TRUE(q->get_permission_by_index(idx_popups));
    EXPECT_EQ(host.command_count(zc::general_query_permission_array), 2u);
}

TEST_F(qualifier, without_a_host_everything_is_allowed) {
    zem_io_commands::set_host_iface(nullptr);
    q->set_request("h", "h/", 1);
    for (int i = 0; i < idx_count; ++i) EXPECT_TRUE(q->get_permission_by_index(i));
    EXPECT_TRUE(q->check_ad_size(468, 60));
    EXPECT_EQ(q->get_transparent_gif(byte_string()), "");
    EXPECT_EQ(count_lines("general_query_permission_array: Failed to get from \"zem_server\", initialized by default"),
              1);
}

TEST_F(qualifier, index_bounds) {
    host.set_reply(zc::general_query_permission_array, policy_reply({}));
    q->set_request("h", "h/", 1);
    m_log->clear();
    EXPECT_TRUE(q->get_permission_by_index(22));
    EXPECT_EQ(count_lines("Erorr!!!"), 0);
    EXPECT_FALSE(q->get_permission_by_index(23));
    EXPECT_FALSE(q->get_permission_by_index(-1));
    EXPECT_FALSE(q->get_permission_by_index(0x7fffffff));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::get_permission_by_index: Wrong Index=23\n"), 1);
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::get_permission_by_index: Wrong Index=-1\n"), 1);
    EXPECT_EQ(count_lines("Erorr!!! common/inc/lsp_io_wrappers ln:"), 3);
}

TEST_F(qualifier, unknown_actions_are_logged_and_allowed) {
    host.set_reply(zc::general_query_permission_array, policy_reply({{3, 5}, {4, -1}}));
    q->set_request("h", "h/", 1);
    EXPECT_TRUE(q->get_permission_by_index(3));
    EXPECT_TRUE(q->get_permission_by_index(4));
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::get_permission_by_index: Wrong action at index=3 action=5\n"),
              1);
    EXPECT_EQ(count_lines("ipc_permission_qualifier_t::get_permission_by_index: Wrong action at index=4 action=-1\n"),
              1);
    EXPECT_EQ(host.command_count(zc::do_learn_for_index), 0u);
}

TEST_F(qualifier, learn_verdict_that_blocks_is_kept) {
    host.set_reply(zc::general_query_permission_array, policy_reply({{idx_popups, 2}}));
    host.set_reply(zc::do_learn_for_index, learn_reply(0, 1));
    q->set_request("learn.me", "learn.me/x", 0x42);
    EXPECT_FALSE(q->get_permission_by_index(idx_popups));
    EXPECT_FALSE(q->get_permission_by_index(idx_popups));
    EXPECT_EQ(host.command_count(zc::do_learn_for_index), 1u);
    EXPECT_EQ(q->get_permissions()[idx_popups], 1);
    std::string m = only_request(zc::do_learn_for_index);
    EXPECT_EQ(le64(m, 28), 0x42u);
    EXPECT_EQ(le32(m, 52), static_cast<std::uint32_t>(idx_popups));
    EXPECT_EQ(m.substr(64), w_nul("learn.me"));
}

TEST_F(qualifier, learn_verdict_that_stays_learn_asks_every_time) {
    host.set_reply(zc::general_query_permission_array, policy_reply({{idx_flash, 2}}));
    host.set_reply(zc::do_learn_for_index, learn_reply(1, 2));
    q->set_request("h", "h/", 1);
    EXPECT_TRUE(q->get_permission_by_index(idx_flash));
    EXPECT_TRUE(q->get_permission_by_index(idx_flash));
    EXPECT_EQ(host.command_count(zc::do_learn_for_index), 2u);

    // A learn verdict that allows from now on stops the questions.
    host.set_reply(zc::do_learn_for_index, learn_reply(0, 0));
    EXPECT_FALSE(q->get_permission_by_index(idx_flash));
    EXPECT_TRUE(q->get_permission_by_index(idx_flash));
    EXPECT_EQ(host.command_count(zc::do_learn_for_index), 3u);
}

TEST_F(qualifier, failed_learn_allows_and_asks_again) {
    host.set_reply(zc::general_query_permission_array, policy_reply({{idx_jscript, 2}}));
    host.set_reply(zc::do_learn_for_index, "", 3);
    q->set_request("h", "h/", 1);
    EXPECT_TRUE(q->get_permission_by_index(idx_jscript));
    host.set_reply(zc::do_learn_for_index, "\x01");  // short
    EXPECT_TRUE(q->get_permission_by_index(idx_jscript));
    EXPECT_EQ(q->get_permissions()[idx_jscript], 2);
    EXPECT_EQ(host.command_count(zc::do_learn_for_index), 2u);
}

TEST_F(qualifier, ad_sizes_fetched_once_and_matched_exactly) {
    std::string sizes = le64_bytes(2) + le32_bytes(468) + le32_bytes(60) + le32_bytes(120) + le32_bytes(600) + zeros(8);
    host.set_reply(zc::http_query_ads_block_sizes, sizes);
    EXPECT_FALSE(q->check_ad_size(468, 60));
    EXPECT_FALSE(q->check_ad_size(120, 600));
    EXPECT_TRUE(q->check_ad_size(468, 61));  // width alone is no banner
    EXPECT_TRUE(q->check_ad_size(60, 468));
    EXPECT_TRUE(q->check_ad_size(-1, -1));
    EXPECT_EQ(host.command_count(zc::http_query_ads_block_sizes), 1u);
}

TEST_F(qualifier, failed_size_fetch_is_not_repeated) {
    host.set_reply(zc::http_query_ads_block_sizes, zeros(4));
    EXPECT_TRUE(q->check_ad_size(468, 60));
    EXPECT_TRUE(q->check_ad_size(0, 0));
    EXPECT_EQ(host.command_count(zc::http_query_ads_block_sizes), 1u);
}

TEST_F(qualifier, transparent_image_is_asked_until_known) {
    host.push_reply(zc::http_query_transparent_gif, zeros(16));
    host.set_reply(zc::http_query_transparent_gif, ref(16, 7) + std::string("C:\\t.gif\0", 9));
    EXPECT_EQ(q->get_transparent_gif(byte_string()), "");
    EXPECT_EQ(q->get_transparent_gif(byte_string()), "C:\\t.gif");
    EXPECT_EQ(q->get_transparent_gif(byte_string()), "C:\\t.gif");
    EXPECT_EQ(q->get_transparent_gif(wide_string()), L"C:\\t.gif");
    EXPECT_EQ(host.command_count(zc::http_query_transparent_gif), 2u);

    // The wide question asks through the narrow one.
    io::ipc_permission_qualifier other(&feedback);
    EXPECT_EQ(other.get_transparent_gif(wide_string()), L"C:\\t.gif");
    EXPECT_EQ(host.command_count(zc::http_query_transparent_gif), 3u);
}

TEST_F(qualifier, set_address_replaces_only_a_different_address) {
    q->set_request("h", "h/one", 1);
    q->set_address(byte_string("H/ONE"));
    EXPECT_EQ(q->get_address(byte_string()), "h/one");
    q->set_address(wide_string(L"h/caf\x00E9"));
    EXPECT_EQ(q->get_address(byte_string()), "h/caf\xE9");
    EXPECT_EQ(q->get_address(wide_string()), L"h/caf\x00E9");
    q->set_address(byte_string("h/two"));
    EXPECT_EQ(q->get_address(wide_string()), L"h/two");
    // The host and its permission set are unaffected.
    EXPECT_EQ(q->get_host(byte_string()), "h");
    EXPECT_EQ(host.command_count(), 0u);
}

TEST_F(qualifier, redirect_round_trip) {
    q->set_redirect("http://x/");
    EXPECT_EQ(q->get_redirect(), "http://x/");
}

TEST_F(qualifier, check_ad_link_inverts_the_matcher) {
    // Without a checker installed no link is an advertisement.
    zem_io_commands::set_ad_link_checker(nullptr);
    byte_string none;
    EXPECT_TRUE(q->check_ad_link(byte_string("http://x.com/banner/1.gif"), none));
    EXPECT_EQ(host.command_count(), 0u);
    zem_io_commands::set_ad_link_checker(&ads_matcher::checker());
    ads_matcher::reset();
    std::string words = le64_bytes(1) + std::string(1, '\0') + ref(16, 12) + kit::utf16le("banner") + zeros(2);
    host.set_reply(zc::http_query_ads_block_words, words);
    host.set_reply(zc::general_query_config_cookie, std::string(16, '\x01'));
    byte_string keyword;
    EXPECT_FALSE(q->check_ad_link(byte_string("http://x.com/banner/1.gif"), keyword));
    EXPECT_EQ(keyword, "banner");
    keyword.clear();
    EXPECT_FALSE(q->check_ad_link(wide_string(L"http://x.com/banner/2.gif"), keyword));
    EXPECT_EQ(keyword, "banner");
    EXPECT_TRUE(q->check_ad_link(byte_string("http://x.com/index.html"), keyword));
    EXPECT_TRUE(q->check_ad_link(wide_string(L"http://x.com/index.html"), keyword));
    ads_matcher::reset();
}

TEST_F(qualifier, stub_allows_everything_and_sends_nothing) {
    std::shared_ptr<host_permission_qualifier> s = std::make_shared<stub_permission_qualifier>();
    EXPECT_TRUE(s->set_request("h", "h/", 5));
    EXPECT_EQ(s->get_host(byte_string()), "");
    EXPECT_EQ(s->get_request_id(), 0u);
    for (int i = -1; i <= 30; ++i) {
        EXPECT_TRUE(s->get_permission_by_index(i));
        EXPECT_FALSE(s->is_restricted(i));
    }
    for (int i = 0; i < permission_array_words; ++i) EXPECT_EQ(s->get_permissions()[i], 0);
    byte_string kw = "k";
    EXPECT_TRUE(s->check_ad_link(byte_string("http://ads/banner"), kw));
    EXPECT_TRUE(s->check_ad_link(wide_string(L"http://ads/banner"), kw));
    EXPECT_TRUE(s->check_ad_size(468, 60));
    EXPECT_EQ(s->get_transparent_gif(byte_string()), "");
    EXPECT_EQ(s->get_transparent_gif(wide_string()), L"");
    s->set_address(wide_string(L"w"));
    s->set_address(byte_string("n"));
    EXPECT_EQ(s->get_address(wide_string()), L"w");
    EXPECT_EQ(s->get_address(byte_string()), "");  // answers with its host
    EXPECT_EQ(s->get_redirect(), "n");             // answers with its narrow address
    s->set_redirect("r");
    EXPECT_EQ(s->get_redirect(), "n");
    EXPECT_EQ(host.command_count() + host.notification_count(), 0u);
}

}  // namespace
