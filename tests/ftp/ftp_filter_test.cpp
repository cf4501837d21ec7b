// The FTP control-channel watcher: sessions kept as transcripts under
// tests/data/ftp, fed whole, one byte at a time, split at every offset of
// every step and with each direction's steps joined into one chunk. Every
// byte must reach the other side unchanged, and the announcements made to
// the host must be exactly the expected ones.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "ftp/ftp_stream_filter.h"
#include "host/host_link.h"
#include "kit/hosted_test.h"
#include "kit/kit.h"
#include "kit/transcript.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

using chunking = std::vector<std::string> (*)(const std::string&);

std::vector<std::string> whole(const std::string& s) { return {s}; }

struct run_result {
    std::string out, in, announced;  // announced: "a.b.c.d port" lines
    bool detached = false;
};

class ftp_filter_test : public kit::hosted_test {
protected:
    // Feeds the steps through a filter point carrying the FTP filter alone;
    // 'cut' splits each step into the chunks that are delivered.
    run_result run(const std::vector<kit::transcript::step>& steps, const kit::chunker& cut) {
        host.clear_records();
        std::shared_ptr<ftp_stream_filter> f;
        const kit::fed got = kit::feed_steps(
            steps, [&f](i_connection_feedback* fb) { return f = std::make_shared<ftp_stream_filter>(fb); }, cut);
        run_result r;
        r.detached = f->dead() || got.chain_empty;
        r.out = got.out;
        r.in = got.in;
        std::ostringstream a;
        for (const auto& c : host.commands(zem::codes::firewall_allow_connection)) {
            EXPECT_EQ(c.data.size(), 36u);
            EXPECT_EQ(kit::le32(c.data, 0), 36u);
            const std::uint32_t addr = kit::le32(c.data, 28);
            a << (addr >> 24) << '.' << ((addr >> 16) & 255) << '.' << ((addr >> 8) & 255) << '.' << (addr & 255) << ' '
              << kit::le32(c.data, 32) << '\n';
        }
        r.announced = a.str();
        return r;
    }

    void check(const std::string& name) {
        const std::string rel = "ftp/" + name + ".txt";
        const kit::transcript t = kit::load_transcript(rel);
        std::string want_announced;
        bool want_detached = false;
        for (const std::string& e : t.expect) {
            if (e.rfind("announce ", 0) == 0) want_announced += e.substr(9) + '\n';
            want_detached = want_detached || e == "detached";
        }
        auto verify = [&](const run_result& r, const std::string& how) {
            EXPECT_EQ(r.out, t.all(true)) << name << " " << how;
            EXPECT_EQ(r.in, t.all(false)) << name << " " << how;
            EXPECT_EQ(r.announced, want_announced) << name << " " << how;
            EXPECT_EQ(r.detached, want_detached) << name << " " << how;
            if (r.announced != want_announced) kit::save_got(rel, r.announced);
        };
        verify(run(t.steps, whole), "whole");
        verify(run(t.joined(), whole), "joined");
        verify(run(t.steps, kit::one_byte_chunks), "one byte at a time");
        const std::uint32_t seed = kit::test_seed();
        verify(run(t.joined(), [seed](const std::string& s) { return kit::random_chunks(s, seed, 7); }),
               "random chunks");
        // Every split point of every step, one step at a time.
        for (std::size_t k = 0; k < t.steps.size(); ++k)
            for (std::size_t at = 1; at < t.steps[k].bytes.size(); ++at) {
                std::size_t n = 0;
                const run_result r = run(t.steps, [&](const std::string& s) {
                    return n++ == k ? kit::split_at(s, at) : std::vector<std::string>{s};
                });
                verify(r, "step " + std::to_string(k) + " split at " + std::to_string(at));
                if (::testing::Test::HasFailure()) return;
            }
    }
};

TEST_F(ftp_filter_test, passive_client_announces_each227) { check("passive_client"); }
TEST_F(ftp_filter_test, local_server_announces_port_commands) { check("local_server_active"); }
TEST_F(ftp_filter_test, addresses_out_of_range_announce_nothing) { check("bad_addresses"); }
TEST_F(ftp_filter_test, non_ftp_server_is_not_followed) { check("not_ftp_reply"); }
TEST_F(ftp_filter_test, unknown_command_ends_following) { check("unknown_command"); }
TEST_F(ftp_filter_test, client_speaking_first_is_not_ftp) { check("client_speaks_first"); }
TEST_F(ftp_filter_test, server_text_that_is_no_reply_ends_following) { check("reply_not_a_reply"); }

TEST_F(ftp_filter_test, lines_longer_than_the_bound_end_following) {
    // A line of exactly the bound is fine, one byte more is not, whether it
    // comes whole or unterminated.
    const std::string ok = "200 " + std::string(ftp_stream_filter::max_line - 6, 'a') + "\r\n";
    const std::string too_long = "200 " + std::string(ftp_stream_filter::max_line - 5, 'a') + "\r\n";
    using step = kit::transcript::step;
    const std::string greeting = "220 ready\r\n", pasv = "227 (1,2,3,4,0,1)\r\n";
    EXPECT_EQ(run({{false, greeting}, {false, ok}, {false, pasv}}, whole).announced, "1.2.3.4 1\n");
    const run_result r = run({{false, greeting}, {false, too_long}, {false, pasv}}, whole);
    EXPECT_TRUE(r.detached);
    EXPECT_EQ(r.announced, "");
    EXPECT_EQ(r.in, greeting + too_long + pasv);
    EXPECT_TRUE(run({{false, greeting}, {true, std::string(5000, 'N')}}, kit::one_byte_chunks).detached);
    // Many short lines in one chunk are not a long line.
    std::string many;
    for (int i = 0; i < 2000; ++i) many += "NOOP\r\n";
    const run_result lots = run({step{false, greeting}, step{true, many}, step{false, pasv}}, whole);
    EXPECT_FALSE(lots.detached);
    EXPECT_EQ(lots.announced, "1.2.3.4 1\n");
}

TEST_F(ftp_filter_test, no_host_means_no_announcement_and_nothing_breaks) {
    zem_io_commands::set_host_iface(nullptr);
    const kit::transcript t = kit::load_transcript("ftp/passive_client.txt");
    const run_result r = run(t.steps, whole);
    EXPECT_EQ(r.in, t.all(false));
    EXPECT_FALSE(r.detached);
}

}  // namespace
