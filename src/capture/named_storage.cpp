#include "capture/named_storage.h"

#include <cstring>
#include <limits>
#include <new>

#include "log/log.h"

namespace StorageNamed {
namespace InMemStorageSpace {

namespace {

constexpr std::uint32_t magic0 = 0xF34D49A2u;
constexpr std::uint32_t magic1 = 0x889F1ED9u;
constexpr std::uint8_t format_version = 1;
constexpr std::size_t header_size = 9;
constexpr const char* source = "storage/storage";

void put_le(std::uint64_t v, std::size_t width, char* out) {
    for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void indent_to(byte_string& out, std::size_t indent) { out.append(indent, '\t'); }

// Reads a name up to its terminating NUL; false when the buffer ends first.
bool read_name(running_ptr& p, byte_string& name) {
    const void* nul = std::memchr(p.here(), 0, p.left());
    if (!nul) return false;
    std::size_t n = static_cast<std::size_t>(static_cast<const char*>(nul) - p.here());
    name.assign(p.here(), n);
    return p.skip(n + 1);
}

// Every entry starts with its type byte; a different one is not ours.
bool expect_type(running_ptr& p, entry_type t) {
    std::uint8_t b = 0;
    return p.get_byte(b) && b == static_cast<std::uint8_t>(t);
}

std::shared_ptr<ISSectionEntry> make_entry(std::uint8_t code) {
    switch (code) {
        case static_cast<std::uint8_t>(entry_type::section):
            return std::make_shared<CSSection>();
        case static_cast<std::uint8_t>(entry_type::value):
            return std::make_shared<CSValue>();
        case static_cast<std::uint8_t>(entry_type::sections_array):
            return std::make_shared<CSSectionsArray>();
        case static_cast<std::uint8_t>(entry_type::values_array):
            return std::make_shared<CSValuesArray>();
        default:
            return nullptr;  // a bare block has no packed form of its own
    }
}

// Reads a block length and its bytes into 'block'.
bool read_block(running_ptr& p, CMemoryObjectEx& block) {
    std::uint64_t n = 0;
    if (!read_size_code(p, n) || n > p.left()) return false;
    if (!block.set(p.here(), static_cast<std::size_t>(n))) return false;
    return p.skip(static_cast<std::size_t>(n));
}

std::size_t write_block(running_ptr& p, const CMemoryObjectEx& block) {
    if (!write_size_code(p, block.length())) return 0;
    if (block.length() && !p.put(block.bytes(), block.length())) return 0;
    return size_code_width(block.length()) + block.length();
}

std::string kind_text(std::uint8_t kind, const CMemoryObjectEx& block) {
    if (kind == static_cast<std::uint8_t>(value_kind::bytes)) return block.str();
    if (kind == static_cast<std::uint8_t>(value_kind::integer)) {
        if (block.length() > 4) return "[not implemented yet for size = " + std::to_string(block.length()) + "]";
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < block.length(); ++i)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(block.bytes()[i])) << (8 * i);
        return std::to_string(v);
    }
    return "[not implemented yet]";
}

void dump_value(byte_string& out, const byte_string& name, std::size_t indent, const std::string& text) {
    indent_to(out, indent);
    out += "<" + name + " value=\"" + text + "\"/>\r\n";
}

void dump_open(byte_string& out, const byte_string& name, std::size_t indent) {
    indent_to(out, indent);
    out += "<" + name + ">\r\n";
}

void dump_close(byte_string& out, const byte_string& name, std::size_t indent) {
    indent_to(out, indent);
    out += "</" + name + ">\r\n";
}

byte_string index_name(std::size_t i) { return "[" + std::to_string(i) + "]"; }

}  // namespace

// ---- cursor ----

bool running_ptr::put(const void* p, std::size_t n) {
    if (n > left()) return false;
    if (n) std::memcpy(m_start + m_pos, p, n);
    m_pos += n;
    return true;
}

bool running_ptr::get(void* p, std::size_t n) {
    if (n > left()) return false;
    if (n) std::memcpy(p, m_start + m_pos, n);
    m_pos += n;
    return true;
}

bool running_ptr::skip(std::size_t n) {
    if (n > left()) return false;
    m_pos += n;
    return true;
}

bool running_ptr::peek(std::uint8_t& b) const {
    if (left() == 0) return false;
    b = static_cast<std::uint8_t>(m_start[m_pos]);
    return true;
}

// ---- size codes ----

std::size_t size_code_width(std::uint64_t v) {
    if (v < 64) return 1;
    if (v <= 0x3FFF) return 2;
    if (v <= 0x3FFFFFFF) return 4;
    return 8;
}

bool write_size_code(running_ptr& p, std::uint64_t v) {
    const std::size_t w = size_code_width(v);
    const std::uint64_t tag = w == 1 ? 0 : w == 2 ? 1 : w == 4 ? 2 : 3;
    char buf[8];
    put_le((v << 2) | tag, w, buf);
    return p.put(buf, w);
}

bool read_size_code(running_ptr& p, std::uint64_t& v) {
    std::uint8_t first = 0;
    if (!p.peek(first)) return false;
    static const std::size_t widths[4] = {1, 2, 4, 8};
    const std::size_t w = widths[first & 3];
    unsigned char buf[8] = {};
    if (!p.get(buf, w)) return false;
    std::uint64_t raw = 0;
    for (std::size_t i = 0; i < w; ++i) raw |= static_cast<std::uint64_t>(buf[i]) << (8 * i);
    v = raw >> 2;
    return true;
}

namespace {
// The item count of a container, checked against what is left: each item
// takes at least min_item bytes, so a count beyond that fails at once
// instead of after a long walk.
bool read_item_count(running_ptr& p, std::uint64_t& count, std::uint64_t min_item) {
    return read_size_code(p, count) && count <= p.left() / min_item;
}
}  // namespace

// ---- block ----

bool CMemoryObjectEx::set(const char* p, std::size_t n) {
    if (n > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
    if (n == 0) {
        allocate(0);  // assign() would keep the old bytes for an empty block
        return true;
    }
    assign(p, static_cast<int>(n));
    return true;
}

std::uint64_t CMemoryObjectEx::size() const { return size_code_width(length()) + length(); }

std::size_t CMemoryObjectEx::write(running_ptr& p) const { return write_block(p, *this); }

std::size_t CMemoryObjectEx::read(running_ptr& p, std::size_t) {
    const std::size_t start = p.offset();
    return read_block(p, *this) ? p.offset() - start : 0;
}

void CMemoryObjectEx::dump_text(byte_string& out, const byte_string& name, std::size_t indent) const {
    dump_value(out, name, indent, str());
}

// ---- value ----

std::uint64_t CSValue::size() const { return 2 + m_block.size(); }

std::size_t CSValue::write(running_ptr& p) const {
    if (!p.put_byte(static_cast<std::uint8_t>(entry_type::value)) || !p.put_byte(m_kind)) return 0;
    const std::size_t n = write_block(p, m_block);
    return n ? 2 + n : 0;
}

std::size_t CSValue::read(running_ptr& p, std::size_t) {
    const std::size_t start = p.offset();
    if (!expect_type(p, entry_type::value) || !p.get_byte(m_kind) || !read_block(p, m_block)) return 0;
    return p.offset() - start;
}

void CSValue::dump_text(byte_string& out, const byte_string& name, std::size_t indent) const {
    dump_value(out, name, indent, kind_text(m_kind, m_block));
}

// ---- section ----

std::uint64_t CSSection::size() const {
    std::uint64_t n = 1 + size_code_width(m_entries.size());
    for (const auto& e : m_entries) n += e.first.size() + 1 + e.second->size();
    return n;
}

std::size_t CSSection::write(running_ptr& p) const {
    const std::size_t start = p.offset();
    if (!p.put_byte(static_cast<std::uint8_t>(entry_type::section)) || !write_size_code(p, m_entries.size())) return 0;
    for (const auto& e : m_entries) {
        if (!p.put(e.first.data(), e.first.size()) || !p.put_byte(0) || !e.second->write(p)) return 0;
    }
    return p.offset() - start;
}

std::size_t CSSection::read(running_ptr& p, std::size_t depth) {
    const std::size_t start = p.offset();
    m_entries.clear();
    if (depth > max_load_depth) return 0;
    std::uint64_t count = 0;
    // Each entry takes at least a NUL and a type byte.
    if (!expect_type(p, entry_type::section) || !read_item_count(p, count, 2)) return 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        byte_string name;
        std::uint8_t code = 0;
        if (!read_name(p, name) || !p.peek(code)) return 0;
        std::shared_ptr<ISSectionEntry> e = make_entry(code);
        if (!e || !e->read(p, depth + 1)) return 0;
        // A name occurs once; a second one means the buffer is not ours.
        if (!m_entries.emplace(std::move(name), std::move(e)).second) return 0;
    }
    return p.offset() - start;
}

void CSSection::dump_text(byte_string& out, const byte_string& name, std::size_t indent) const {
    dump_open(out, name, indent);
    for (const auto& e : m_entries) e.second->dump_text(out, e.first, indent + 1);
    dump_close(out, name, indent);
}

void CSSection::for_each(const entry_visitor& visit) const {
    for (const auto& e : m_entries) visit(e.first, *e.second);
}

// ---- sections array ----

std::uint64_t CSSectionsArray::size() const {
    std::uint64_t n = 1 + size_code_width(m_items.size());
    for (const auto& s : m_items) n += s->size();
    return n;
}

std::size_t CSSectionsArray::write(running_ptr& p) const {
    const std::size_t start = p.offset();
    if (!p.put_byte(static_cast<std::uint8_t>(entry_type::sections_array)) || !write_size_code(p, m_items.size()))
        return 0;
    for (const auto& s : m_items)
        if (!s->write(p)) return 0;
    return p.offset() - start;
}

std::size_t CSSectionsArray::read(running_ptr& p, std::size_t depth) {
    const std::size_t start = p.offset();
    m_items.clear();
    if (depth > max_load_depth) return 0;
    std::uint64_t count = 0;
    // A section is at least two bytes.
    if (!expect_type(p, entry_type::sections_array) || !read_item_count(p, count, 2)) return 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        auto s = std::make_shared<CSSection>();
        if (!s->read(p, depth + 1)) return 0;
        m_items.push_back(std::move(s));
    }
    return p.offset() - start;
}

