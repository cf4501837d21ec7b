#pragma once
// The host's command interface, shared by every command wrapper. Null before
// initialize and after deinitialize; wrappers read it once per call.
#include "zem/external_iface.h"

namespace zem_io_commands {
zem::i_external_iface* host_iface();
void set_host_iface(zem::i_external_iface* host);

// One use of the host interface by a wrapper: counted from before the
// interface is read until the wrapper is done with it, so that the host can
// be told when nothing uses its interface any more.
class host_call {
public:
    host_call();
    ~host_call();
    host_call(const host_call&) = delete;
    host_call& operator=(const host_call&) = delete;
    zem::i_external_iface* host() const { return m_host; }

private:
    zem::i_external_iface* m_host;
};

// Takes the interface away and returns once no other thread is inside a
// call to it. Calls that this thread itself is making (a host that ends the
// engine from inside one of its own answers) are not waited for.
void withdraw_host_iface();
}  // namespace zem_io_commands
