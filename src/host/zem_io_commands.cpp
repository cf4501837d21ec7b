#include "host/zem_io_commands.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "host/host_link.h"
#include "host/permissions.h"
#include "host/wire.h"
#include "log/log.h"
#include "platform/codepage.h"

#define ZEM_IO_SOURCE "common/inc/lsp_io_wrappers"

namespace zem_io_commands {

using wire::message;
using wire::reply_view;

namespace {
// The first HTTP request of the process has id 1: 0 stays "no request"
// (see docs/host_calls.md).
std::atomic<std::uint64_t> g_request_sequence{1};

constexpr std::size_t permission_reply_min = 104;
constexpr std::size_t learn_reply_min = 5;
constexpr std::size_t stop_words_reply_min = 24;
constexpr std::size_t ads_words_reply_min = 25;
constexpr std::size_t sizes_reply_min = 16;
constexpr std::size_t text_reply_min = 16;
constexpr std::size_t script_reply_min = 9;
constexpr std::size_t cookie_reply_min = 16;

// Sends 'msg' (or an empty request when null) and leaves the reply in
// 'reply'. Returns the host's code; a message that cannot be built gives -1
// without reaching the host.
int send_command(zem::i_external_iface* host, int code, message* msg, zem::mem_slice& reply) {
    zem::mem_slice request;
    if (msg && !msg->build(request)) return -1;
    return wire::invoke(host, code, &request, &reply);
}

bool send_notification(zem::i_external_iface* host, int code, message& msg) {
    zem::mem_slice data;
    if (!msg.build(data)) return false;
    return wire::notify(host, code, &data);
}

// Decodes a list of string_ref entries (offsets relative to each entry).
// skip_empty drops entries of length 0. False when any entry or string lies
// outside the reply; the count is checked against the room before anything
// is allocated. Entries may share their text (a host may point every entry
// at one string), so what a list decodes to is bounded on its own: words by
// the entries the reply has room for, bytes by word_list_max_bytes or the
// reply's size, whichever is larger. A list past the bound counts as short.
bool read_word_list(const reply_view& r, std::uint64_t count, std::size_t first, bool skip_empty, wide_list& out) {
    if (first > r.size()) return false;
    if (count > (r.size() - first) / wire::string_ref_size) return false;
    const std::size_t byte_bound = std::max(word_list_max_bytes, r.size());
    std::size_t total_bytes = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::size_t entry = first + static_cast<std::size_t>(i) * wire::string_ref_size;
        std::uint64_t len = r.u64(entry + 8);
        if (skip_empty && len == 0) continue;
        if (r.u64(entry) != 0 && len > byte_bound - total_bytes) return false;
        wide_string w;
        if (!r.wide_ref(entry, entry, w)) return false;
        total_bytes += w.size() * 2;
        if (total_bytes > byte_bound) return false;
        out.push_back(std::move(w));
    }
    return true;
}

// The narrow text of 1005/1007: from the referenced position up to the
// first NUL (the last reply byte is zeroed first, so there always is one).
bool query_narrow_text(int code, const char* failed_line, const char* short_line, byte_string& text_out) {
    const host_call call;
    zem::i_external_iface* host = call.host();
    if (!host) return false;
    zem::mem_slice reply;
    int rc = send_command(host, code, nullptr, reply);
    if (rc != 0) {
        ZEM_LOG_ERROR(ZEM_IO_SOURCE, failed_line << rc);
        return false;
    }
    reply_view r(reply);
    if (r.size() < text_reply_min) {
        ZEM_LOG_ERROR(ZEM_IO_SOURCE, short_line << r.size());
        return false;
    }
    r.zero_tail(1);
    std::uint64_t off = r.u64(0), len = r.u64(8);
    if (off == 0 || len == 0) {
        text_out.clear();
        return true;
    }
    if (off >= r.size()) {
        ZEM_LOG_ERROR(ZEM_IO_SOURCE, short_line << r.size());
        return false;
    }
    const char* p = r.at(static_cast<std::size_t>(off));
    text_out.assign(p, std::strlen(p));
    return true;
}

}  // namespace

