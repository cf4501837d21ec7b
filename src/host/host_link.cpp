#include "host/host_link.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "host/ad_link_checker.h"

namespace zem_io_commands {
namespace {
std::atomic<zem::i_external_iface*> g_host{nullptr};
// Host calls under way on every thread, and on this one.
std::atomic<int> g_calls{0};
thread_local int t_calls = 0;
std::atomic<i_ad_link_checker*> g_ad_links{nullptr};
}  // namespace

void set_ad_link_checker(i_ad_link_checker* checker) { g_ad_links.store(checker, std::memory_order_release); }
i_ad_link_checker* ad_link_checker() { return g_ad_links.load(std::memory_order_acquire); }

zem::i_external_iface* host_iface() { return g_host.load(std::memory_order_acquire); }
void set_host_iface(zem::i_external_iface* host) { g_host.store(host, std::memory_order_release); }

// The count goes up before the interface is read, and the withdrawal clears
// the interface before it reads the count (both sequentially consistent):
// a call either sees no interface or is seen by the withdrawal.
host_call::host_call() {
    g_calls.fetch_add(1, std::memory_order_seq_cst);
    ++t_calls;
    m_host = g_host.load(std::memory_order_seq_cst);
}

host_call::~host_call() {
    --t_calls;
    g_calls.fetch_sub(1, std::memory_order_release);
}

void withdraw_host_iface() {
    g_host.store(nullptr, std::memory_order_seq_cst);
    while (g_calls.load(std::memory_order_seq_cst) > t_calls) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace zem_io_commands
