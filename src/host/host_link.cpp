#include "host/host_link.h"

#include <atomic>

namespace zem_io_commands {
namespace {
std::atomic<zem::i_external_iface*> g_host{nullptr};
}
zem::i_external_iface* host_iface() { return g_host.load(std::memory_order_acquire); }
void set_host_iface(zem::i_external_iface* host) { g_host.store(host, std::memory_order_release); }
}  // namespace zem_io_commands
