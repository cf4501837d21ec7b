// Recorded connections run again through a fresh filter point.
#include "capture/replay.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "capture/pieces.h"
#include "core/bunch_filter.h"
#include "kit/kit.h"
#include "kit/log_capture.h"
#include "kit/temp_dir.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

const char* const net_key = "Software\\MORVEX Software\\Morvex\\net";

class replay_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_clear();
        platform::reg_override_isolate(true);
    }
    void TearDown() override { platform::reg_override_clear(); }

    static void put(const std::string& path, const std::string& bytes) {
        ASSERT_TRUE(platform::replace_file(path, bytes.data(), bytes.size()));
    }
    static std::string joined(const capture::piece_list& pieces, bool in) {
        std::string s;
        for (const auto& p : pieces)
            if (p.in == in) s += p.bytes;
        return s;
    }
    static capture::piece_list unpack(const std::string& bytes) {
        capture::piece_list l;
        EXPECT_TRUE(capture::unpack_pieces(bytes, l));
        return l;
    }
};

// A page exchange recorded live, then replayed from the BEFORE record with
// the same configuration: the result carries the same bytes as the AFTER one.
TEST_F(replay_test, recorded_exchange_replays_to_the_same_after_bytes) {
    kit::temp_dir rec;
    platform::reg_override_set_string(net_key, "dumps_path", rec.path());
    const std::string page = "<html><body><script>alert(1)</script><p>text</p></body></html>";
    const std::string request = "GET /p HTTP/1.1\r\nHost: site.example\r\n\r\n";
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" +
        page;
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, 0);
    fp->update_out(request.data(), static_cast<int>(request.size()));
    for (const auto& c : kit::random_chunks(response, kit::test_seed(), 17))
        fp->update_in(c.data(), static_cast<int>(c.size()));
    fp->stop_in();
    fp->stop_out();
    fp->release();
    std::string before, after;
    for (const auto& f : rec.files()) {
        if (f.find(")before.dump_bi") != std::string::npos) before = rec.path() + "/" + f;
        if (f.find(")after.dump_bi") != std::string::npos) after = rec.path() + "/" + f;
    }
    ASSERT_FALSE(before.empty());
    platform::reg_override_clear();  // the replay itself records nothing

    kit::temp_dir task;
    const std::string ini = task.path() + "/zem_dbg_task.ini";
    put(ini, before + "\r\n");
    kit::log_capture log;
    ASSERT_TRUE(capture::run_dbg_task(&create_filt_point, ini));
    const std::string out = before.substr(0, before.size() - 8) + "_out.dump_bi";
    const auto replayed = unpack(rec.read(std::filesystem::path(out).filename().string()));
    const auto recorded = unpack(rec.read(std::filesystem::path(after).filename().string()));
    EXPECT_EQ(joined(replayed, true), joined(recorded, true));
    EXPECT_EQ(joined(replayed, false), joined(recorded, false));
    EXPECT_EQ(joined(replayed, true), p.in);
    EXPECT_EQ(rec.read(std::filesystem::path(out.substr(0, out.size() - 3)).filename().string()),
              capture::readable_form(replayed));
    EXPECT_EQ(log.count("Erorr!!! "), 0);
}

TEST_F(replay_test, folder_walk_replays_every_dump_and_reports_damaged_ones) {
    kit::temp_dir dir;
    std::filesystem::create_directories(dir.path() + "/sub/.svn");
    std::string good;
    ASSERT_TRUE(capture::pack_pieces({{"abc", false}, {"def", true}}, good));
    put(dir.path() + "/a.dump_bi", good);
    put(dir.path() + "/sub/b.dump_bi", good);
    put(dir.path() + "/sub/.svn/c.dump_bi", good);
    put(dir.path() + "/sub/c.dump_bi", good.substr(0, good.size() - 2));
    put(dir.path() + "/notes.txt", "x");
    const std::string ini = dir.path() + "/task.ini";
    put(ini, dir.path());
    for (int round = 0; round < 2; ++round) {  // outputs of the first round are not inputs of the second
        kit::log_capture log;
        EXPECT_FALSE(capture::run_dbg_task(&create_filt_point, ini));
        EXPECT_EQ(log.count("Enumerating folder: "), 2);
        EXPECT_EQ(log.count("Test dump: "), 3);
        EXPECT_EQ(log.count(" Success!\r\n"), 2);
        EXPECT_EQ(log.count("Failed!\r\n"), 1);
        EXPECT_EQ(log.count("Failed to load solid buffer from file:"), 1);
    }
    const auto out = unpack(dir.read("a_out.dump_bi"));
    ASSERT_EQ(out.size(), 4u);  // two pieces, then what each stop gave
    EXPECT_EQ(capture::readable_form(out), "OUT:abcIN:defIN:OUT:");
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/sub/b_out.dump_bi"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/sub/.svn/c_out.dump_bi"));
}

TEST_F(replay_test, missing_task_or_target_fails_with_a_log_line) {
    kit::temp_dir dir;
    kit::log_capture log;
    EXPECT_FALSE(capture::run_dbg_task(&create_filt_point, dir.path() + "/none.ini"));
    put(dir.path() + "/t.ini", dir.path() + "/nothing_here.dump_bi");
    EXPECT_FALSE(capture::run_dbg_task(&create_filt_point, dir.path() + "/t.ini"));
    EXPECT_EQ(log.count("Failed to open "), 2);
    EXPECT_EQ(capture::dbg_task_file().substr(capture::dbg_task_file().size() - 17),
              platform::path_separator() + std::string("zem_dbg_task.ini"));
}

// A filter point that has nothing to do any more passes the rest of a piece
// on as it was; slices never exceed the limit.
zem::i_filt_point* empty_point(zem::i_provider* p, int context) {
    return new bunch_filter(p, context, [](i_connection_feedback*, filter_chain&) {});
}

TEST_F(replay_test, pieces_are_sliced_and_kept_whole_when_the_chain_is_empty) {
    capture::filt_test_via_bundle bundle(&empty_point);
    const capture::piece_list in{{"0123456789", false}, {"", true}, {"abcd", true}};
    const auto out = capture::replay_pieces(bundle, in, 3);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].bytes, "0123456789");
    EXPECT_FALSE(out[0].in);
    EXPECT_EQ(out[1].bytes, "");
    EXPECT_TRUE(out[1].in);
    EXPECT_EQ(out[2].bytes, "abcd");
    EXPECT_TRUE(out[3].in);
    EXPECT_FALSE(out[4].in);
}

}  // namespace