void CSSectionsArray::dump_text(byte_string& out, const byte_string& name, std::size_t indent) const {
    dump_open(out, name, indent);
    for (std::size_t i = 0; i < m_items.size(); ++i) m_items[i]->dump_text(out, index_name(i), indent + 1);
    dump_close(out, name, indent);
}

void CSSectionsArray::for_each(const entry_visitor& visit) const {
    for (std::size_t i = 0; i < m_items.size(); ++i) visit(index_name(i), *m_items[i]);
}

// ---- values array ----

std::uint64_t CSValuesArray::size() const {
    std::uint64_t n = 2 + size_code_width(m_items.size());
    for (const auto& b : m_items) n += b->size();
    return n;
}

std::size_t CSValuesArray::write(running_ptr& p) const {
    const std::size_t start = p.offset();
    if (!p.put_byte(static_cast<std::uint8_t>(entry_type::values_array)) || !p.put_byte(m_kind) ||
        !write_size_code(p, m_items.size()))
        return 0;
    for (const auto& b : m_items)
        if (!write_block(p, *b)) return 0;
    return p.offset() - start;
}

std::size_t CSValuesArray::read(running_ptr& p, std::size_t) {
    const std::size_t start = p.offset();
    m_items.clear();
    std::uint64_t count = 0;
    // Every block has at least its length byte.
    if (!expect_type(p, entry_type::values_array) || !p.get_byte(m_kind) || !read_item_count(p, count, 1)) return 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        auto b = std::make_shared<CMemoryObjectEx>();
        if (!read_block(p, *b)) return 0;
        m_items.push_back(std::move(b));
    }
    return p.offset() - start;
}

