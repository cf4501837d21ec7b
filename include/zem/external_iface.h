#pragma once
// The host's command interface and the channel's codes. Requests and replies
// are little-endian byte layouts carried in mem_slice buffers.
#include <cstdint>

#include "zem/mem_block.h"

namespace zem {

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    unsigned char Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

// {722E7F27-6822-49AC-B19D-4B85E20C4FCF}
constexpr GUID channel_guid = {0x722E7F27, 0x6822, 0x49AC, {0xB1, 0x9D, 0x4B, 0x85, 0xE2, 0x0C, 0x4F, 0xCF}};

inline bool same_guid(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

class i_external_iface {
public:
    // 0 = success; the host fills reply through its assign/allocate.
    virtual int invoke_command(const GUID* channel, int code, mem_slice* request, mem_slice* reply) = 0;
    virtual bool notify_event(const GUID* channel, int code, mem_slice* data) = 0;

protected:
    ~i_external_iface() = default;
};

namespace codes {
// commands
constexpr int general_query_permission_array = 1000;
constexpr int do_learn_for_index = 1001;
constexpr int http_query_stop_words = 1002;
constexpr int http_query_ads_block_words = 1003;
constexpr int http_query_ads_block_sizes = 1004;
constexpr int http_query_block_message_html = 1005;
constexpr int mail_check_mail_attach = 1006;
constexpr int http_query_transparent_gif = 1007;
constexpr int firewall_allow_connection = 1008;
constexpr int http_check_script = 1009;
constexpr int general_query_config_cookie = 1010;
// notifications
constexpr int general_notify_log_line = 0;
constexpr int general_notify_transfer_progress = 1;
constexpr int general_notify_transfer_complete = 2;
constexpr int http_notify_mail_message_start = 100;
constexpr int http_notify_mail_message_info = 101;
constexpr int mail_notify_mail_attach = 102;
constexpr int http_notify_request = 200;
constexpr int http_notify_response = 201;
constexpr int general_notify_object_blocked = 202;
constexpr int general_notify_stopword_blocked = 203;
}  // namespace codes

}  // namespace zem
