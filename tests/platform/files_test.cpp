// Files, folders, the critical section and the clocks as the engine uses
// them, on whichever system the build is for.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include "kit/temp_dir.h"
#include "platform/clock.h"
#include "platform/lock.h"
#include "platform/process.h"

namespace {

TEST(platform_files, new_files_get_unique_names_and_keep_their_bytes) {
    kit::temp_dir dir;
    ASSERT_FALSE(dir.path().empty());
    std::set<std::string> paths;
    for (int i = 0; i < 20; ++i) {
        const std::string data = "certificate " + std::to_string(i) + std::string(1, '\0') + "\xff";
        std::string path;
        ASSERT_TRUE(platform::write_new_file(dir.path(), "cer", data.data(), data.size(), path));
        EXPECT_TRUE(paths.insert(path).second) << path;
        EXPECT_EQ(path.compare(0, dir.path().size(), dir.path()), 0) << path;
        std::string back;
        ASSERT_TRUE(platform::read_file(path, back, 1 << 20));
        EXPECT_EQ(back, data);
    }
    EXPECT_EQ(dir.files().size(), 20u);
    std::string path;
    EXPECT_FALSE(platform::write_new_file(platform::join_path(dir.path(), "missing"), "cer", "x", 1, path));
}

TEST(platform_files, append_replace_and_the_read_limit) {
    kit::temp_dir dir;
    const std::string path = platform::join_path(dir.path(), "hostname.txt");
    ASSERT_TRUE(platform::append_file(path, "a\r\n", 3));
    ASSERT_TRUE(platform::append_file(path, "b\r\n", 3));
    std::string back;
    ASSERT_TRUE(platform::read_file(path, back, 100));
    EXPECT_EQ(back, "a\r\nb\r\n");
    EXPECT_FALSE(platform::read_file(path, back, 5));  // larger than allowed
    EXPECT_TRUE(back.empty());
    ASSERT_TRUE(platform::replace_file(path, "new", 3));
    ASSERT_TRUE(platform::read_file(path, back, 100));
    EXPECT_EQ(back, "new");
    EXPECT_FALSE(platform::read_file(dir.path(), back, 100));  // a folder is no file
    EXPECT_FALSE(platform::read_file(platform::join_path(dir.path(), "absent"), back, 100));
    EXPECT_TRUE(platform::is_directory(dir.path()));
    EXPECT_FALSE(platform::is_directory(path));
}

TEST(platform_files, folder_listing_is_sorted_and_skips_dot_entries) {
    kit::temp_dir dir;
    for (const char* name : {"b.dump_bi", "a.dump_bi", "c.txt"})
        ASSERT_TRUE(platform::replace_file(platform::join_path(dir.path(), name), "x", 1));
    ASSERT_TRUE(platform::replace_file(platform::join_path(dir.path(), "sub"), "", 0));
    std::vector<platform::folder_entry> entries;
    // A file where a folder is expected cannot be listed.
    EXPECT_FALSE(platform::list_folder(platform::join_path(dir.path(), "sub"), entries));
    EXPECT_FALSE(platform::list_folder(platform::join_path(dir.path(), "absent"), entries));
    ASSERT_TRUE(platform::list_folder(dir.path(), entries));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, "a.dump_bi");
    EXPECT_EQ(entries[1].name, "b.dump_bi");
    EXPECT_EQ(entries[2].name, "c.txt");
    EXPECT_EQ(entries[3].name, "sub");
    for (const auto& e : entries) EXPECT_FALSE(e.is_folder) << e.name;
    kit::temp_dir outer;
    std::filesystem::create_directory(platform::join_path(outer.path(), "inner"));
    ASSERT_TRUE(platform::list_folder(outer.path(), entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].is_folder);
    EXPECT_EQ(platform::join_path(outer.path(), "inner").substr(outer.path().size() + 1), "inner");
}

TEST(platform_lock, the_owner_may_enter_again_others_wait) {
    platform::critical_section cs;
    {
        platform::section_guard a(cs);
        platform::section_guard b(cs);  // recursive: no deadlock
        std::atomic<bool> other_got_it{true};
        std::thread t([&] { other_got_it = cs.try_lock(); });
        t.join();
        EXPECT_FALSE(other_got_it.load());
    }
    long counter = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < 20000; ++k) {
                platform::section_guard g(cs);
                ++counter;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
}

TEST(platform_clock, filetime_agrees_with_the_system_clock) {
    using namespace std::chrono;
    const auto unix_100ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    const auto ft = static_cast<long long>(platform::filetime_now()) - 116444736000000000LL;
    EXPECT_LT(std::llabs(ft - unix_100ns), 50000000LL);  // within five seconds
    const std::uint32_t a = platform::tick_count();
    std::this_thread::sleep_for(milliseconds(50));
    const std::uint32_t waited = platform::tick_count() - a;
    EXPECT_GE(waited, 30u);
    EXPECT_LT(waited, 5000u);
}

TEST(platform_process, executable_path_names_this_program) {
    const std::string exe = platform::executable_path();
    const std::size_t cut = exe.find_last_of(platform::path_separator());
    ASSERT_NE(cut, std::string::npos) << exe;
    EXPECT_EQ(exe.substr(cut + 1, 13), "test_platform") << exe;
    EXPECT_NE(platform::process_id(), 0ul);
    EXPECT_NE(platform::thread_id(), 0ul);
}

}  // namespace
