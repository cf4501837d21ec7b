// Replays every saved fuzz finding (tests/data/regressions/<target>/) and
// every seed (fuzz/corpus/<target>/) through the fuzz target's own driver.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../../fuzz/drivers.h"
#include "../../fuzz/mail_session_drivers.h"
#include "../../fuzz/small_drivers.h"
#include "../../fuzz/watch_drivers.h"
#include "kit/mail_driver.h"

namespace {

using driver = std::string (*)(const std::uint8_t*, std::size_t);

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> r;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.empty() || name[0] == '.') continue;
            r.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(r.begin(), r.end());
    return r;
}

std::string read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Runs every input of the target's two folders; returns how many ran.
std::size_t replay(const std::string& target, driver run) {
    const std::string data_dir = ZEM_TEST_DATA_DIR;
    std::vector<std::string> inputs = files_in(data_dir + "/regressions/" + target);
    for (const auto& f : files_in(data_dir + "/../../fuzz/corpus/" + target)) inputs.push_back(f);
    for (const auto& path : inputs) {
        const std::string bytes = read_all(path);
        const std::string failure = run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(failure, "") << path;
    }
    return inputs.size();
}

}  // namespace

TEST(fuzz_replay, http_filter) { EXPECT_GT(replay("http_filter", &fuzz_drivers::run_http_filter), 0u); }
TEST(fuzz_replay, html) { EXPECT_GT(replay("html", &fuzz_drivers::run_html), 0u); }
TEST(fuzz_replay, script_text) { EXPECT_GT(replay("script_text", &fuzz_drivers::run_script_text), 0u); }
TEST(fuzz_replay, decoders) { EXPECT_GT(replay("decoders", &fuzz_drivers::run_decoders), 0u); }
TEST(fuzz_replay, gif) { EXPECT_GT(replay("gif", &fuzz_drivers::run_gif), 0u); }
TEST(fuzz_replay, whole_chain) { EXPECT_GT(replay("whole_chain", &fuzz_drivers::run_whole_chain), 0u); }
TEST(fuzz_replay, host_replies) { EXPECT_GT(replay("host_replies", &fuzz_drivers::run_host_replies), 0u); }
TEST(fuzz_replay, matcher) { EXPECT_GT(replay("matcher", &fuzz_drivers::run_matcher), 0u); }
TEST(fuzz_replay, registry) { EXPECT_GT(replay("registry", &fuzz_drivers::run_registry), 0u); }
TEST(fuzz_replay, ftp) { EXPECT_GT(replay("ftp", &fuzz_drivers::run_ftp), 0u); }
TEST(fuzz_replay, pop3) { EXPECT_GT(replay("pop3", &fuzz_drivers::run_pop3), 0u); }
TEST(fuzz_replay, smtp) { EXPECT_GT(replay("smtp", &fuzz_drivers::run_smtp), 0u); }
TEST(fuzz_replay, ssl) { EXPECT_GT(replay("ssl", &fuzz_drivers::run_ssl), 0u); }
TEST(fuzz_replay, mail) {
    EXPECT_GT(replay("mail",
                     [](const std::uint8_t* p, std::size_t n) {
                         return kit::run_mail_message(std::string(reinterpret_cast<const char*>(p), n));
                     }),
              0u);
}

// The drivers' checks must be able to fail: a decoder that loses its end,
// a swapper that changes text and a filter point that drops client bytes are
// each caught. These use the drivers' helpers on deliberately broken parts.
TEST(fuzz_replay, input_chunking_covers_the_text_in_order) {
    const std::uint8_t sizes[] = {0, 4, 250, 9};
    fuzz_drivers::input_reader in(sizes, sizeof sizes);
    std::string text(5000, 'x');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    const auto pieces = fuzz_drivers::chunk_by_input(text, in);
    ASSERT_GE(pieces.size(), 4u);
    EXPECT_EQ(pieces[0].size(), 1u);
    EXPECT_EQ(pieces[1].size(), 5u);
    EXPECT_EQ(pieces[2].size(), (251u - 200u) * 97u);
    std::string joined;
    for (const auto& p : pieces) joined += p;
    EXPECT_EQ(joined, text);
}

TEST(fuzz_replay, gzip_magic_inside_trailing_junk_is_not_a_new_member) {
    // After junk has followed the stream, bytes that happen to look like a
    // gzip header are still junk, however the body is cut.
    const std::string plain = "decoded";
    const std::string member = kit::gzip(plain);
    const std::string body = member + "xy" + kit::gzip("HIDDEN");
    for (std::size_t cut = member.size(); cut <= member.size() + 2; ++cut) {
        auto target = std::make_shared<fuzz_drivers::collecting_target>();
        content_encoding_gzip dec(false, target);
        std::string client;
        for (const auto& piece : kit::split_at(body, cut)) {
            byte_string p = piece;
            ASSERT_TRUE(dec.update_in(p));
            client += p;
        }
        byte_string tail;
        dec.stop(tail);
        client += tail;
        EXPECT_EQ(client, plain) << "cut at " << cut;
    }
}

TEST(fuzz_replay, request_line_without_its_header_reaches_the_server_at_close) {
    // The client closes after the request line of its next request: those
    // bytes still reach the server, at every cut.
    const std::string first = "GET /a HTTP/1.1\r\nHost: h.example\r\n\r\n";
    const std::string partial = "GET /b HTTP/1.1\r\n";
    for (std::size_t cut = 1; cut < partial.size(); ++cut) {
        fuzz_drivers::host_scope hs;
        kit::capturing_provider provider;
        {
            bunch_filter point(&provider, 1, [](i_connection_feedback* fb, filter_chain& chain) {
                chain.push_back(std::make_shared<http_stream_filter>(fb, module::web_handler_hooks()));
            });
            point.update_out(first.data(), static_cast<int>(first.size()));
            for (const auto& piece : kit::split_at(partial, cut))
                point.update_out(piece.data(), static_cast<int>(piece.size()));
            point.stop_in();
            point.stop_out();
        }
        EXPECT_EQ(provider.out, first + partial) << "cut at " << cut;
    }
}
