#pragma once
// Building requests and reading replies of the host channel. Messages are
// little-endian layouts written at explicit offsets; a reply is only ever
// read through the bounds-checked accessors below, so that no count, offset
// or length the host sends can take a read outside the reply block.
#include <cstdint>
#include <string>
#include <vector>

#include "core/interfaces.h"
#include "core/strings.h"
#include "zem/connection_info.h"
#include "zem/external_iface.h"
#include "zem/mem_block.h"

namespace zem_io_commands {
namespace wire {

constexpr std::size_t header_size = 28;
constexpr std::size_t string_ref_size = 16;

// A request or notification: a fixed part followed by the referenced
// strings, back to back in the order of their references.
class message {
public:
    // Reads the identity words (and the rest of the connection record) from
    // the feedback, when there is one.
    message(std::size_t fixed_size, i_connection_feedback* feedback);

    void put_u32(std::size_t off, std::uint32_t v);
    void put_u64(std::size_t off, std::uint64_t v);
    void put_bytes(std::size_t off, const void* p, std::size_t n);
    // A string stored after the fixed part, referenced from 'ref_off'.
    void put_wide(std::size_t ref_off, const wide_string& text);
    void put_narrow(std::size_t ref_off, const byte_string& text);
    // 'text' held narrow, sent wide (ANSI code page).
    void put_narrow_as_wide(std::size_t ref_off, const byte_string& text);

    const zem::connection_info& info() const { return m_info; }

    // Lays out header, fixed part and strings in 'out'. False when the
    // message would not fit the channel's size fields or memory ran out.
    bool build(zem::mem_slice& out);

private:
    struct pending {
        std::size_t ref_off;
        std::string bytes;   // terminator included
        std::size_t length;  // without terminator
    };
    std::vector<unsigned char> m_fixed;
    std::vector<pending> m_strings;
    zem::connection_info m_info;
};

// Read-only view of a reply with checked access. Every read either lies
// wholly inside the reply or reports failure.
class reply_view {
public:
    explicit reply_view(zem::mem_slice& reply);
    std::size_t size() const { return m_size; }
    bool has(std::size_t off, std::size_t n) const { return off <= m_size && n <= m_size - off; }
    std::uint8_t u8(std::size_t off) const;
    std::uint32_t u32(std::size_t off) const;
    std::uint64_t u64(std::size_t off) const;
    const char* at(std::size_t off) const { return m_data + off; }
    // Zeroes the last n bytes (n <= size).
    void zero_tail(std::size_t n);

    // A string_ref at 'ref_off' whose offset is relative to 'base'. Empty
    // (offset or length 0) yields the empty string; false when the
    // referenced bytes leave the reply.
    bool wide_ref(std::size_t ref_off, std::size_t base, wide_string& out) const;
    // Raw bytes of a reference; same rules.
    bool bytes_ref(std::size_t ref_off, std::size_t base, std::string& out) const;
    // Bytes at [off, off + len) given as 64-bit values from the wire.
    bool span(std::uint64_t off, std::uint64_t len, std::string& out) const;

private:
    char* m_data = nullptr;
    std::size_t m_size = 0;
};

// Sends a command; the return code of the host (or -1 when the host threw).
int invoke(zem::i_external_iface* host, int code, zem::mem_slice* request, zem::mem_slice* reply);
bool notify(zem::i_external_iface* host, int code, zem::mem_slice* data);

}  // namespace wire
}  // namespace zem_io_commands
