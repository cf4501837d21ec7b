#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

// ---------------------------------------------------------------------------
// Counting operator new/delete. Each block carries its size in a header in
// front, so that every form of delete (plain, sized, array) subtracts what
// was really added.

namespace {

std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};
constexpr std::size_t k_header = 16;  // keeps the alignment malloc gives

void* counted_alloc(std::size_t n) {
    void* p = std::malloc(n + k_header);
    if (!p) return nullptr;
    *static_cast<std::size_t*>(p) = n;
    std::size_t now = g_live.fetch_add(n, std::memory_order_relaxed) + n;
    std::size_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return static_cast<char*>(p) + k_header;
}

void counted_free(void* p) noexcept {
    if (!p) return;
    char* block = static_cast<char*>(p) - k_header;
    g_live.fetch_sub(*reinterpret_cast<std::size_t*>(block), std::memory_order_relaxed);
    std::free(block);
}

}  // namespace

void* operator new(std::size_t n) {
    void* p = counted_alloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t n) {
    void* p = counted_alloc(n);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }

namespace kit {

std::size_t live_bytes() { return g_live.load(); }
std::size_t peak_bytes() { return g_peak.load(); }
void reset_peak() { g_peak.store(g_live.load()); }

}  // namespace kit
