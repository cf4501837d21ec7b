// Every reply decoder of the host channel on arbitrary replies. The first
// input byte picks the command (and the host's return code); the rest is the
// reply. Nothing may crash, read outside the reply or throw, and what a
// decoder accepts must fit in the reply it came from.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/host_link.h"
#include "host/ipc_permission_qualifier.h"
#include "host/mail_commands.h"
#include "host/zem_io_commands.h"
#include "log/log.h"
#include "zem/external_iface.h"

namespace {

class replaying_host : public zem::i_external_iface {
public:
    int invoke_command(const zem::GUID*, int, zem::mem_slice*, zem::mem_slice* reply) override {
        if (rc != 0) return rc;
        if (reply && !bytes.empty()) reply->assign(bytes.data(), static_cast<int>(bytes.size()));
        return 0;
    }
    bool notify_event(const zem::GUID*, int, zem::mem_slice*) override { return accept; }
    std::string bytes;
    int rc = 0;
    bool accept = true;
};

void check(bool ok) {
    if (!ok) __builtin_trap();
}

std::size_t units(const zem_io_commands::wide_list& l) {
    std::size_t n = 0;
    for (const auto& w : l) n += w.size();
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static replaying_host host;
    static bool once = [] {
        log_space::m_level = -1;  // keep the fuzzer's output readable
        zem_io_commands::set_host_iface(&host);
        return true;
    }();
    (void)once;
    const std::uint8_t selector = data[0];
    host.bytes.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    host.rc = (selector & 0x80) ? 1 : 0;
    host.accept = (selector & 0x40) == 0;
    const std::size_t reply_size = host.bytes.size();
    namespace io = zem_io_commands;

    switch (selector % 12) {
        case 0: {
            std::int32_t perms[26];
            byte_string text;
            if (io::general_query_permission_array("h", "h/", nullptr, perms, 1, text)) {
                for (int i = 22; i < 26; ++i) check(perms[i] == 0);
                check(text.size() <= reply_size);
            } else {
                for (int i = 0; i < 22; ++i) check(perms[i] == 0);
            }
            break;
        }
        case 1: {
            bool allow = false;
            std::int32_t next = 0;
            io::do_learn_for_index("h", allow, nullptr, 2, 1, next);
            break;
        }
        case 2: {
            io::wide_list words;
            if (io::http_query_stop_words(words))
                check(units(words) * 2 <= reply_size && words.size() <= reply_size / 16);
            break;
        }
        case 3: {
            io::wide_list words;
            std::uint8_t flag = 0;
            if (io::http_query_ads_block_words(words, flag))
                check(units(words) * 2 <= reply_size && words.size() <= reply_size / 16);
            break;
        }
        case 4: {
            io::size_list sizes;
            if (io::http_query_ads_block_sizes(sizes))
                check(sizes.size() * 8 + 16 <= reply_size);
            else
                check(sizes.empty());
            break;
        }
        case 5: {
            byte_string text;
            if (io::http_query_block_message_html(text)) check(text.size() < reply_size);
            break;
        }
        case 6: {
            byte_string text;
            if (io::http_query_transparent_gif(text)) check(text.size() < reply_size);
            break;
        }
        case 7: {
            byte_string script = "original";
            if (io::http_check_script(script, nullptr, 1))
                check(script == "original" || script.size() <= reply_size);
            else
                check(script == "original");
            wide_string wide = L"w";
            io::http_check_script(wide, nullptr, 1);
            break;
        }
        case 8: {
            io::config_cookie cookie;
            io::general_query_config_cookie(cookie);
            io::firewall_allow_connection(nullptr, 1, 2);
            break;
        }
        case 9: {
            mail::mail_info_summary s;
            s.object_name = L"a.exe";
            byte_string body = "body";
            std::int32_t action = 0;
            if (io::mail_check_mail_attach(nullptr, body, s, action)) {
                check(body == "body" || body.size() <= reply_size);
                check(s.object_name.size() * 2 <= reply_size);
            } else {
                check(body == "body" && s.object_name == L"a.exe" && action == 0);
            }
            io::http_notify_mail_message_info(nullptr, s);
            break;
        }
        default: {
            // The qualifier on the same reply for every question it may ask.
            io::ipc_permission_qualifier q(nullptr);
            q.set_request("h", "h/", 1);
            for (int i = -1; i <= 23; ++i) q.get_permission_by_index(i);
            q.check_ad_size(468, 60);
            q.get_transparent_gif(wide_string());
            break;
        }
    }
    return 0;
}
