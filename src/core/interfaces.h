#pragma once
// The engine's inner interfaces: a protocol filter on a connection, the back
// channel it uses to ask its filter point for favours, and a content handler
// beneath a stream filter. Declaration order is slot order.
#include "core/strings.h"
#include "zem/connection_info.h"

// One protocol filter of a connection. Each update rewrites the chunk in
// place; false means "not my connection", after the filter has handed back
// everything it held. Owned through shared pointers that carry the concrete
// deleter, hence no virtual destructor.
class i_stream_filter {
public:
    virtual void stop_in(byte_string& data) = 0;
    virtual bool update_in(byte_string& data) = 0;
    virtual void stop_out(byte_string& data) { (void)data; }
    virtual bool update_out(byte_string& data) {
        (void)data;
        return true;
    }
    virtual bool reset_state() { return true; }

protected:
    ~i_stream_filter() = default;
};

class i_connection_feedback {
public:
    virtual bool request_fake_in() = 0;
    virtual bool request_stop() = 0;
    virtual bool get_connection_info(zem::connection_info* info) = 0;
    virtual ~i_connection_feedback() = default;
};

class stub_connection_feedback : public i_connection_feedback {
public:
    bool request_fake_in() override { return true; }
    bool request_stop() override { return true; }
    bool get_connection_info(zem::connection_info* info) override {
        if (info) {
            info->id0 = info->id1 = info->id2 = 0;
            info->word3 = info->word4 = 0;
            info->context = 0;
        }
        return true;
    }
};

// A content handler beneath a stream filter: decoders, the GIF filter, the
// HTML handlers. Same in-place convention as the stream filters.
class i_sub_handler {
public:
    virtual ~i_sub_handler() = default;
    virtual bool update_in(byte_string& data) = 0;
    virtual void stop(byte_string& data) = 0;
    // True when update_in never throws: on a failure of its own the handler
    // hands back what it holds and lets the rest pass. A caller then keeps no
    // copy of each piece against an exception.
    virtual bool hands_back_on_failure() const { return false; }
    // Feeds the last piece and stops on the same string; never overridden.
    bool update_and_stop(byte_string& data, bool* stopped) {
        if (stopped) *stopped = true;
        bool r = update_in(data);
        if (r) stop(data);
        return r;
    }
};

class do_nothing_sub_handler : public i_sub_handler {
public:
    bool update_in(byte_string&) override { return true; }
    void stop(byte_string&) override {}
};
