#pragma once
// A small tree of named byte values that packs into one contiguous buffer
// (the "solid buffer") and unpacks again. Dump files of recorded traffic are
// stored in this form, so the packed layout is fixed byte for byte: a file
// written by any earlier build has to load.
//
// Loading treats its input as hostile: every declared count and length is
// checked against the bytes that are really left, nesting is bounded, and a
// damaged buffer is refused with one log line and no partial tree.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/strings.h"
#include "zem/mem_block.h"

namespace StorageNamed {
namespace InMemStorageSpace {

enum class entry_type : std::uint8_t {
    section = 1,
    value = 2,
    sections_array = 3,
    values_array = 4,
    memory_object = 5,
};

enum class value_kind : std::uint8_t {
    integer = 1,  // little-endian bytes
    bytes = 2,
};

// Deepest nesting of sections a load accepts; real dumps use three levels.
constexpr std::size_t max_load_depth = 64;

// The packing cursor: never moves outside [start, start + capacity).
class running_ptr {
public:
    running_ptr(char* start, std::size_t capacity) : m_start(start), m_capacity(capacity) {}
    running_ptr(const char* start, std::size_t capacity) : m_start(const_cast<char*>(start)), m_capacity(capacity) {}

    std::size_t offset() const { return m_pos; }
    std::size_t left() const { return m_capacity - m_pos; }
    const char* here() const { return m_start + m_pos; }
    bool put(const void* p, std::size_t n);
    bool put_byte(std::uint8_t b) { return put(&b, 1); }
    bool get(void* p, std::size_t n);
    bool get_byte(std::uint8_t& b) { return get(&b, 1); }
    bool skip(std::size_t n);
    // Looks at the next byte without moving.
    bool peek(std::uint8_t& b) const;

private:
    char* m_start;
    std::size_t m_pos = 0;
    std::size_t m_capacity;
};

// Width in bytes (1, 2, 4 or 8) of a count or length as packed.
std::size_t size_code_width(std::uint64_t v);
bool write_size_code(running_ptr& p, std::uint64_t v);
bool read_size_code(running_ptr& p, std::uint64_t& v);

class ISSectionEntry;
using entry_visitor = std::function<void(const byte_string& name, const ISSectionEntry& entry)>;

class ISSectionEntry {
public:
    virtual ~ISSectionEntry() = default;
    virtual entry_type type() const = 0;
    // Exactly the number of bytes write() produces.
    virtual std::uint64_t size() const = 0;
    // 0 when the cursor ran out of room.
    virtual std::size_t write(running_ptr& p) const = 0;
    // Bytes consumed, or 0 when the bytes under the cursor are not a sound
    // entry of this type (the cursor position is then unspecified).
    virtual std::size_t read(running_ptr& p, std::size_t depth) = 0;
    virtual void dump_text(byte_string& out, const byte_string& name, std::size_t indent) const = 0;
    virtual void for_each(const entry_visitor& visit) const { (void)visit; }
};

// One owned byte block.
class CMemoryObjectEx : public ISSectionEntry, public zem::mem_block_t<zem::free_via_delete> {
public:
    CMemoryObjectEx() = default;
    CMemoryObjectEx(const char* p, std::size_t n) { set(p, n); }
    entry_type type() const override { return entry_type::memory_object; }
    std::uint64_t size() const override;
    std::size_t write(running_ptr& p) const override;
    std::size_t read(running_ptr& p, std::size_t depth) override;
    void dump_text(byte_string& out, const byte_string& name, std::size_t indent) const override;

    // False when the block would not fit the block's 31-bit length.
    bool set(const char* p, std::size_t n);
    std::size_t length() const { return static_cast<std::size_t>(m_len); }
    const char* bytes() const { return m_data; }
    byte_string str() const { return byte_string(m_data ? m_data : "", length()); }
};

class CSValue : public ISSectionEntry {
public:
    entry_type type() const override { return entry_type::value; }
    std::uint64_t size() const override;
    std::size_t write(running_ptr& p) const override;
    std::size_t read(running_ptr& p, std::size_t depth) override;
    void dump_text(byte_string& out, const byte_string& name, std::size_t indent) const override;

