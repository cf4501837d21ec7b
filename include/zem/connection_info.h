#pragma once
// Identity of one connection as the host sees it. The layout is shared with
// the host byte for byte, so every offset is pinned below.
#include <cstddef>
#include <cstdint>

namespace zem {

struct connection_info {
    std::uint32_t id0;
    std::uint32_t id1;
    std::uint32_t id2;
    std::uint32_t word3;
    std::uint32_t word4;
    unsigned char address_a[128];
    unsigned char address_b[128];
    std::int32_t context;
};

static_assert(sizeof(connection_info) == 280, "connection_info is 280 bytes");
static_assert(offsetof(connection_info, id0) == 0, "id0 offset");
static_assert(offsetof(connection_info, id1) == 4, "id1 offset");
static_assert(offsetof(connection_info, id2) == 8, "id2 offset");
static_assert(offsetof(connection_info, word3) == 12, "word3 offset");
static_assert(offsetof(connection_info, word4) == 16, "word4 offset");
static_assert(offsetof(connection_info, address_a) == 20, "address_a offset");
static_assert(offsetof(connection_info, address_b) == 148, "address_b offset");
static_assert(offsetof(connection_info, context) == 276, "context offset");

}  // namespace zem
