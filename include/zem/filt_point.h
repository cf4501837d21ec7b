#pragma once
// The two per-connection interfaces: the filter point the host drives, and the
// provider the host hands in to receive what the filter point lets through.
// Declaration order is vtable slot order; neither has a virtual destructor
// (a filter point ends with release, a provider belongs to the host).
#include "zem/connection_info.h"

namespace zem {

class i_filt_point {
public:
    virtual bool update_out(const char* data, int len) = 0;
    virtual bool stop_out() = 0;
    virtual bool update_in(const char* data, int len) = 0;
    virtual bool stop_in() = 0;
    virtual void release() = 0;

protected:
    ~i_filt_point() = default;
};

class i_provider {
public:
    virtual bool send_out(const char* data, int len) = 0;
    virtual bool close_out() = 0;
    virtual bool send_in(const char* data, int len) = 0;
    virtual bool close_in() = 0;
    virtual bool get_connection_info(connection_info* info) = 0;

protected:
    ~i_provider() = default;
};

}  // namespace zem
