// Which stream filters a new filter point carries, from the configuration
// read for it.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/bunch_filter.h"
#include "core/configuration.h"
#include "ftp/ftp_stream_filter.h"
#include "http/http_stream_filter.h"
#include "kit/kit.h"
#include "kit/transcript.h"
#include "mail/protocols/pop3_stream_filter.h"
#include "mail/protocols/smtp_stream_filter.h"
#include "module/chain_factory.h"
#include "platform/registry.h"
#include "ssl/ssl_stream_filter.h"
#include "zem/zem.h"

namespace {

class chain_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_clear();
        platform::reg_override_isolate(true);
    }
    void TearDown() override { platform::reg_override_clear(); }

    // The filter point create_filt_point made, seen as the dispatcher it is.
    static bunch_filter* as_bunch(zem::i_filt_point* fp) { return static_cast<bunch_filter*>(fp); }
};

TEST_F(chain_test, defaults_attach_the_web_and_tls_filters) {
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, 1);
    ASSERT_NE(fp, nullptr);
    const auto& chain = as_bunch(fp)->chain();
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_NE(std::dynamic_pointer_cast<http_stream_filter>(chain.front()), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<ssl_stream_filter>(chain.back()), nullptr);
    fp->release();
}

TEST_F(chain_test, ftp_comes_between_web_and_tls) {
    platform::reg_override_set_u32(config::net_key, "enable_ftp", 1);
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, 1);
    std::vector<std::shared_ptr<i_stream_filter>> chain(as_bunch(fp)->chain().begin(), as_bunch(fp)->chain().end());
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_NE(std::dynamic_pointer_cast<http_stream_filter>(chain[0]), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<ftp_stream_filter>(chain[1]), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<ssl_stream_filter>(chain[2]), nullptr);
    fp->release();
}

TEST_F(chain_test, mail_session_filters_come_first) {
    platform::reg_override_set_u32(config::net_key, "enable_mail", 1);
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, 1);
    std::vector<std::shared_ptr<i_stream_filter>> chain(as_bunch(fp)->chain().begin(), as_bunch(fp)->chain().end());
    ASSERT_GE(chain.size(), 4u);
    EXPECT_NE(std::dynamic_pointer_cast<mail::pop3_stream_filter>(chain[0]), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<mail::smtp_stream_filter>(chain[1]), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<http_stream_filter>(chain[chain.size() - 2]), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<ssl_stream_filter>(chain.back()), nullptr);
    // Sessions of each mail protocol cross the whole chain unchanged.
    for (const char* name : {"pop3/session.txt", "smtp/pipelined.txt"}) {
        const kit::transcript t = kit::load_transcript(name);
        kit::capturing_provider q;
        zem::i_filt_point* f = create_filt_point(&q, 2);
        for (const auto& step : t.steps)
            for (const std::string& c : kit::one_byte_chunks(step.bytes))
                step.out ? f->update_out(c.data(), 1) : f->update_in(c.data(), 1);
        EXPECT_EQ(q.in, t.all(false)) << name;
        EXPECT_EQ(q.out, t.all(true)) << name;
        f->release();
    }
    fp->release();
}

TEST_F(chain_test, disabled_http_and_tls_leave_no_filter_and_traffic_passes_untouched) {
    platform::reg_override_set_u32(config::net_key, "enable_http", 0);
    platform::reg_override_set_u32(config::net_key, "enable_ssl", 0);
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, 1);
    EXPECT_TRUE(as_bunch(fp)->chain().empty());
    const std::string req = "GET / HTTP/1.1\r\nHost: a\r\nCookie: x=1\r\n\r\n";
    EXPECT_FALSE(fp->update_out(req.data(), static_cast<int>(req.size())));
    EXPECT_EQ(p.out, req);
    fp->release();
}

TEST_F(chain_test, short_string_value_reads_as_a_number) {
    // Three characters and the terminator: four bytes, non-zero.
    platform::reg_override_set_string(config::net_key, "enable_http", "abc");
    EXPECT_TRUE(config::read_net_config().enable_http);
    // Five bytes leave the default (on).
    platform::reg_override_set_string(config::net_key, "enable_http", "abcd");
    EXPECT_TRUE(config::read_net_config().enable_http);
    platform::reg_value zero;
    zero.type = platform::reg_binary;
    zero.bytes = std::string(2, '\0');
    platform::reg_override_set(config::net_key, "enable_http", zero);
    EXPECT_FALSE(config::read_net_config().enable_http);
}

TEST_F(chain_test, change_counts_for_the_next_filter_point_only) {
    kit::capturing_provider p1, p2;
    zem::i_filt_point* first = create_filt_point(&p1, 1);
    platform::reg_override_set_u32(config::net_key, "enable_http", 0);
    zem::i_filt_point* second = create_filt_point(&p2, 2);
    EXPECT_EQ(as_bunch(first)->chain().size(), 2u);
    EXPECT_EQ(as_bunch(second)->chain().size(), 1u);
    first->release();
    second->release();
}

TEST_F(chain_test, default_configuration) {
    config::net_config c = config::read_net_config();
    EXPECT_FALSE(c.enable_mail);
    EXPECT_TRUE(c.enable_http);
    EXPECT_FALSE(c.enable_ftp);
    EXPECT_TRUE(c.enable_ssl);
    EXPECT_EQ(c.dumps_path, "");
    platform::reg_override_set_string(config::net_key, "dumps_path", "/var/dumps");
    platform::reg_override_set_u32(config::net_key, "enable_mail", 7);
    c = config::read_net_config();
    EXPECT_EQ(c.dumps_path, "/var/dumps");
    EXPECT_TRUE(c.enable_mail);
}

}  // namespace
