// The exported entry points, through the shared library as a host loads it,
// and the configuration read for every new filter point.
#include <gtest/gtest.h>

#include <memory>

#include "core/bunch_filter.h"
#include "host/host_link.h"
#include "kit/kit.h"
#include "kit/shared_library.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

using init_fn = unsigned char (*)(zem::i_external_iface*);
using deinit_fn = void (*)();
using create_fn = zem::i_filt_point* (*)(zem::i_provider*, int);

class SharedLibrary : public ::testing::Test {
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

TEST_F(SharedLibrary, HostDrivesAFilterPointThroughTheAbi) {
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

TEST(EntryPoints, InitializeStoresAndDeinitializeClearsTheHost) {
    kit::fake_host a, b;
    EXPECT_EQ(initialize(&a), 1);
    EXPECT_EQ(zem_io_commands::host_iface(), &a);
    EXPECT_EQ(initialize(&b), 1);
    EXPECT_EQ(zem_io_commands::host_iface(), &b);
    deinitialize();
    EXPECT_EQ(zem_io_commands::host_iface(), nullptr);
}

TEST(EntryPoints, NullProviderGivesNull) { EXPECT_EQ(create_filt_point(nullptr, 5), nullptr); }

TEST(EntryPoints, FilterPointWorksWithoutInitialize) {
    deinitialize();
    kit::capturing_provider p;
    zem::i_filt_point* fp = create_filt_point(&p, -3);
    ASSERT_NE(fp, nullptr);
    fp->update_in("x", 1);
    EXPECT_EQ(p.in, "x");
    fp->release();
}

}  // namespace
