#pragma once
// A provider that only counts what the filter point hands on, so a benchmark
// measures the filters and not the keeping of their output.
#include <cstddef>

#include "zem/zem.h"

class null_provider : public zem::i_provider {
public:
    bool send_out(const char*, int len) override { return bytes += static_cast<std::size_t>(len), true; }
    bool close_out() override { return true; }
    bool send_in(const char*, int len) override { return bytes += static_cast<std::size_t>(len), true; }
    bool close_in() override { return true; }
    bool get_connection_info(zem::connection_info*) override { return true; }
    std::size_t bytes = 0;
};