void CSValuesArray::dump_text(byte_string& out, const byte_string& name, std::size_t indent) const {
    dump_open(out, name, indent);
    for (std::size_t i = 0; i < m_items.size(); ++i)
        dump_value(out, index_name(i), indent + 1, kind_text(m_kind, *m_items[i]));
    dump_close(out, name, indent);
}

void CSValuesArray::for_each(const entry_visitor& visit) const {
    for (std::size_t i = 0; i < m_items.size(); ++i) visit(index_name(i), *m_items[i]);
}

// ---- storage ----

bool CInMemStorage::remove(const byte_string& name) { return m_root.m_entries.erase(name) > 0; }

byte_string save(const CInMemStorage& storage) {
    try {
        const std::uint64_t body = storage.root().size();
        if (body > std::numeric_limits<std::size_t>::max() - header_size) return byte_string();
        byte_string out(header_size + static_cast<std::size_t>(body), '\0');
        running_ptr p(&out[0], out.size());
        char head[header_size];
        put_le(magic0, 4, head);
        put_le(magic1, 4, head + 4);
        head[8] = static_cast<char>(format_version);
        if (!p.put(head, header_size) || storage.root().write(p) != body) return byte_string();
        return out;
    } catch (const std::bad_alloc&) {
        return byte_string();
    }
}

