// Drivers for the IMAP and news session filters. Input: records of
// [direction byte, length byte, bytes] as in watch_drivers.h (bit 0 the
// side, bit 1 ends it). With no host verdicts every message is left as it
// is, so the client must get the server's bytes back: for IMAP but for the
// filter's keep-alive lines, for news but for article lines starting with a
// dot that was not stuffed (the filter stuffs it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/bunch_filter.h"
#include "host/host_link.h"
#include "kit/kit.h"
#include "log/log.h"
#include "mail/protocols/imap_stream_filter.h"
#include "mail/protocols/nntp_stream_filter.h"
#include "session_ops.h"
#include "zem/zem.h"

namespace fuzz_drivers {

#define MAIL_SESSION_CHECK(cond)                                 \
    do {                                                         \
        if (!(cond)) return std::string("check failed: " #cond); \
    } while (0)

template <class Make>
std::string run_mail_session(const std::uint8_t* data, std::size_t size, Make make, std::string& in,
                             std::string& got_in) {
    log_space::m_level = -1;
    kit::fake_host host;
    zem_io_commands::set_host_iface(&host);
    kit::capturing_provider p;
    auto* fp =
        new bunch_filter(&p, 1, [&](i_connection_feedback* fb, filter_chain& chain) { chain.push_back(make(fb)); });
    std::string out;
    play_session_ops(fp, data, size, out, in);
    fp->release();
    zem_io_commands::set_host_iface(nullptr);
    MAIL_SESSION_CHECK(p.out == out);
    got_in = p.in;
    return "";
}

inline std::string without_keep_alive(std::string s) {
    const std::string k = imap_stream_filter::keep_alive_line;
    std::string r;
    std::size_t pos = 0, at;
    while ((at = s.find(k, pos)) != std::string::npos) {
        r.append(s, pos, at - pos);
        pos = at + k.size();
    }
    r.append(s, pos, std::string::npos);
    return r;
}

inline std::string run_imap(const std::uint8_t* data, std::size_t size) {
    std::string in, got;
    const std::string r = run_mail_session(
        data, size, [](i_connection_feedback* fb) { return std::make_shared<imap_stream_filter>(fb); }, in, got);
    if (!r.empty()) return r;
    MAIL_SESSION_CHECK(without_keep_alive(got) == without_keep_alive(in));
    return "";
}

inline std::string run_nntp(const std::uint8_t* data, std::size_t size) {
    std::string in, got;
    const std::string r = run_mail_session(
        data, size, [](i_connection_feedback* fb) { return std::make_shared<nntp_stream_filter>(fb); }, in, got);
    if (!r.empty()) return r;
    // A line starting with one dot (not the end mark) was not stuffed; the
    // filter passes it stuffed, one dot more, which a reader takes back off.
    std::size_t unstuffed = 0;
    for (std::size_t at = in.find('.'); at != std::string::npos; at = in.find('.', at + 1))
        if ((at == 0 || in[at - 1] == '\n') && (at + 1 >= in.size() || in[at + 1] != '.')) ++unstuffed;
    if (unstuffed == 0) MAIL_SESSION_CHECK(got == in);
    MAIL_SESSION_CHECK(got.size() <= in.size() + unstuffed);
    return "";
}

}  // namespace fuzz_drivers
