#pragma once
// Mail protocol sessions kept as transcripts under tests/data/<protocol>,
// fed through one protocol filter in every chunking. Expectations a
// transcript may state:
//   cached N      messages run through the mail filter to their end
//   started N     messages announced (default: as cached)
//   detached      the filter stepped aside
//   verdict cut   the host cuts every attachment
//   got TEXT      the client receives these lines (CRLF added) instead of
//                 the server's bytes unchanged; their framing is checked
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "host/host_link.h"
#include "kit/hosted_test.h"
#include "kit/kit.h"
#include "kit/transcript.h"
#include "platform/registry.h"
#include "zem/external_iface.h"

namespace kit {

class session_test : public kit::hosted_test {
protected:
    using maker = std::function<std::shared_ptr<i_stream_filter>(i_connection_feedback*)>;
    // Takes the filter's own insertions (keep-alive lines) out of what the
    // client got; returns how many there were.
    using stripper = std::function<std::size_t(std::string&)>;

    void check(const std::string& rel, const maker& make, const stripper& strip,
               const std::function<bool(const std::string&)>& framing_holds) {
        const kit::transcript t = kit::load_transcript(rel);
        std::size_t want_cached = 0, want_started = ~std::size_t(0);
        bool want_detached = false, changed = false;
        std::string want_in;
        for (const std::string& e : t.expect) {
            if (e.rfind("cached ", 0) == 0) want_cached = std::stoul(e.substr(7));
            if (e.rfind("started ", 0) == 0) want_started = std::stoul(e.substr(8));
            if (e == "detached") want_detached = true;
            if (e == "verdict cut") host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
            if (e.rfind("got ", 0) == 0) {
                want_in += e.substr(4) + "\r\n";
                changed = true;
            }
        }
        if (!changed) want_in = t.all(false);
        if (want_started == ~std::size_t(0)) want_started = want_cached;
        // What the filter rewrote must still be framed as the protocol says.
        if (changed) {
            EXPECT_TRUE(framing_holds(want_in)) << rel;
        }
        kit::for_every_chunking(
            t, [&](const std::vector<kit::transcript::step>& steps, const kit::chunker& cut, const std::string& how) {
                host.clear_records();
                const kit::fed got = kit::feed_steps(steps, make, cut, {}, true);
                std::string in = got.in;
                const std::size_t inserted = strip(in);
                EXPECT_EQ(got.out, t.all(true)) << rel << " " << how;
                EXPECT_EQ(in, want_in) << rel << " " << how;
                if (in != want_in) kit::save_got(rel, in);
                EXPECT_EQ(got.chain_empty, want_detached) << rel << " " << how;
                EXPECT_EQ(host.notification_count(zem::codes::http_notify_mail_message_start), want_started)
                    << rel << " " << how;
                // Completions of the messages themselves (not of their attachments).
                std::set<std::uint64_t> ids;
                for (const auto& n : host.notifications(zem::codes::http_notify_mail_message_start))
                    ids.insert(kit::le64(n.data, 28));
                std::size_t cached = 0;
                for (const auto& n : host.notifications(zem::codes::general_notify_transfer_complete))
                    cached += ids.count(kit::le64(n.data, 28));
                EXPECT_EQ(cached, want_cached) << rel << " " << how;
                last_inserted[how] = inserted;
            });
    }

    std::map<std::string, std::size_t> last_inserted;  // per chunking, of the last check
};

}  // namespace kit
