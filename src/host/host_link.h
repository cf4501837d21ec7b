#pragma once
// The host's command interface, shared by every command wrapper. Null before
// initialize and after deinitialize; wrappers read it once per call.
#include "zem/external_iface.h"

namespace zem_io_commands {
zem::i_external_iface* host_iface();
void set_host_iface(zem::i_external_iface* host);
}  // namespace zem_io_commands
