// The exported entry points, through the shared library as a host loads it,
// and the configuration read for every new filter point.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/bunch_filter.h"
#include "host/host_link.h"
#include "host/zem_io_commands.h"
#include "kit/gated_host.h"
#include "kit/kit.h"
#include "kit/shared_library.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

using init_fn = unsigned char (*)(zem::i_external_iface*);
using deinit_fn = void (*)();
using create_fn = zem::i_filt_point* (*)(zem::i_provider*, int);

class shared_library_test : public ::testing::Test {
protected:
    void SetUp() override {
        lib = std::make_unique<kit::shared_library>(ZEM_SHARED_LIB_PATH);
        ASSERT_TRUE(lib->loaded()) << lib->error();
        init = lib->function<init_fn>("initialize");
        deinit = lib->function<deinit_fn>("deinitialize");
        create = lib->function<create_fn>("create_filt_point");
        ASSERT_TRUE(init && deinit && create);
    }
    void TearDown() override { lib.reset(); }
    std::unique_ptr<kit::shared_library> lib;
    init_fn init = nullptr;
    deinit_fn deinit = nullptr;
    create_fn create = nullptr;
};

TEST_F(shared_library_test, host_drives_a_filter_point_through_the_abi) {
    kit::fake_host host;
    EXPECT_EQ(init(&host), 1);
    EXPECT_EQ(create(nullptr, 5), nullptr);
    kit::capturing_provider provider;
    zem::i_filt_point* fp = create(&provider, 5);
    ASSERT_NE(fp, nullptr);
    // Bytes that no filter claims pass unchanged in both directions.
    const std::string hello = "\x01\x02 not a known protocol \xff";
    fp->update_out(hello.data(), static_cast<int>(hello.size()));
    fp->update_in("reply", 5);
    EXPECT_TRUE(fp->stop_out());
    EXPECT_TRUE(fp->stop_in());
    EXPECT_EQ(provider.out, hello);
    EXPECT_EQ(provider.in, "reply");
    EXPECT_EQ(provider.close_out_count, 1);
    EXPECT_EQ(provider.close_in_count, 1);
    fp->release();
    deinit();
    EXPECT_EQ(init(nullptr), 1);
}

TEST(entry_points, initialize_stores_and_deinitialize_clears_the_host) {
    kit::fake_host a, b;
    EXPECT_EQ(initialize(&a), 1);
    EXPECT_EQ(zem_io_commands::host_iface(), &a);
    EXPECT_EQ(initialize(&b), 1);
    EXPECT_EQ(zem_io_commands::host_iface(), &b);
    deinitialize();
    EXPECT_EQ(zem_io_commands::host_iface(), nullptr);
}

TEST(entry_points, null_provider_gives_null) { EXPECT_EQ(create_filt_point(nullptr, 5), nullptr); }

TEST(entry_points, filter_point_works_without_initialize) {
    deinitialize();
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, -3);
    ASSERT_NE(fp, nullptr);
    fp->update_in("x", 1);
    EXPECT_EQ(p.in, "x");
    fp->release();
}

}  // namespace

namespace {

// The host may let its interface go once deinitialize returns: a call that
// another thread has under way is waited for, and calls that start after
// the interface was taken away never reach it.
TEST(entry_points, deinitialize_returns_only_when_host_calls_under_way_are_done) {
    kit::gated_host host;
    host.set_reply(zem::codes::http_query_block_message_html, std::string(16, '\0'));
    host.set_reply(zem::codes::http_query_transparent_gif, std::string(16, '\0'));
    initialize(&host);
    host.hold(zem::codes::http_query_block_message_html);
    std::thread caller([] {
        byte_string text;
        zem_io_commands::http_query_block_message_html(text);
    });
    host.wait_until_held();
    std::atomic<bool> returned{false};
    std::thread ender([&] {
        deinitialize();
        returned = true;
    });
    while (zem_io_commands::host_iface() != nullptr) std::this_thread::yield();
    byte_string text;
    EXPECT_FALSE(zem_io_commands::http_query_transparent_gif(text));
    // Give a deinitialize that does not wait the time to show it.
    for (int i = 0; i < 100 && !returned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(returned.load());
    host.release();
    caller.join();
    ender.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(host.command_count(zem::codes::http_query_transparent_gif), 0u);
}

// A host that ends the engine from inside one of its own answers is not
// waited for by itself.
TEST(entry_points, deinitialize_from_inside_a_host_answer_returns) {
    struct ending_host : kit::fake_host {
        int invoke_command(const zem::GUID* channel, int code, zem::mem_slice* request,
                           zem::mem_slice* reply) override {
            deinitialize();
            return fake_host::invoke_command(channel, code, request, reply);
        }
    } host;
    host.set_reply(zem::codes::http_query_transparent_gif, std::string(16, '\0'));
    initialize(&host);
    byte_string text = "old";
    EXPECT_TRUE(zem_io_commands::http_query_transparent_gif(text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(zem_io_commands::host_iface(), nullptr);
}

}  // namespace
