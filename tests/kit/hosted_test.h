#pragma once
// Fixtures that install the scripted host and isolate the registry (only
// values the test sets are seen) for the duration of a test.
#include <gtest/gtest.h>

#include "core/configuration.h"
#include "host/host_link.h"
#include "kit/kit.h"
#include "platform/registry.h"
#include "zem/zem.h"

namespace kit {

// The host for the engine's command wrappers, without loading the engine.
class hosted_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_isolate(true);
        zem_io_commands::set_host_iface(&host);
    }
    void TearDown() override {
        zem_io_commands::set_host_iface(nullptr);
        platform::reg_override_clear();
    }

    fake_host host;
};

// The whole engine loaded as a host loads it, with the host H and the HTTP
// filter alone (SSL, mail and FTP off) for the duration of a test.
template <class H = fake_host>
class http_engine_test : public ::testing::Test {
protected:
    void SetUp() override {
        platform::reg_override_isolate(true);
        platform::reg_override_set_u32(config::net_key, "enable_http", 1);
        platform::reg_override_set_u32(config::net_key, "enable_ssl", 0);
        platform::reg_override_set_u32(config::net_key, "enable_mail", 0);
        platform::reg_override_set_u32(config::net_key, "enable_ftp", 0);
        initialize(&host);
    }
    void TearDown() override {
        deinitialize();
        platform::reg_override_clear();
        platform::reg_override_isolate(false);
    }

    H host;
};

}  // namespace kit
