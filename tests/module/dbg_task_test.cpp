// The exported debug task, through the shared library: the task file beside
// the running program names a recording, and the replay lands beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "capture/pieces.h"
#include "kit/shared_library.h"
#include "kit/temp_dir.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

TEST(debug_task, exported_entry_replays_the_recording_the_task_file_names) {
    auto lib = std::make_unique<kit::shared_library>(ZEM_SHARED_LIB_PATH);
    ASSERT_TRUE(lib->loaded()) << lib->error();
    auto run = lib->function<bool (*)()>("execute_dbg_task");
    ASSERT_NE(run, nullptr);

    const std::string exe = platform::executable_path();
    const std::string ini = exe.substr(0, exe.find_last_of(platform::path_separator()) + 1) + "zem_dbg_task.ini";
    std::remove(ini.c_str());
    EXPECT_FALSE(run());  // no task file

    kit::temp_dir dir;
    const std::string request = "GET / HTTP/1.1\r\nHost: h.example\r\n\r\n";
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    std::string packed;
    ASSERT_TRUE(capture::pack_pieces({{request, false}, {response, true}}, packed));
    const std::string dump = dir.path() + "/zem_00_00_00_000(1)before.dump_bi";
    ASSERT_TRUE(platform::replace_file(dump, packed.data(), packed.size()));
    ASSERT_TRUE(platform::replace_file(ini, dump.data(), dump.size()));
    const bool ok = run();
    std::remove(ini.c_str());
    lib.reset();
    ASSERT_TRUE(ok);
    capture::piece_list out;
    ASSERT_TRUE(capture::unpack_pieces(dir.read("zem_00_00_00_000(1)before_out.dump_bi"), out));
    EXPECT_EQ(capture::readable_form(out), "OUT:" + request + "IN:" + response + "IN:OUT:");
    EXPECT_EQ(dir.read("zem_00_00_00_000(1)before_out.dump"), capture::readable_form(out));
}

}  // namespace
