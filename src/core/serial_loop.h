#pragma once
// Buffers and output queues shared by the filters that cut a byte stream into
// protocol units. Derived classes append a chunk to m_buff_in/m_buff_out,
// consume complete units from the front, queue output pieces, and flush the
// queue into the caller's string at the end of each call.
//
// Consuming from the front: derived classes keep a read offset where a
// buffer may hold many units and compact once per call; the prefix helpers
// below erase, which is cheap for the short buffers they are meant for.
#include <list>

#include "core/strings.h"

template <class T>
class serial_loop {
public:
    using piece_list = std::list<byte_string>;

    serial_loop() { m_buff_in.reserve(300); }

protected:
    void emit_in(byte_string& piece) { emit(m_ready_in, piece); }
    void emit_out(byte_string& piece) { emit(m_ready_out, piece); }
    void emit_in_prefix(std::size_t n) { emit_prefix(m_ready_in, m_buff_in, n); }
    void emit_out_prefix(std::size_t n) { emit_prefix(m_ready_out, m_buff_out, n); }

    static void emit(piece_list& list, byte_string& piece) {
        list.emplace_back();
        list.back().swap(piece);
    }

    static void emit_prefix(piece_list& list, byte_string& buff, std::size_t n) {
        if (n > buff.size()) n = buff.size();
        list.emplace_back(buff, 0, n);
        buff.erase(0, n);
    }

    // Appends a chunk to a buffer without copying when the buffer is empty.
    static void take_chunk(byte_string& buff, byte_string& chunk) {
        if (buff.empty())
            buff.swap(chunk);
        else
            buff.append(chunk);
        chunk.clear();
    }

    static void flush_ready(piece_list& list, byte_string& data) {
        if (list.empty()) {
            data.clear();
            return;
        }
        if (list.size() == 1) {
            data.swap(list.front());
            list.clear();
            return;
        }
        std::size_t total = 0;
        for (auto& p : list) total += p.size();
        data.clear();
        data.reserve(total);
        for (auto& p : list) data.append(p);
        list.clear();
    }

    // The per-byte driver. 'callback' consumes one byte (keeping it, queueing
    // output into 'ready' or dropping it) and returns false to fail; it may
    // set 'stop' to end the run early. See the class comment for the result.
    template <class Callback>
    bool loop(byte_string& data, std::size_t* released, piece_list& ready, Callback callback) {
        T* self = static_cast<T*>(this);
        std::size_t start = *released;
        if (start > data.size()) start = data.size();
        bool result = true;
        bool stop = false;
        std::size_t i = start;
        while (i < data.size() && result && !stop) {
            result = (self->*callback)(data[i], stop);
            ++i;
        }
        if (start != 0) ready.emplace_front(data, 0, start);
        std::size_t total = 0;
        for (auto& p : ready) total += p.size();
        byte_string out;
        out.reserve(total + (data.size() - i));
        for (auto& p : ready) out.append(p);
        ready.clear();
        out.append(data, i, byte_string::npos);
        data.swap(out);
        *released = total;
        return result;
    }

    byte_string m_buff_in;
    byte_string m_buff_out;
    piece_list m_ready_in;
    piece_list m_ready_out;
};
