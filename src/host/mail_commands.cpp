#include "host/mail_commands.h"

#include <atomic>

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
std::atomic<std::uint64_t> g_mail_message_id{1};
constexpr std::size_t attach_reply_min = 28;

bool deliver(zem::i_external_iface* host, int code, message& msg, const char* name) {
    zem::mem_slice data;
    if (msg.build(data) && wire::notify(host, code, &data)) return true;
    ZEM_LOG_ERROR(ZEM_IO_SOURCE, "zem_io_commands<>::" << name << ": Failed to notify_event");
    return false;
}
}  // namespace

std::uint64_t next_mail_message_id() { return g_mail_message_id.fetch_add(1, std::memory_order_relaxed); }

bool mail_check_mail_attach(i_connection_feedback* feedback, byte_string& body, mail::mail_info_summary& summary,
                            std::int32_t& action_out) {
    action_out = mail_action_leave;
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(132, feedback);
        msg.put_u64(28, summary.object_id);
        msg.put_u64(36, summary.message_id);
        // The host reads the body in place during the call.
        msg.put_u64(44, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(body.data())));
        msg.put_u64(52, body.size());
        msg.put_wide(60, summary.object_name);
        msg.put_wide(76, summary.from);
        msg.put_wide(92, summary.to);
        msg.put_wide(108, summary.subject);
        msg.put_u32(124, summary.source_protocol);
        msg.put_u32(128, summary.outgoing);
        const byte_string name = platform::wide_to_ansi(summary.object_name);
        const byte_string from = platform::wide_to_ansi(summary.from);
        ZEM_LOG(1, "Attach" << name << " from " << from << " cheking..."
                            << "\n");
        zem::mem_slice request, reply;
        if (!msg.build(request)) return false;
        int rc = wire::invoke(host, zem::codes::mail_check_mail_attach, &request, &reply);
        if (rc != 0) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE,
                          "io_type<>::mail_check_mail_attach: Failed to invoke_command, return code= " << rc);
            return false;
        }
        reply_view r(reply);
        wide_string new_name;
        std::string new_body;
        std::int32_t action = 0;
        std::uint32_t body_off = 0, body_len = 0;
        bool ok = r.size() >= attach_reply_min && r.wide_ref(4, 4, new_name);
        if (ok) {
            action = static_cast<std::int32_t>(r.u32(0));
            body_off = r.u32(20);
            body_len = r.u32(24);
            if (action == mail_action_replace && body_off != 0 && body_len != 0)
                ok = r.span(body_off, body_len, new_body);
        }
        if (!ok) {
            ZEM_LOG_ERROR(ZEM_IO_SOURCE, "io_type<>::mail_check_mail_attach: Wrong return data, size=" << r.size());
            return false;
        }
        action_out = action;
        if (action == mail_action_replace && body_off != 0 && body_len != 0) body.swap(new_body);
        summary.object_name.swap(new_name);
        ZEM_LOG(1, "Attach" << name << " from " << from << " cheked OK. action=" << mail_action_name(action)
                            << " new_file_body_cb=" << body_len << " new_file_body_offset=" << body_off << "\n");
        return true;
    } catch (...) {
        return false;
    }
}

bool http_notify_mail_message_start(i_connection_feedback* feedback, std::uint64_t message_id) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(36, feedback);
        msg.put_u64(28, message_id);
        return deliver(host, zem::codes::http_notify_mail_message_start, msg, "http_notify_mail_message_start");
    } catch (...) {
        return false;
    }
}

bool http_notify_mail_message_info(i_connection_feedback* feedback, const mail::mail_info_summary& summary) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(124, feedback);
        msg.put_u64(28, summary.message_id);
        msg.put_u32(36, summary.source_protocol);
        msg.put_u32(40, summary.outgoing);
        msg.put_wide(44, summary.from);
        msg.put_wide(60, summary.to);
        msg.put_wide(76, summary.cc);
        // +92 stays an empty reference.
        msg.put_wide(108, summary.subject);
        return deliver(host, zem::codes::http_notify_mail_message_info, msg, "http_notify_mail_message_info");
    } catch (...) {
        return false;
    }
}

bool mail_notify_mail_attach(i_connection_feedback* feedback, std::uint64_t object_id, std::uint64_t message_id,
                             const wide_string& object_name) {
    try {
        const host_call call;
        zem::i_external_iface* host = call.host();
        if (!host) return false;
        message msg(60, feedback);
        msg.put_u64(28, object_id);
        msg.put_u64(36, message_id);
        msg.put_wide(44, object_name);
        return deliver(host, zem::codes::mail_notify_mail_attach, msg, "mail_notify_mail_attach");
    } catch (...) {
        return false;
    }
}

}  // namespace zem_io_commands
