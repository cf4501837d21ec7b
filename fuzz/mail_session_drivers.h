// Drivers for the mail session filters (POP3, SMTP). Input: records of
// [direction byte, length byte, bytes] as for the watch drivers (bit 0:
// 0 client, 1 server; bit 1 ends that side). The host cuts every
// attachment. Each driver returns "" when its checks hold: nothing thrown,
// and a session in which no message was filtered (nor, for SMTP, a command
// refused) reaches the other side unchanged: the client's bytes always,
// the server's too for POP3.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "core/bunch_filter.h"
#include "host/host_link.h"
#include "kit/kit.h"
#include "log/log.h"
#include "mail/protocols/pop3_stream_filter.h"
#include "mail/protocols/smtp_stream_filter.h"
#include "session_ops.h"
#include "zem/zem.h"

namespace fuzz_drivers {

template <class Filter>
std::string run_mail_session(const std::uint8_t* data, std::size_t size, bool compare_server) {
    log_space::m_level = -1;
    kit::fake_host host;
    host.set_reply(zem::codes::mail_check_mail_attach, kit::attach_reply(1));
    zem_io_commands::set_host_iface(&host);
    kit::capturing_provider p;
    std::shared_ptr<Filter> f;
    auto* fp = new bunch_filter(&p, 1, [&](i_connection_feedback* fb, filter_chain& chain) {
        f = std::make_shared<Filter>(fb);
        chain.push_back(f);
    });
    std::string out, in;
    play_session_ops(fp, data, size, out, in);
    fp->release();
    zem_io_commands::set_host_iface(nullptr);
    bool refused = false;
    if constexpr (std::is_same<Filter, mail::smtp_stream_filter>::value) refused = f->refused();
    if (host.notification_count(zem::codes::http_notify_mail_message_start) == 0 && !refused) {
        if (p.out != out) return "client bytes changed without a message";
        if (compare_server && p.in != in) return "server bytes changed without a message";
    }
    return "";
}

inline std::string run_pop3(const std::uint8_t* data, std::size_t size) {
    return run_mail_session<mail::pop3_stream_filter>(data, size, true);
}

// The EHLO reply may lose capabilities, so only the client side compares.
inline std::string run_smtp(const std::uint8_t* data, std::size_t size) {
    return run_mail_session<mail::smtp_stream_filter>(data, size, false);
}

}  // namespace fuzz_drivers
