#include "host/wire.h"

#include <climits>
#include <cstring>

#include "platform/clock.h"
#include "platform/codepage.h"

namespace zem_io_commands {
namespace wire {

namespace {
void store_le(unsigned char* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint64_t load_le(const char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}
}  // namespace

message::message(std::size_t fixed_size, i_connection_feedback* feedback) : m_fixed(fixed_size, 0) {
    std::memset(&m_info, 0, sizeof m_info);
    if (feedback) {
        try {
            feedback->get_connection_info(&m_info);
        } catch (...) {
            std::memset(&m_info, 0, sizeof m_info);
        }
    }
}

void message::put_u32(std::size_t off, std::uint32_t v) {
    if (off + 4 <= m_fixed.size()) store_le(&m_fixed[off], v, 4);
}

void message::put_u64(std::size_t off, std::uint64_t v) {
    if (off + 8 <= m_fixed.size()) store_le(&m_fixed[off], v, 8);
}

void message::put_bytes(std::size_t off, const void* p, std::size_t n) {
    if (off + n <= m_fixed.size() && n) std::memcpy(&m_fixed[off], p, n);
}

void message::put_wide(std::size_t ref_off, const wide_string& text) {
    pending s{ref_off, platform::wide_to_utf16le(text), 0};
    s.length = s.bytes.size();
    s.bytes.append(2, '\0');
    m_strings.push_back(std::move(s));
}

void message::put_narrow(std::size_t ref_off, const byte_string& text) {
    pending s{ref_off, text, text.size()};
    s.bytes.push_back('\0');
    m_strings.push_back(std::move(s));
}

void message::put_narrow_as_wide(std::size_t ref_off, const byte_string& text) {
    put_wide(ref_off, platform::ansi_to_wide(text));
}

bool message::build(zem::mem_slice& out) {
    std::size_t total = m_fixed.size();
    for (const pending& s : m_strings) {
        if (s.bytes.size() > static_cast<std::size_t>(INT_MAX) - total) return false;
        total += s.bytes.size();
    }
    if (m_fixed.size() >= header_size) {
        store_le(&m_fixed[0], total, 4);
        store_le(&m_fixed[4], 0, 4);
        store_le(&m_fixed[8], platform::filetime_now(), 8);
        store_le(&m_fixed[16], m_info.id0, 4);
        store_le(&m_fixed[20], m_info.id1, 4);
        store_le(&m_fixed[24], m_info.id2, 4);
    }
    std::size_t pos = m_fixed.size();
    for (const pending& s : m_strings) {
        if (s.ref_off + string_ref_size > m_fixed.size()) continue;
        store_le(&m_fixed[s.ref_off], pos - s.ref_off, 8);
        store_le(&m_fixed[s.ref_off + 8], s.length, 8);
        pos += s.bytes.size();
    }
    char* p = out.allocate(static_cast<int>(total));
    if (!p) return false;
    std::memcpy(p, m_fixed.data(), m_fixed.size());
    pos = m_fixed.size();
    for (const pending& s : m_strings) {
        std::memcpy(p + pos, s.bytes.data(), s.bytes.size());
        pos += s.bytes.size();
    }
    return true;
}

reply_view::reply_view(zem::mem_slice& reply) {
    int len = 0;
    char* p = reply.data(&len);
    if (p && len > 0) {
        m_data = p;
        m_size = static_cast<std::size_t>(len);
    }
}

std::uint8_t reply_view::u8(std::size_t off) const { return has(off, 1) ? static_cast<std::uint8_t>(m_data[off]) : 0; }
std::uint32_t reply_view::u32(std::size_t off) const {
    return has(off, 4) ? static_cast<std::uint32_t>(load_le(m_data + off, 4)) : 0;
}
std::uint64_t reply_view::u64(std::size_t off) const { return has(off, 8) ? load_le(m_data + off, 8) : 0; }

void reply_view::zero_tail(std::size_t n) {
    if (n > m_size) n = m_size;
    std::memset(m_data + m_size - n, 0, n);
}

bool reply_view::span(std::uint64_t off, std::uint64_t len, std::string& out) const {
    if (off > m_size || len > m_size - off) return false;
    out.assign(m_data + off, static_cast<std::size_t>(len));
    return true;
}

bool reply_view::bytes_ref(std::size_t ref_off, std::size_t base, std::string& out) const {
    if (!has(ref_off, string_ref_size) || base > m_size) return false;
    std::uint64_t off = u64(ref_off), len = u64(ref_off + 8);
    if (off == 0 || len == 0) {
        out.clear();
        return true;
    }
    if (off > m_size - base) return false;
    return span(base + off, len, out);
}

bool reply_view::wide_ref(std::size_t ref_off, std::size_t base, wide_string& out) const {
    std::string raw;
    if (!bytes_ref(ref_off, base, raw)) return false;
    out = platform::utf16le_to_wide(raw.data(), raw.size());
    return true;
}

int invoke(zem::i_external_iface* host, int code, zem::mem_slice* request, zem::mem_slice* reply) {
    try {
        return host->invoke_command(&zem::channel_guid, code, request, reply);
    } catch (...) {
        return -1;
    }
}

bool notify(zem::i_external_iface* host, int code, zem::mem_slice* data) {
    try {
        return host->notify_event(&zem::channel_guid, code, data);
    } catch (...) {
        return false;
    }
}

}  // namespace wire
}  // namespace zem_io_commands
