#include "kit/gated_host.h"

namespace kit {

void gated_host::hold(int code, std::function<bool(const std::string& request)> when) {
    std::lock_guard<std::mutex> g(m_gate_lock);
    m_code = code;
    m_when = std::move(when);
    m_open = false;
}

void gated_host::wait_until_held(int count) {
    std::unique_lock<std::mutex> g(m_gate_lock);
    m_changed.wait(g, [&] { return m_held >= count; });
}

void gated_host::release() {
    std::lock_guard<std::mutex> g(m_gate_lock);
    m_open = true;
    m_changed.notify_all();
}

int gated_host::held_so_far() const {
    std::lock_guard<std::mutex> g(m_gate_lock);
    return m_held;
}

int gated_host::invoke_command(const zem::GUID* channel, int code, zem::mem_slice* request, zem::mem_slice* reply) {
    {
        std::unique_lock<std::mutex> g(m_gate_lock);
        if (!m_open && code == m_code) {
            int len = 0;
            const char* p = request ? request->data(&len) : nullptr;
            const std::string bytes = p ? std::string(p, static_cast<std::size_t>(len)) : std::string();
            if (!m_when || m_when(bytes)) {
                ++m_held;
                m_changed.notify_all();
                m_changed.wait(g, [&] { return m_open; });
            }
        }
    }
    return fake_host::invoke_command(channel, code, request, reply);
}

}  // namespace kit