std::size_t load(CInMemStorage& storage, const char* data, std::size_t len) {
    storage.root().m_entries.clear();
    if (!data || len < header_size + 1) {
        ZEM_LOG_ERROR(source, "load: buffer of " << len << " bytes is too short");
        return 0;
    }
    running_ptr p(data, len);
    unsigned char head[header_size];
    p.get(head, header_size);
    std::uint32_t m0 = 0, m1 = 0;
    for (int i = 0; i < 4; ++i) {
        m0 |= static_cast<std::uint32_t>(head[i]) << (8 * i);
        m1 |= static_cast<std::uint32_t>(head[4 + i]) << (8 * i);
    }
    if (m0 != magic0 || m1 != magic1 || head[8] > format_version) {
        ZEM_LOG_ERROR(source, "load: not a storage buffer (magic or version " << unsigned(head[8]) << ")");
        return 0;
    }
    std::size_t n = 0;
    try {
        n = storage.root().read(p, 0);
    } catch (const std::bad_alloc&) {
        n = 0;
    }
    if (!n) {
        storage.root().m_entries.clear();
        ZEM_LOG_ERROR(source, "load: damaged storage near offset " << p.offset() << " of " << len);
        return 0;
    }
    return header_size + n;
}

bool get_value(const CInMemStorage& storage, const CSSection* section, const byte_string& name, byte_string& out) {
    const CSSection& s = section ? *section : storage.root();
    auto it = s.m_entries.find(name);
    if (it == s.m_entries.end()) return false;
    if (it->second->type() == entry_type::value) {
        out = static_cast<const CSValue&>(*it->second).m_block.str();
        return true;
    }
    if (it->second->type() == entry_type::values_array) {
        const auto& a = static_cast<const CSValuesArray&>(*it->second);
        if (a.m_items.empty()) return false;
        out = a.m_items.front()->str();
        return true;
    }
    return false;
}

bool set_value(CInMemStorage& storage, CSSection* section, const byte_string& name, const char* p, std::size_t n,
               value_kind kind) {
    // A name is stored up to a NUL: one holding a NUL could not be read back.
    if (name.find('\0') != byte_string::npos) return false;
    CSSection& s = section ? *section : storage.root();
    try {
        auto it = s.m_entries.find(name);
        if (it == s.m_entries.end()) {
            auto v = std::make_shared<CSValue>();
            v->m_kind = static_cast<std::uint8_t>(kind);
            if (!v->m_block.set(p, n)) return false;
            s.m_entries.emplace(name, std::move(v));
            return true;
        }
        if (it->second->type() != entry_type::value) return false;
        auto& v = static_cast<CSValue&>(*it->second);
        if (!v.m_block.set(p, n)) return false;
        v.m_kind = static_cast<std::uint8_t>(kind);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

opened_array open_sections_array(CInMemStorage& storage, const byte_string& name) {
    if (name.find('\0') != byte_string::npos) return {};
    auto& entries = storage.root().m_entries;
    auto it = entries.find(name);
    std::shared_ptr<CSSectionsArray> array;
    if (it == entries.end() || it->second->type() == entry_type::value) {
        array = std::make_shared<CSSectionsArray>();
        entries[name] = array;
    } else if (it->second->type() == entry_type::sections_array) {
        array = std::static_pointer_cast<CSSectionsArray>(it->second);
        array->m_items.clear();
    } else {
        return {};
    }
    return {array, append_section(*array)};
}

std::shared_ptr<CSSection> append_section(CSSectionsArray& array) {
    auto s = std::make_shared<CSSection>();
    array.m_items.push_back(s);
    return s;
}

std::shared_ptr<const CSSectionsArray> find_sections_array(const CInMemStorage& storage, const byte_string& name) {
    auto it = storage.root().m_entries.find(name);
    if (it == storage.root().m_entries.end() || it->second->type() != entry_type::sections_array) return nullptr;
    return std::static_pointer_cast<const CSSectionsArray>(it->second);
}

byte_string dump_text(const CInMemStorage& storage) {
    byte_string out;
    for (const auto& e : storage.root().m_entries) e.second->dump_text(out, e.first, 0);
    return out;
}

}  // namespace InMemStorageSpace
}  // namespace StorageNamed