std::uint64_t next_request_id() { return g_request_sequence.fetch_add(1, std::memory_order_relaxed); }

std::uint32_t version_code(int major, int minor) {
    if (major == 1 && minor == 0) return 1;
    if (major == 1 && minor == 1) return 2;
    return 3;
}

bool general_query_permission_array(const byte_string& host_name, const byte_string& address,
                                    i_connection_feedback* feedback, std::int32_t* permissions,
                                    std::uint64_t request_id, byte_string& text_out) {
    if (permissions)
        for (int i = 0; i < idx_count; ++i) permissions[i] = content_action_allow;
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) {
            ZEM_LOG(2, "ipc_permission_qualifier_t::general_query_permission_array: Failed to get from \""
                           << "zem_server"
                           << "\", initialized by default"
                           << "\n");
            return false;
        }
        message msg(324, feedback);
        msg.put_u64(28, request_id);
        msg.put_narrow_as_wide(36, host_name);
        msg.put_narrow_as_wide(52, address);
        msg.put_bytes(68, msg.info().address_b, sizeof msg.info().address_b);
        msg.put_bytes(196, msg.info().address_a, sizeof msg.info().address_a);
        zem::mem_slice reply;
        int rc = send_command(host, zem::codes::general_query_permission_array, &msg, reply);
        if (rc != 0) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE,
                          "ipc_permission_qualifier_t::general_query_permission_array: Failed to invoke_command, "
                          "return code= "
                              << rc);
            return false;
        }
        reply_view r(reply);
        wide_string text;
        if (r.size() < permission_reply_min || !r.wide_ref(88, 88, text)) {
            ZEM_LOG_ERROR(
                ZEM_IO_SOURCE,
                "ipc_permission_qualifier_t::general_query_permission_array: Wrong return data, size=" << r.size());
            return false;
        }
        if (permissions) {
            for (int i = 0; i < idx_count; ++i)
                permissions[i] = static_cast<std::int32_t>(r.u32(static_cast<std::size_t>(i) * 4));
            for (int i = idx_count; i < permission_array_words; ++i) permissions[i] = 0;
        }
        text_out = platform::wide_to_ansi(text);
        if (log_space::enabled(2)) {
            ZEM_LOG(2, "PERMISSION_ARRAY for host" << host_name << ":"
                                                   << "\n");
            for (int i = 0; i < idx_count; ++i)
                ZEM_LOG(2, "        PREMISSION:" << permission_index_name(i) << "\t\t\t "
                                                 << content_action_name(permissions ? permissions[i] : 0) << "\n");
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool do_learn_for_index(const byte_string& host_name, bool& current_allow_out, i_connection_feedback* feedback,
                        std::int32_t index, std::uint64_t request_id, std::int32_t& action_next_out) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(64, feedback);
        msg.put_u64(28, request_id);
        msg.put_narrow_as_wide(36, host_name);
        msg.put_u32(52, static_cast<std::uint32_t>(index));
        msg.put_u64(56, static_cast<std::uint64_t>(static_cast<std::int64_t>(msg.info().context)));
        zem::mem_slice reply;
        int rc = send_command(host, zem::codes::do_learn_for_index, &msg, reply);
        if (rc != 0) {
            ZEM_LOG_ERROR(
                ZEM_IO_SOURCE,
                "ipc_permission_qualifier_t::do_learn_for_index: Failed to invoke_command, return code= " << rc);
            return false;
        }
        reply_view r(reply);
        if (r.size() < learn_reply_min) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE, "io_type<>::do_learn_for_index: Wrong return data, size=" << r.size());
            return false;
        }
        std::uint8_t allow = r.u8(0);
        std::int32_t next = static_cast<std::int32_t>(r.u32(1));
        current_allow_out = allow != 0;
        action_next_out = next;
        ZEM_LOG(2, "LEARN RESPONSE: current_allow = " << static_cast<unsigned>(allow)
                                                      << " action_next=" << content_action_name(next) << "\n");
        return true;
    } catch (...) {
        return false;
    }
}

