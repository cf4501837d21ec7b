// With mail enabled a filter point carries the news and IMAP filters before
// the web filter; an IMAP session through the whole default chain arrives
// unchanged and its message is filtered once.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/bunch_filter.h"
#include "core/configuration.h"
#include "http/http_stream_filter.h"
#include "kit/kit.h"
#include "kit/mail_session.h"
#include "kit/transcript.h"
#include "mail/protocols/imap_stream_filter.h"
#include "mail/protocols/nntp_stream_filter.h"
#include "module/chain_factory.h"
#include "zem/zem.h"

namespace {

class mail_chain_test : public kit::session_test {};

template <class T>
std::ptrdiff_t index_of(const std::vector<std::shared_ptr<i_stream_filter>>& chain) {
    for (std::size_t i = 0; i < chain.size(); ++i)
        if (std::dynamic_pointer_cast<T>(chain[i])) return static_cast<std::ptrdiff_t>(i);
    return -1;
}

TEST_F(mail_chain_test, news_and_imap_come_before_the_web_filter) {
    platform::reg_override_set_u32(config::net_key, "enable_mail", 1);
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, 1);
    auto* bunch = static_cast<bunch_filter*>(fp);
    const std::vector<std::shared_ptr<i_stream_filter>> chain(bunch->chain().begin(), bunch->chain().end());
    const auto nntp = index_of<nntp_stream_filter>(chain), imap = index_of<imap_stream_filter>(chain),
               http = index_of<http_stream_filter>(chain);
    EXPECT_GE(nntp, 0);
    EXPECT_GT(imap, nntp);
    EXPECT_GT(http, imap);

    // The session of the IMAP transcript through that chain.
    const kit::transcript t = kit::load_transcript("imap/fetch_allowed.txt");
    for (const auto& s : t.steps) {
        if (s.out)
            fp->update_out(s.bytes.data(), static_cast<int>(s.bytes.size()));
        else
            fp->update_in(s.bytes.data(), static_cast<int>(s.bytes.size()));
    }
    fp->stop_in();
    fp->stop_out();
    std::string in = p.in;
    for (std::size_t at; (at = in.find(imap_stream_filter::keep_alive_line)) != std::string::npos;)
        in.erase(at, std::strlen(imap_stream_filter::keep_alive_line));
    EXPECT_EQ(in, t.all(false));
    EXPECT_EQ(p.out, t.all(true));
    EXPECT_EQ(host.notification_count(zem::codes::http_notify_mail_message_start), 1u);
    fp->release();

    platform::reg_override_set_u32(config::net_key, "enable_mail", 0);
    fp = create_filt_point(&p, 1);
    EXPECT_EQ(index_of<imap_stream_filter>(
                  {static_cast<bunch_filter*>(fp)->chain().begin(), static_cast<bunch_filter*>(fp)->chain().end()}),
              -1);
    fp->release();
}

}  // namespace
