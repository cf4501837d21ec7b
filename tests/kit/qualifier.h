#pragma once
// The one policy object of the tests: permissions, advertisement words and
// sizes, and answers to learn questions as the test sets them, with a record
// of every question asked. By default it stands for a page at "page"
// (request 77, replacement image "C:\t.gif") and keeps that identity when a
// request is set; a harness that drives whole requests sets follow_requests.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/permission_qualifier.h"
#include "platform/codepage.h"

namespace kit {

class test_qualifier : public host_permission_qualifier {
public:
    std::int32_t permissions[permission_array_words] = {};
    void block(int index) { permissions[index] = content_action_block; }
    void allow(int index) { permissions[index] = content_action_allow; }

    byte_string host;
    byte_string address = "page";
    std::uint64_t request_id = 77;
    byte_string gif = "C:\\t.gif";
    byte_string redirect;
    // Whether set_request takes over host, address and request id.
    bool follow_requests = false;
    std::vector<std::pair<byte_string, std::uint64_t>> requests;  // address, id

    // An address containing one of the words is an advertisement (the word
    // is its keyword); with every_link_is_ad, every address is (keyword
    // ad_keyword).
    std::vector<std::string> ad_words;
    bool every_link_is_ad = false;
    byte_string ad_keyword = "banner";
    std::set<std::pair<int, int>> ad_sizes;
    bool every_size_is_banner = false;
    std::vector<byte_string> ad_checks;  // every address asked about
    int ad_size_checks = 0;

    // A learn question: the answer (allow now, action to keep) set for its
    // index, else learn_allows with the action left as it is.
    std::map<int, std::pair<bool, std::int32_t>> learn_answers;
    bool learn_allows = true;
    int learn_questions = 0;
    std::vector<int> asked;  // every permission index asked about, in order

    bool set_request(const byte_string& h, const byte_string& a, std::uint64_t id) override {
        requests.emplace_back(a, id);
        if (follow_requests) {
            host = h;
            address = a;
            request_id = id;
        }
        return true;
    }
    wide_string get_host(const wide_string&) override { return platform::ansi_to_wide(host); }
    byte_string get_host(const byte_string&) override { return host; }
    wide_string get_address(const wide_string&) override { return platform::ansi_to_wide(address); }
    byte_string get_address(const byte_string&) override { return address; }
    void set_address(const wide_string&) override {}
    void set_address(const byte_string& a) override {
        if (follow_requests) address = a;
    }
    void set_redirect(const byte_string& r) override { redirect = r; }
    byte_string get_redirect() override { return redirect; }
    wide_string get_transparent_gif(const wide_string&) override { return platform::ansi_to_wide(gif); }
    byte_string get_transparent_gif(const byte_string&) override { return gif; }
    std::uint64_t get_request_id() override { return request_id; }
    std::int32_t* get_permissions() override { return permissions; }
    bool get_permission_by_index(int index) override {
        asked.push_back(index);
        if (index < 0 || index >= idx_count) return true;
        if (permissions[index] == content_action_learn) {
            ++learn_questions;
            const auto a = learn_answers.find(index);
            if (a == learn_answers.end()) return learn_allows;
            permissions[index] = a->second.second;
            return a->second.first;
        }
        return permissions[index] == content_action_allow;
    }
    bool check_ad_link(const wide_string& url, byte_string& keyword) override {
        return check_ad_link(platform::wide_to_ansi(url), keyword);
    }
    bool check_ad_link(const byte_string& url, byte_string& keyword) override {
        ad_checks.push_back(url);
        keyword.clear();
        if (every_link_is_ad) {
            keyword = ad_keyword;
            return false;
        }
        for (const auto& w : ad_words)
            if (url.find(w) != std::string::npos) {
                keyword = w;
                return false;
            }
        return true;
    }
    bool check_ad_size(int width, int height) override {
        ++ad_size_checks;
        return !every_size_is_banner && ad_sizes.count({width, height}) == 0;
    }
};

}  // namespace kit
