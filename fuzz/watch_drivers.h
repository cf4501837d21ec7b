// Drivers for the two watch-only filters (FTP control channel, TLS
// handshake). Input: records of [direction byte, length byte, bytes]:
// direction bit 0 chooses the side (0 client, 1 server); bit 1 ends that
// side instead (its length byte and bytes are then skipped). Each driver
// returns "" when its checks hold: every byte passes both ways unchanged,
// held memory stays bounded, announcements name real ports, and the TLS
// filter writes nothing but its own files in its folder.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "core/bunch_filter.h"
#include "core/configuration.h"
#include "ftp/ftp_stream_filter.h"
#include "host/host_link.h"
#include "kit/kit.h"
#include "log/log.h"
#include "platform/registry.h"
#include "session_ops.h"
#include "ssl/ssl_stream_filter.h"
#include "zem/zem.h"

namespace fuzz_drivers {

#ifndef ZEM_FUZZ_CHECK_STR
#define ZEM_FUZZ_CHECK_STR2(x) #x
#define ZEM_FUZZ_CHECK_STR(x) ZEM_FUZZ_CHECK_STR2(x)
#endif
#define WATCH_CHECK(cond)                                                                 \
    do {                                                                                  \
        if (!(cond)) return std::string("line " ZEM_FUZZ_CHECK_STR(__LINE__) ": " #cond); \
    } while (0)

// Feeds the records to a filter point that carries one filter, made by
// 'make'; 'each' runs after every chunk and may report a failure.
template <class Filter, class Make, class Each>
std::string run_watch(const std::uint8_t* data, std::size_t size, Make make, Each each) {
    kit::capturing_provider p;
    std::shared_ptr<Filter> f;
    auto* fp = new bunch_filter(&p, 1, [&](i_connection_feedback* fb, filter_chain& chain) {
        f = make(fb);
        chain.push_back(f);
    });
    std::string out, in;
    std::string failure;
    play_session_ops(fp, data, size, out, in, false, [&] {
        failure = each(*f);
        return failure.empty();
    });
    fp->release();
    if (!failure.empty()) return failure;
    WATCH_CHECK(p.out == out);
    WATCH_CHECK(p.in == in);
    return "";
}

inline std::string run_ftp(const std::uint8_t* data, std::size_t size) {
    log_space::m_level = -1;
    kit::fake_host host;
    zem_io_commands::set_host_iface(&host);
    const std::string r = run_watch<ftp_stream_filter>(
        data, size, [](i_connection_feedback* fb) { return std::make_shared<ftp_stream_filter>(fb); },
        [](const ftp_stream_filter&) { return std::string(); });
    zem_io_commands::set_host_iface(nullptr);
    if (!r.empty()) return r;
    for (const auto& c : host.commands(zem::codes::firewall_allow_connection)) {
        WATCH_CHECK(c.data.size() == 36);
        WATCH_CHECK(kit::le32(c.data, 32) <= 65535);
    }
    return "";
}

// The folder the TLS driver's filter records into: private, emptied after
// every input.
inline const std::string& watch_cert_folder() {
    static const std::string folder = [] {
        // A new folder of a random name under the temporary folder (TMPDIR
        // on POSIX), owner only; create_directory refuses an existing one.
        namespace fs = std::filesystem;
        std::error_code ec;
        std::random_device seed;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const fs::path p = fs::temp_directory_path(ec) / ("zem-fuzz-certs-" + std::to_string(seed()));
            if (fs::create_directory(p, ec)) {
                fs::permissions(p, fs::perms::owner_all, ec);
                return p.string();
            }
        }
        return std::string();
    }();
    return folder;
}

inline std::string run_ssl(const std::uint8_t* data, std::size_t size) {
    log_space::m_level = -1;
    platform::reg_override_isolate(true);
    platform::reg_override_set_string(config::net_key, ssl_stream_filter::folder_value, watch_cert_folder());
    // A unit can be an SSL 2 hello (three 16-bit lengths) or a record of up
    // to 0xFFFF bytes; one chunk more may wait beside it.
    const std::size_t bound = 11 + 3 * 0xFFFF + 255;
    std::string r = run_watch<ssl_stream_filter>(
        data, size, [](i_connection_feedback*) { return std::make_shared<ssl_stream_filter>(); },
        [bound](const ssl_stream_filter& f) {
            return f.held_length() <= bound ? std::string() : std::string("held bytes past the bound");
        });
    if (DIR* d = ::opendir(watch_cert_folder().c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            if (r.empty() && name.rfind("cer", 0) != 0 && name != ssl_stream_filter::hostname_file)
                r = "unexpected file " + name;
            ::unlink((watch_cert_folder() + "/" + name).c_str());
        }
        ::closedir(d);
    }
    platform::reg_override_clear();
    return r;
}

}  // namespace fuzz_drivers
