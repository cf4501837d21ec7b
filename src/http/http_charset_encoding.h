#pragma once
// Adapters in front of the wide (UTF-16LE) HTML handler: UTF-7 text decoded to
// UTF-16 and the handler's output encoded back; UTF-16 big-endian text swapped
// to little-endian and back.
#include <cstddef>
#include <memory>

#include "core/interfaces.h"
#include "core/strings.h"

// An unfinished shifted run longer than this is not held whole: its complete
// 8-letter groups (three UTF-16 units each) are converted at once.
constexpr std::size_t utf7_run_hold_bound = 4096;

class http_charset_utf7_encoder : public i_sub_handler {
public:
    // to_utf8: the handler's output goes to the client as UTF-8; otherwise as
    // UTF-7. The target is not owned by the first form.
    http_charset_utf7_encoder(i_sub_handler* target, bool to_utf8);
    http_charset_utf7_encoder(std::shared_ptr<i_sub_handler> target, bool to_utf8);

    bool update_in(byte_string& data) override;
    void stop(byte_string& data) override;

    bool to_utf8() const { return m_to_utf8; }
    // The target gave up; the text is still converted for the client.
    bool target_declined() const { return m_declined; }
    // UTF-7 bytes waiting for the rest of their shifted run.
    std::size_t held() const { return m_buffer.size(); }

private:
    // How many bytes of m_buffer end outside a shifted run; with a too long
    // unfinished run, cut_run is set and the count ends on a group boundary.
    std::size_t convertible(bool& cut_run) const;
    void to_client(byte_string& utf16le) const;

    byte_string m_buffer;
    bool m_to_utf8;
    i_sub_handler* m_psubhandler;
    std::shared_ptr<i_sub_handler> m_owned;
    bool m_declined = false;
};

class big_endian_to_little_endian : public i_sub_handler {
public:
    big_endian_to_little_endian() = default;
    explicit big_endian_to_little_endian(i_sub_handler* target) : m_ptarget_handler(target) {}

    void set_target(i_sub_handler* target) {
        m_owned.reset();
        m_ptarget_handler = target;
    }
    void set_target(std::shared_ptr<i_sub_handler> target) {
        m_owned = std::move(target);
        m_ptarget_handler = m_owned.get();
    }
    i_sub_handler* target() const { return m_ptarget_handler; }
    // A new response: forget a byte held from the last one.
    void reset() {
        m_held = false;
        m_held_byte = 0;
    }

    bool update_in(byte_string& data) override;
    void stop(byte_string& data) override;

private:
    bool m_held = false;
    unsigned char m_held_byte = 0;
    i_sub_handler* m_ptarget_handler = nullptr;
    std::shared_ptr<i_sub_handler> m_owned;
};
