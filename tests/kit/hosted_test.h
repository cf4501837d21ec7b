#pragma once
// A test with the scripted host installed and the registry isolated (only
// values the test sets are seen) for its duration.
#include <gtest/gtest.h>

#include "host/host_link.h"
#include "kit/kit.h"
#include "platform/registry.h"

namespace kit {

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

}  // namespace kit
