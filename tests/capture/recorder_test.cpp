// The traffic recorders around a connection's filters: what they write, and
// that they never disturb the traffic.
#include <gtest/gtest.h>

#include <filesystem>

#include "capture/path_through_stream_filter.h"
#include "capture/pieces.h"
#include "core/bunch_filter.h"
#include "kit/kit.h"
#include "kit/log_capture.h"
#include "kit/temp_dir.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

const char* const net_key = "Software\\MORVEX Software\\Morvex\\net";

const std::string request = "GET /a HTTP/1.1\r\nHost: site.example\r\n\r\n";
const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello";

class recorder_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_clear();
        platform::reg_override_isolate(true);
    }
    void TearDown() override { platform::reg_override_clear(); }

    // Runs one exchange through a filter point made as the host gets one.
    void run_exchange(kit::capturing_provider& p, const std::vector<std::string>& out_chunks,
                      const std::vector<std::string>& in_chunks) {
        zem::i_filt_point* fp = create_filt_point(&p, 3);
        ASSERT_NE(fp, nullptr);
        for (const auto& c : out_chunks) fp->update_out(c.data(), static_cast<int>(c.size()));
        for (const auto& c : in_chunks) fp->update_in(c.data(), static_cast<int>(c.size()));
        fp->stop_out();
        fp->stop_in();
        fp->release();
    }

    static std::string joined(const capture::piece_list& pieces, bool in) {
        std::string s;
        for (const auto& p : pieces)
            if (p.in == in) s += p.bytes;
        return s;
    }
};

TEST_F(recorder_test, chain_is_wrapped_and_both_records_are_written_unchanged) {
    kit::temp_dir dir;
    platform::reg_override_set_string(net_key, "dumps_path", dir.path());
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, 3);
    const auto& chain = static_cast<bunch_filter*>(fp)->chain();
    ASSERT_EQ(chain.size(), 4u);
    EXPECT_NE(std::dynamic_pointer_cast<capture::before_recorder>(chain.front()), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<capture::after_recorder>(chain.back()), nullptr);
    fp->release();
    EXPECT_TRUE(dir.files().empty());  // no bytes, no files

    const auto out_chunks = kit::split_at(request, 7);
    const auto in_chunks = kit::random_chunks(response, kit::test_seed(), 9);
    run_exchange(p, out_chunks, in_chunks);
    EXPECT_EQ(p.out, request);
    EXPECT_EQ(p.in, response);

    const auto files = dir.files();
    ASSERT_EQ(files.size(), 4u);
    const std::string id = "(" + std::to_string(p.id1) + ")";
    std::string before, after;
    for (const auto& f : files) {
        EXPECT_EQ(f.rfind("zem_", 0), 0u) << f;
        EXPECT_NE(f.find(id), std::string::npos) << f;
        if (f.size() > 12 && f.compare(f.size() - 12, 12, ")before.dump") == 0) before = f;
        if (f.size() > 11 && f.compare(f.size() - 11, 11, ")after.dump") == 0) after = f;
    }
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(after.empty());
    // zem_hh_mm_ss_mmm(
    EXPECT_EQ(before.find('('), 16u);

    std::string expected = "OUT:" + out_chunks[0] + "OUT:" + out_chunks[1];
    for (const auto& c : in_chunks) expected += "IN:" + c;
    EXPECT_EQ(dir.read(before), expected);

    capture::piece_list b, a;
    ASSERT_TRUE(capture::unpack_pieces(dir.read(before + "_bi"), b));
    ASSERT_EQ(b.size(), 2 + in_chunks.size());
    EXPECT_EQ(capture::readable_form(b), expected);
    ASSERT_TRUE(capture::unpack_pieces(dir.read(after + "_bi"), a));
    EXPECT_EQ(joined(a, false), p.out);
    EXPECT_EQ(joined(a, true), p.in);
    EXPECT_EQ(capture::readable_form(a), dir.read(after));
}

TEST_F(recorder_test, missing_or_unusable_folder_only_means_no_files) {
    kit::temp_dir dir;
    const std::string file_in_place = dir.path() + "/plain_file";
    std::FILE* f = std::fopen(file_in_place.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    for (const std::string& folder : {dir.path() + "/missing/deeper", file_in_place}) {
        platform::reg_override_set_string(net_key, "dumps_path", folder);
        kit::capturing_provider p;
        run_exchange(p, {request}, kit::one_byte_chunks(response));
        EXPECT_EQ(p.out, request);
        EXPECT_EQ(p.in, response);
    }
    EXPECT_EQ(dir.files(), std::vector<std::string>{"plain_file"});
}

TEST_F(recorder_test, writes_once_when_both_directions_end_and_keeps_empty_pieces) {
    kit::temp_dir dir;
    stub_connection_feedback feedback;
    kit::log_capture log(2);
    {
        capture::after_recorder r(&feedback, dir.path());
        byte_string empty, data = "abc", tail = "tail";
        EXPECT_TRUE(r.update_in(empty));
        EXPECT_TRUE(r.update_out(data));
        EXPECT_EQ(data, "abc");
        r.stop_out(tail);  // bytes flushed at a stop are part of the record
        EXPECT_EQ(tail, "tail");
        EXPECT_TRUE(dir.files().empty());
        byte_string late = "late";
        r.update_in(late);  // the other direction still flows
        byte_string none;
        r.stop_in(none);
        ASSERT_EQ(dir.files().size(), 2u);
        EXPECT_EQ(dir.read(dir.files()[0]), "IN:OUT:abcOUT:tailIN:late");
        for (const auto& name : dir.files()) std::filesystem::remove(dir.path() + "/" + name);
        r.stop_in(none);
        r.stop_out(none);
    }
    EXPECT_TRUE(dir.files().empty());                                  // neither a second stop nor the end rewrites
    EXPECT_EQ(log.count("path_through_stream_filter AFTER ()\n"), 2);  // made and ended
    EXPECT_EQ(log.count("path_through_stream_filter AFTER () STOP_IN"), 2);
    EXPECT_EQ(log.count("~path_through_stream_filter AFTER ()"), 1);

    // Without a folder nothing is kept; destruction alone writes the files.
    {
        capture::before_recorder r(&feedback, "");
        byte_string d = "x";
        r.update_out(d);
        EXPECT_TRUE(r.pieces().empty());
    }
    {
        capture::before_recorder r(&feedback, dir.path());
        byte_string d = "x";
        r.update_out(d);
    }
    ASSERT_EQ(dir.files().size(), 2u);
    EXPECT_EQ(dir.read(dir.files()[0]), "OUT:x");
}

TEST(recorder_names, time_stamp_is_utc_time_of_day) {
    const std::uint64_t day = 24ull * 3600 * 10000000;
    const std::uint64_t t = (9 * 3600 + 5 * 60 + 7) * 10000000ull + 42 * 10000ull + 9999;
    EXPECT_EQ(capture::dump_time_stamp(t), "09_05_07_042");
    EXPECT_EQ(capture::dump_time_stamp(153000 * day + t), "09_05_07_042");
    EXPECT_EQ(capture::dump_time_stamp(day - 1), "23_59_59_999");
}

}  // namespace