    std::uint8_t m_kind = static_cast<std::uint8_t>(value_kind::bytes);
    CMemoryObjectEx m_block;
};

class CSSection : public ISSectionEntry {
public:
    entry_type type() const override { return entry_type::section; }
    std::uint64_t size() const override;
    std::size_t write(running_ptr& p) const override;
    std::size_t read(running_ptr& p, std::size_t depth) override;
    void dump_text(byte_string& out, const byte_string& name, std::size_t indent) const override;
    void for_each(const entry_visitor& visit) const override;

    // Ordered by plain byte comparison of the names.
    std::map<byte_string, std::shared_ptr<ISSectionEntry>> m_entries;
};

template <class T>
class CSEntriesArrayBase : public ISSectionEntry {
public:
    std::vector<T> m_items;
};

class CSSectionsArray : public CSEntriesArrayBase<std::shared_ptr<CSSection>> {
public:
    entry_type type() const override { return entry_type::sections_array; }
    std::uint64_t size() const override;
    std::size_t write(running_ptr& p) const override;
    std::size_t read(running_ptr& p, std::size_t depth) override;
    void dump_text(byte_string& out, const byte_string& name, std::size_t indent) const override;
    void for_each(const entry_visitor& visit) const override;

    using iterator = std::vector<std::shared_ptr<CSSection>>::const_iterator;
    iterator begin() const { return m_items.begin(); }
    iterator end() const { return m_items.end(); }
};

class CSValuesArray : public CSEntriesArrayBase<std::shared_ptr<CMemoryObjectEx>> {
public:
    entry_type type() const override { return entry_type::values_array; }
    std::uint64_t size() const override;
    std::size_t write(running_ptr& p) const override;
    std::size_t read(running_ptr& p, std::size_t depth) override;
    void dump_text(byte_string& out, const byte_string& name, std::size_t indent) const override;
    void for_each(const entry_visitor& visit) const override;

    std::uint8_t m_kind = static_cast<std::uint8_t>(value_kind::bytes);
};

class CInMemStorage {
public:
    virtual ~CInMemStorage() = default;
    // Erases the root entry of that name; true when there was one.
    virtual bool remove(const byte_string& name);

    CSSection& root() { return m_root; }
    const CSSection& root() const { return m_root; }

private:
    CSSection m_root;
};

// The packed storage; empty when it cannot be built (out of memory).
byte_string save(const CInMemStorage& storage);

// Bytes consumed (0 when refused, with a log line). The root is cleared
// first; after a refusal it stays empty.
std::size_t load(CInMemStorage& storage, const char* data, std::size_t len);
inline std::size_t load(CInMemStorage& storage, const byte_string& buffer) {
    return load(storage, buffer.data(), buffer.size());
}

// 'section' null means the root.
bool get_value(const CInMemStorage& storage, const CSSection* section, const byte_string& name, byte_string& out);
bool set_value(CInMemStorage& storage, CSSection* section, const byte_string& name, const char* p, std::size_t n,
               value_kind kind);

// The emptied (or new) sections array of that root name and its one fresh
// section; both null when the name holds an entry of another sort.
struct opened_array {
    std::shared_ptr<CSSectionsArray> array;
    std::shared_ptr<CSSection> first;
};
opened_array open_sections_array(CInMemStorage& storage, const byte_string& name);
std::shared_ptr<CSSection> append_section(CSSectionsArray& array);

// The sections array of that root name, or null.
std::shared_ptr<const CSSectionsArray> find_sections_array(const CInMemStorage& storage, const byte_string& name);

byte_string dump_text(const CInMemStorage& storage);

}  // namespace InMemStorageSpace
}  // namespace StorageNamed
