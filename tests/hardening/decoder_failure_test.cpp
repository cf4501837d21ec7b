// A decoder that fails (throws) after some of its decoded text has gone on:
// the client must never receive compressed bytes after decoded ones, and the
// framing it receives must stay valid, whatever the body's transfer type,
// wherever the failure comes and however the body is cut into pieces.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "core/bunch_filter.h"
#include "http/http_handler_factory.h"
#include "http/http_stream_filter.h"
#include "kit/http_invariants.h"
#include "kit/kit.h"

namespace {

// Each compressed byte ('z') decodes to 300 'D's, handed out in parts of
// 100; the decoder throws on its 'fail_at'-th call (counting pulls).
class failing_decoder : public i_sub_handler {
public:
    explicit failing_decoder(int fail_at) : m_fail_at(fail_at) {}
    bool update_in(byte_string& data) override {
        if (++m_calls == m_fail_at) throw std::runtime_error("decoder failure");
        m_owed += data.size() * 300;
        data.assign(std::min<std::size_t>(m_owed, 100), 'D');
        m_owed -= data.size();
        return true;
    }
    void stop(byte_string& data) override {
        if (++m_calls == m_fail_at) throw std::runtime_error("decoder failure at stop");
        data.append(m_owed, 'D');
        m_owed = 0;
    }
    bool pending() const { return m_owed > 0; }

private:
    int m_fail_at;
    int m_calls = 0;
    std::size_t m_owed = 0;
};

std::string run(const std::string& request, const std::string& response, std::size_t split, int fail_at, bool close) {
    kit::capturing_provider p;
    http_handler_hooks hooks = default_http_handler_hooks();
    hooks.qualifier = nullptr;
    hooks.decoder = [fail_at](http_body_owner*, bool) {
        auto d = std::make_shared<failing_decoder>(fail_at);
        failing_decoder* raw = d.get();
        return http_decoder_slot{d, [raw] { return raw->pending(); }};
    };
    {
        bunch_filter point(&p, 0, [&hooks](i_connection_feedback* fb, filter_chain& chain) {
            chain.push_back(std::make_shared<http_stream_filter>(fb, hooks));
        });
        point.update_out(request.data(), static_cast<int>(request.size()));
        for (const std::string& c : kit::split_at(response, split))
            point.update_in(c.data(), static_cast<int>(c.size()));
        if (close) point.stop_in();
    }
    return p.in;
}

TEST(decoder_failure, no_compressed_byte_follows_decoded_text) {
    const std::string compressed(40, 'z');
    const std::string request = "GET /page HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    const std::string heads[] = {
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\nContent-Length: 40\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n\r\n",
    };
    std::string chunked_body;
    for (int k = 0; k < 4; ++k) chunked_body += "a\r\n" + compressed.substr(0, 10) + "\r\n";
    chunked_body += "0\r\n\r\n";
    struct shape {
        std::string response;
        bool close;
    } shapes[] = {
        {heads[0] + compressed, false},
        {heads[1] + compressed, true},
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" +
             chunked_body,
         false},
    };
    int checked_with_text = 0;
    for (const shape& s : shapes) {
        for (int fail_at = 2; fail_at <= 60; fail_at += 3) {
            for (std::size_t at = 0; at <= s.response.size(); at += 7) {
                std::string got = run(request, s.response, at, fail_at, s.close);
                std::vector<kit::http_message> msgs;
                ASSERT_EQ(kit::parse_responses(got, msgs), "") << "fail at " << fail_at << ", split " << at;
                ASSERT_EQ(msgs.size(), 1u);
                const std::string& body = msgs[0].body;
                const bool decoded = body.find('D') != std::string::npos;
                if (decoded) {
                    ++checked_with_text;
                    EXPECT_EQ(body.find_first_not_of('D'), std::string::npos)
                        << "compressed bytes after decoded text; fail at " << fail_at << ", split " << at;
                    EXPECT_EQ(kit::header_value(msgs[0], "Content-Encoding"), "");
                } else {
                    // Nothing decoded went on: the body may go on as it came.
                    EXPECT_EQ(body.find_first_not_of('z'), std::string::npos) << body;
                }
            }
        }
    }
    EXPECT_GT(checked_with_text, 0);
}

}  // namespace