bool http_query_stop_words(wide_list& words_out) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        zem::mem_slice reply;
        int rc = send_command(host, zem::codes::http_query_stop_words, nullptr, reply);
        if (rc != 0) {
            ZEM_LOG_ERROR(
                ZEM_IO_SOURCE,
                "ipc_permission_qualifier_t::http_query_stop_words: Failed to invoke_command, return code= " << rc);
            return false;
        }
        reply_view r(reply);
        if (r.size() < stop_words_reply_min) return false;
        r.zero_tail(2);
        wide_list words;
        if (!read_word_list(r, r.u64(0), 8, false, words)) return false;
        words_out.swap(words);
        return true;
    } catch (...) {
        return false;
    }
}

bool http_query_ads_block_words(wide_list& words_out, std::uint8_t& list_flag_out) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        zem::mem_slice reply;
        int rc = send_command(host, zem::codes::http_query_ads_block_words, nullptr, reply);
        if (rc != 0) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE,
                          "ipc_permission_qualifier_t::http_query_ads_block_words: Failed to "
                          "invoke_command, return code= "
                              << rc);
            return false;
        }
        reply_view r(reply);
        wide_list words;
        bool ok = r.size() >= ads_words_reply_min;
        if (ok) {
            r.zero_tail(2);
            ok = read_word_list(r, r.u64(0), 9, true, words);
        }
        if (!ok) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE, "http_query_ads_block_words: Wrong return data, size=" << r.size());
            return false;
        }
        list_flag_out = r.u8(8);
        words_out.swap(words);
        return true;
    } catch (...) {
        return false;
    }
}

bool http_query_ads_block_sizes(size_list& sizes_out) {
    sizes_out.clear();
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        zem::mem_slice reply;
        int rc = send_command(host, zem::codes::http_query_ads_block_sizes, nullptr, reply);
        if (rc != 0) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE,
                          "ipc_permission_qualifier_t::http_query_ads_block_sizes: Failed to "
                          "invoke_command, return code= "
                              << rc);
            return false;
        }
        reply_view r(reply);
        if (r.size() < sizes_reply_min) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE, "http_query_ads_block_sizes: Wrong return data, size=" << r.size());
            return false;
        }
        const std::uint64_t count = r.u64(0);
        // A count whose expected size does not fit 64 bits is reported with
        // the largest value; such a reply is short whatever its size.
        const std::uint64_t max_count = (UINT64_MAX - 16) / 8;
        const std::uint64_t expected = count > max_count ? UINT64_MAX : 16 + 8 * count;
        if (r.size() != expected) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE,
                          "http_query_ads_block_sizes: Wrong return data, (exact size mismatch )size "
                          "returned="
                              << r.size() << " expected size=" << expected << " Element size =" << 8
                              << " Struct Size= " << 16);
            if (r.size() < expected) return false;
        }
        size_list sizes;
        for (std::uint64_t i = 0; i < count; ++i) {
            std::size_t at = 8 + static_cast<std::size_t>(i) * 8;
            sizes.emplace_back(r.u32(at), r.u32(at + 4));
        }
        if (log_space::enabled(2)) {
            ZEM_LOG(2, "BLOCK_SIZE_ARRAY:"
                           << "\n");
            std::size_t i = 0;
            for (const auto& s : sizes) {
                ZEM_LOG(2, "cnt:" << i << "\t\t" << s.first << " x " << s.second << "\n");
                ++i;
            }
        }
        sizes_out.swap(sizes);
        return true;
    } catch (...) {
        sizes_out.clear();
        return false;
    }
}

bool http_query_block_message_html(byte_string& text_out) {
    try {
        return query_narrow_text(zem::codes::http_query_block_message_html,
                                 "ipc_permission_qualifier_t::http_query_block_messahe_html: Failed to "
                                 "invoke_command, return code= ",
                                 "http_query_block_message_html: Wrong return data, size=", text_out);
    } catch (...) {
        return false;
    }
}

bool http_query_transparent_gif(byte_string& text_out) {
    try {
        return query_narrow_text(zem::codes::http_query_transparent_gif,
                                 "ipc_permission_qualifier_t::http_query_transparent_gif: Failed to invoke_command, "
                                 "return code= ",
                                 "http_query_transparent_gif: Wrong return data, size=", text_out);
    } catch (...) {
        return false;
    }
}

