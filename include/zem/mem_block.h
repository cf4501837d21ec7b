#pragma once
// Byte blocks that cross the module boundary. The host writes command replies
// into a mem_slice through its virtual assign/allocate, so whichever side frees
// the bytes frees them with the same allocator that made them: array new/delete
// for mem_block_t<free_via_delete>, malloc/free for mem_slice.
#include <cstdlib>
#include <cstring>

namespace zem {

struct free_via_delete {
    static char* alloc(int size) { return new char[static_cast<std::size_t>(size)]; }
    static void release(char* p) { delete[] p; }
};

template <class Free>
class mem_block_t {
public:
    mem_block_t() = default;
    mem_block_t(const mem_block_t&) = delete;
    mem_block_t& operator=(const mem_block_t&) = delete;

    virtual ~mem_block_t() {
        if (m_data) Free::release(m_data);
        m_data = nullptr;
        m_len = 0;
    }
    virtual const char* data(int* len) const {
        if (len) *len = m_len;
        return m_data;
    }
    virtual char* data(int* len) {
        if (len) *len = m_len;
        return m_data;
    }
    virtual void assign(const mem_block_t& src) {
        int len = 0;
        const char* p = src.data(&len);
        assign(p, len);
    }
    virtual void assign(const void* src, int size) {
        if (size <= 0 || src == nullptr) return;
        if (size == m_len && m_data) {
            std::memmove(m_data, src, static_cast<std::size_t>(size));
            return;
        }
        // Copy before freeing: src may point into our own bytes.
        char* p = Free::alloc(size);
        std::memcpy(p, src, static_cast<std::size_t>(size));
        free_data();
        m_data = p;
        m_len = size;
    }
    virtual char* allocate(int size) {
        free_data();
        m_data = nullptr;
        m_len = 0;
        if (size <= 0) return nullptr;
        m_data = Free::alloc(size);
        m_len = size;
        return m_data;
    }
    virtual void free_data() {
        if (m_data) Free::release(m_data);
    }

protected:
    char* m_data = nullptr;
    int m_len = 0;
};

// Lends a block view of bytes owned elsewhere; never frees them.
class fake_mem_block : public mem_block_t<free_via_delete> {
public:
    fake_mem_block() = default;
    fake_mem_block(const char* p, int len) {
        m_data = const_cast<char*>(p);
        m_len = len;
    }
    ~fake_mem_block() override {
        m_data = nullptr;
        m_len = 0;
    }
    void lend(const char* p, int len) {
        m_data = const_cast<char*>(p);
        m_len = len;
    }
    void free_data() override {}
};

// Buffer of host commands and notifications; the plain heap throughout.
class mem_slice {
public:
    mem_slice() = default;
    mem_slice(const mem_slice&) = delete;
    mem_slice& operator=(const mem_slice&) = delete;

    virtual ~mem_slice() {
        if (m_data) std::free(m_data);
        m_data = nullptr;
        m_len = 0;
    }
    virtual const char* data(int* len) const {
        if (len) *len = m_len;
        return m_data;
    }
    virtual char* data(int* len) {
        if (len) *len = m_len;
        return m_data;
    }
    virtual void assign(const mem_slice& src) {
        int len = 0;
        const char* p = src.data(&len);
        assign(p, len);
    }
    virtual void assign(const void* src, int size) {
        if (size <= 0 || src == nullptr) return;
        // Copy first: src may point into our own bytes.
        char* p = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
        if (!p) return;
        std::memcpy(p, src, static_cast<std::size_t>(size));
        free_data();
        m_data = p;
        m_len = size;
    }
    virtual char* allocate(int size) {
        free_data();
        m_data = nullptr;
        m_len = 0;
        if (size <= 0) return nullptr;
        m_data = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
        if (m_data) m_len = size;
        return m_data;
    }
    virtual void free_data() {
        if (m_data) std::free(m_data);
        m_data = nullptr;
        m_len = 0;
    }

protected:
    char* m_data = nullptr;
    int m_len = 0;
};

}  // namespace zem
