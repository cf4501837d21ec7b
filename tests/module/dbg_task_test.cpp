// The exported debug task, through the shared library: the task file beside
// the running program names a recording, and the replay lands beside it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "capture/pieces.h"
#include "kit/temp_dir.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

TEST(debug_task, exported_entry_replays_the_recording_the_task_file_names) {
    void* handle = dlopen(ZEM_SHARED_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto run = reinterpret_cast<bool (*)()>(dlsym(handle, "execute_dbg_task"));
    ASSERT_NE(run, nullptr);

    const std::string exe = platform::executable_path();
    const std::string ini = exe.substr(0, exe.find_last_of('/') + 1) + "zem_dbg_task.ini";
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
    dlclose(handle);
    ASSERT_TRUE(ok);
    capture::piece_list out;
    ASSERT_TRUE(capture::unpack_pieces(dir.read("zem_00_00_00_000(1)before_out.dump_bi"), out));
    EXPECT_EQ(capture::readable_form(out), "OUT:" + request + "IN:" + response + "IN:OUT:");
    EXPECT_EQ(dir.read("zem_00_00_00_000(1)before_out.dump"), capture::readable_form(out));
}

}  // namespace
