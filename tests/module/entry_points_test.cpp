// The exported entry points, through the shared library as a host loads it,
// and the configuration read for every new filter point.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "core/bunch_filter.h"
#include "host/host_link.h"
#include "kit/kit.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace {

using init_fn = unsigned char (*)(zem::i_external_iface*);
using deinit_fn = void (*)();
using create_fn = zem::i_filt_point* (*)(zem::i_provider*, int);

class SharedLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        handle = dlopen(ZEM_SHARED_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        init = reinterpret_cast<init_fn>(dlsym(handle, "initialize"));
        deinit = reinterpret_cast<deinit_fn>(dlsym(handle, "deinitialize"));
        create = reinterpret_cast<create_fn>(dlsym(handle, "create_filt_point"));
        ASSERT_TRUE(init && deinit && create);
    }
    void TearDown() override {
        if (handle) dlclose(handle);
    }
    void* handle = nullptr;
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