bool firewall_allow_connection(i_connection_feedback* feedback, std::uint32_t address, std::uint32_t port) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(36, feedback);
        msg.put_u32(28, address);
        msg.put_u32(32, port);
        zem::mem_slice reply;
        int rc = send_command(host, zem::codes::firewall_allow_connection, &msg, reply);
        if (rc != 0) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE,
                          "ipc_permission_qualifier_t::firewall_allow_connection: Failed to "
                          "invoke_command, return code= "
                              << rc);
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool http_check_script(byte_string& script, i_connection_feedback* feedback, std::uint64_t request_id) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(52, feedback);
        msg.put_u64(28, request_id);
        // The host reads the script in place during the call.
        msg.put_u64(36, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(script.data())));
        msg.put_u64(44, script.size());
        zem::mem_slice reply;
        int rc = send_command(host, zem::codes::http_check_script, &msg, reply);
        if (rc != 0) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE, "io_type::http_check_script: Failed to invoke_command, return code= " << rc);
            return false;
        }
        reply_view r(reply);
        if (r.size() < script_reply_min) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE, "http_check_script: Wrong return data, size=" << r.size());
            return false;
        }
        if (r.u8(0) == 0) return true;
        std::uint32_t off = r.u32(1), len = r.u32(5);
        std::string replacement;
        if (off != 0 && len != 0 && !r.span(off, len, replacement)) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE, "http_check_script: Wrong return data, size=" << r.size());
            return false;
        }
        script.swap(replacement);
        return true;
    } catch (...) {
        return false;
    }
}

bool http_check_script(wide_string& script, i_connection_feedback* feedback, std::uint64_t request_id) {
    try {
        byte_string narrow = platform::wide_to_ansi(script);
        byte_string checked = narrow;
        if (!http_check_script(checked, feedback, request_id)) return false;
        // Only a replaced script comes back through the code page, so that
        // text the code page cannot hold survives an unchanged verdict.
        if (checked != narrow) script = platform::ansi_to_wide(checked);
        return true;
    } catch (...) {
        return false;
    }
}

bool general_query_config_cookie(config_cookie& cookie_out) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) {
            ZEM_LOG(2, "ipc_permission_qualifier_t::general_query_config_cookie: Failed to get from \""
                           << "zem_server"
                           << "\", initialized by default"
                           << "\n");
            return false;
        }
        zem::mem_slice reply;
        int rc = send_command(host, zem::codes::general_query_config_cookie, nullptr, reply);
        if (rc != 0) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE,
                          "ipc_permission_qualifier_t::general_query_config_cookie: Failed to "
                          "invoke_command, return code= "
                              << rc);
            return false;
        }
        reply_view r(reply);
        if (r.size() < cookie_reply_min) {
            ZEM_LOG_ERROR(
                ZEM_IO_SOURCE,
                "ipc_permission_qualifier_t::general_query_config_cookie: Wrong return data, size=" << r.size());
            return false;
        }
        std::memcpy(cookie_out.bytes, r.at(0), sizeof cookie_out.bytes);
        return true;
    } catch (...) {
        return false;
    }
}

// Notifications. A refused one is logged (except the log line itself, whose
// failure must not produce another line for the host).

bool general_notify_log_line(const byte_string& text, const char* file_name) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(60, nullptr);
        msg.put_narrow(28, byte_string(text.c_str()));
        if (file_name) msg.put_narrow(44, byte_string(file_name));
        return send_notification(host, zem::codes::general_notify_log_line, msg);
    } catch (...) {
        return false;
    }
}

bool general_notify_log_line(i_connection_feedback* feedback, const byte_string& text) {
    try {
        zem::i_external_iface* host = host_iface();
        if (!host) return false;
        message msg(60, feedback);
        msg.put_narrow(28, byte_string(text.c_str()));
        return send_notification(host, zem::codes::general_notify_log_line, msg);
    } catch (...) {
        return false;
    }
}

