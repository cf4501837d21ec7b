#pragma once
// A scripted host whose answer to chosen commands waits until the test lets
// it go: for what a slow host stalls, and for host calls still under way
// when the engine or the process ends.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "kit/kit.h"

namespace kit {

class gated_host : public fake_host {
public:
    // Commands of 'code' whose request bytes satisfy 'when' (any, when
    // empty) wait at the gate from now on.
    void hold(int code, std::function<bool(const std::string& request)> when = nullptr);
    // Blocks until 'count' calls in all have reached the gate.
    void wait_until_held(int count = 1);
    // Lets every waiting and later call through.
    void release();
    int held_so_far() const;

    int invoke_command(const zem::GUID* channel, int code, zem::mem_slice* request, zem::mem_slice* reply) override;

private:
    mutable std::mutex m_gate_lock;
    std::condition_variable m_changed;
    int m_code = -1;
    std::function<bool(const std::string&)> m_when;
    int m_held = 0;
    bool m_open = false;
};

}  // namespace kit
