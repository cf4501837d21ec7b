// A page through a filter point made by create_filt_point, as a host gets it:
// the web filter, the HTML parser in its slot, the qualifier and the host
// channel together.
#include <gtest/gtest.h>

#include "host/host_link.h"
#include "kit/http_invariants.h"
#include "kit/kit.h"
#include "match/ads_matcher.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

class module_web_path_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_clear();
        platform::reg_override_isolate(true);
        ads_matcher::reset();
        host.set_reply(zem::codes::general_query_config_cookie, std::string(16, '\x07'));
        host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({"banner"}, 0));
        host.set_reply(zem::codes::http_query_transparent_gif, kit::narrow_text_reply("/local/blank.gif"));
        host.set_reply(zem::codes::http_query_ads_block_sizes, std::string(16, '\0'));
        initialize(&host);
    }
    void TearDown() override {
        deinitialize();
        ads_matcher::reset();
        platform::reg_override_clear();
    }

    // Runs one request/response exchange, the response in the given chunks.
    void exchange(const std::string& request, const std::vector<std::string>& response_chunks) {
        zem::i_filt_point* fp = create_filt_point(&provider, 9);
        ASSERT_NE(fp, nullptr);
        fp->update_out(request.data(), static_cast<int>(request.size()));
        for (auto& c : response_chunks) fp->update_in(c.data(), static_cast<int>(c.size()));
        fp->stop_in();
        fp->stop_out();
        fp->release();
    }

    kit::fake_host host;
    kit::capturing_provider provider;
};

const std::string k_request = "GET /news/page.html HTTP/1.1\r\nHost: example.com\r\n\r\n";
const std::string k_body =
    "<html><body><p>before</p><a href=\"/x\"><img src=\"/banner/top.gif\" alt=\"a\"></a>"
    "<p>after</p></body></html>";

std::string html_response(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

TEST_F(module_web_path_test, advertisement_image_is_replaced_and_the_length_follows_at_every_split) {
    host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply({15 /* idx_ads_by_link */}));
    const std::string response = html_response(k_body);
    std::string first;
    for (std::size_t at = 0; at <= response.size(); ++at) {
        provider = kit::capturing_provider();
        host.clear_records();
        exchange(k_request, kit::split_at(response, at));
        EXPECT_EQ(provider.out, k_request);
        std::vector<kit::http_message> msgs;
        ASSERT_EQ(kit::parse_responses(provider.in, msgs), "") << "split at " << at;
        ASSERT_EQ(msgs.size(), 1u);
        const std::string& body = msgs[0].body;
        EXPECT_EQ(body.find("/banner/top.gif"), std::string::npos) << body;
        EXPECT_NE(body.find("<p>before</p>"), std::string::npos);
        EXPECT_NE(body.find("<p>after</p></body></html>"), std::string::npos);
        EXPECT_EQ(host.notification_count(zem::codes::general_notify_object_blocked), 1u) << "split at " << at;
        if (at == 0)
            first = provider.in;
        else
            EXPECT_EQ(provider.in, first) << "split at " << at;
    }
}

TEST_F(module_web_path_test, allow_all_policy_leaves_the_page_byte_exact) {
    host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply());
    const std::string response = html_response(k_body);
    exchange(k_request, kit::one_byte_chunks(response));
    EXPECT_EQ(provider.in, response);
    EXPECT_EQ(provider.out, k_request);
    EXPECT_EQ(host.notification_count(zem::codes::general_notify_object_blocked), 0u);
    EXPECT_EQ(host.notification_count(zem::codes::http_notify_request), 1u);
}

TEST_F(module_web_path_test, without_a_host_everything_is_allowed) {
    deinitialize();
    const std::string response = html_response(k_body);
    exchange(k_request, kit::random_chunks(response, kit::test_seed(), 17));
    EXPECT_EQ(provider.in, response);
}

}  // namespace
