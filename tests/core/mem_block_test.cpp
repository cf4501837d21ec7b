// Ownership rules of the memory blocks that cross the module boundary.
#include "zem/mem_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/interfaces.h"

namespace {

TEST(mem_slice, null_or_empty_assign_keeps_contents) {
    zem::mem_slice s;
    s.assign("abc", 3);
    s.assign(nullptr, 5);
    s.assign("zz", 0);
    int len = 0;
    const char* p = s.data(&len);
    ASSERT_EQ(len, 3);
    EXPECT_EQ(std::string(p, 3), "abc");
}

TEST(mem_slice, assign_always_takes_a_new_buffer) {
    zem::mem_slice s;
    s.assign("abc", 3);
    const char* before = s.data(nullptr);
    s.assign("xyz", 3);  // same size, yet a new buffer
    int len = 0;
    EXPECT_NE(s.data(nullptr), before);
    EXPECT_EQ(std::string(s.data(&len), 3), "xyz");
    // Self-assignment from its own bytes stays intact.
    s.assign(s.data(nullptr) + 1, 2);
    const char* p = s.data(&len);
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "yz");
}

TEST(mem_slice, allocate_gives_writable_bytes_of_the_size) {
    zem::mem_slice s;
    char* p = s.allocate(10);
    ASSERT_NE(p, nullptr);
    std::memset(p, 'q', 10);
    int len = 0;
    EXPECT_EQ(std::string(s.data(&len), 10), std::string(10, 'q'));
    EXPECT_EQ(len, 10);
    zem::mem_slice other;
    other.assign(s);
    EXPECT_EQ(std::string(other.data(&len), 10), std::string(10, 'q'));
}

TEST(mem_block, same_size_assign_reuses_the_buffer) {
    zem::mem_block_t<zem::free_via_delete> b;
    b.assign("1234", 4);
    const char* p1 = b.data(nullptr);
    b.assign("abcd", 4);
    EXPECT_EQ(b.data(nullptr), p1);
    EXPECT_EQ(std::string(p1, 4), "abcd");
    b.assign("longer", 6);
    int len = 0;
    EXPECT_EQ(std::string(b.data(&len), 6), "longer");
    EXPECT_EQ(len, 6);
    // From its own bytes at another size: must not read freed memory.
    b.assign(b.data(nullptr) + 2, 3);
    const char* p = b.data(&len);
    EXPECT_EQ(std::string(p, static_cast<std::size_t>(len)), "nge");
}

TEST(fake_mem_block, destruction_leaves_lent_bytes_alone) {
    std::string owner = "lent bytes";
    {
        zem::fake_mem_block f(owner.data(), static_cast<int>(owner.size()));
        int len = 0;
        EXPECT_EQ(f.data(&len), owner.data());
        EXPECT_EQ(len, 10);
    }
    EXPECT_EQ(owner, "lent bytes");
}

TEST(sub_handler, update_and_stop_runs_stop_only_after_success) {
    struct rec : i_sub_handler {
        bool ok = true;
        std::string log;
        bool update_in(byte_string& d) override {
            log += "u(" + d + ")";
            d += "+";
            return ok;
        }
        void stop(byte_string& d) override {
            log += "s(" + d + ")";
            d += "end";
        }
    } h;
    bool stopped = false;
    byte_string d = "x";
    EXPECT_TRUE(h.update_and_stop(d, &stopped));
    EXPECT_TRUE(stopped);
    EXPECT_EQ(d, "x+end");
    EXPECT_EQ(h.log, "u(x)s(x+)");
    h.ok = false;
    h.log.clear();
    d = "y";
    stopped = false;
    EXPECT_FALSE(h.update_and_stop(d, &stopped));
    EXPECT_TRUE(stopped);
    EXPECT_EQ(h.log, "u(y)");
    do_nothing_sub_handler n;
    d = "same";
    EXPECT_TRUE(n.update_and_stop(d, &stopped));
    EXPECT_EQ(d, "same");
}

}  // namespace