namespace {
bool deliver(zem::i_external_iface* host, int code, message& msg, const char* name) {
    if (send_notification(host, code, msg)) return true;
    ZEM_LOG_ERROR(ZEM_IO_SOURCE, "zem_io_commands<>::" << name << ": Failed to notify_event");
    return false;
}
}  // namespace

bool general_notify_transfer_progress(i_connection_feedback* feedback, std::uint64_t request_id,
                                      std::uint64_t transferred) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(44, feedback);
        msg.put_u64(28, request_id);
        msg.put_u64(36, transferred);
        return deliver(host, zem::codes::general_notify_transfer_progress, msg, "http_notify_mail_message_info");
    } catch (...) {
        return false;
    }
}

bool general_notify_transfer_complete(i_connection_feedback* feedback, std::uint64_t request_id,
                                      std::uint64_t transferred, std::uint32_t status) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(48, feedback);
        msg.put_u64(28, request_id);
        msg.put_u64(36, transferred);
        msg.put_u32(44, status);
        return deliver(host, zem::codes::general_notify_transfer_complete, msg, "http_notify_mail_message_info");
    } catch (...) {
        return false;
    }
}

bool http_notify_request(i_connection_feedback* feedback, std::uint64_t request_id, std::uint32_t version,
                         const wide_string& host_name, const wide_string& uri) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(72, feedback);
        msg.put_u64(28, request_id);
        msg.put_u32(36, version);
        msg.put_wide(40, host_name);
        msg.put_wide(56, uri);
        return deliver(host, zem::codes::http_notify_request, msg, "http_notify_request");
    } catch (...) {
        return false;
    }
}

bool http_notify_response(i_connection_feedback* feedback, std::uint64_t request_id, std::uint32_t version,
                          const byte_string& content_type, std::uint64_t content_length, std::int64_t status,
                          const byte_string& content_encoding, const byte_string& transfer_encoding) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(104, feedback);
        msg.put_u64(28, request_id);
        msg.put_u32(36, version);
        msg.put_narrow(40, content_type);
        msg.put_u64(56, content_length);
        msg.put_u64(64, static_cast<std::uint64_t>(status));
        msg.put_narrow(72, content_encoding);
        msg.put_narrow(88, transfer_encoding);
        return deliver(host, zem::codes::http_notify_response, msg, "http_notify_response");
    } catch (...) {
        return false;
    }
}

bool general_notify_object_blocked(i_connection_feedback* feedback, std::uint64_t request_id, std::uint64_t count,
                                   std::uint32_t index, const wide_string& text, const byte_string& keyword,
                                   const byte_string& address) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(100, feedback);
        msg.put_u64(28, request_id);
        msg.put_u64(36, count);
        msg.put_u32(44, index);
        msg.put_u32(48, 1);
        msg.put_wide(52, text);
        msg.put_narrow(68, keyword);
        msg.put_narrow(84, address);
        return deliver(host, zem::codes::general_notify_object_blocked, msg, "general_notify_object_blocked");
    } catch (...) {
        return false;
    }
}

bool general_notify_object_blocked(i_connection_feedback* feedback, std::uint64_t request_id, std::uint64_t count,
                                   std::uint32_t index, const byte_string& text, const byte_string& keyword,
                                   const byte_string& address) {
    try {
        {
            const host_call call;
            if (!call.host()) return false;
        }
        return general_notify_object_blocked(feedback, request_id, count, index, platform::ansi_to_wide(text), keyword,
                                             address);
    } catch (...) {
        return false;
    }
}

bool general_notify_stopword_blocked(i_connection_feedback* feedback, std::uint64_t request_id,
                                     const byte_string& host_name, const byte_string& address,
                                     const wide_string& stop_word) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(84, feedback);
        msg.put_u64(28, request_id);
        msg.put_narrow_as_wide(36, host_name);
        msg.put_narrow_as_wide(52, address);
        msg.put_wide(68, stop_word);
        return deliver(host, zem::codes::general_notify_stopword_blocked, msg, "general_notify_stopword_blocked");
    } catch (...) {
        return false;
    }
}

}  // namespace zem_io_commands
