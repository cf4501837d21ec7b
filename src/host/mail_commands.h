#pragma once
// The mail side of the host channel: the per-session message summary that the
// mail filters fill in, the attachment verdict command and the mail
// notifications, and the process-wide message id counter.
#include <cstdint>

#include "core/interfaces.h"
#include "core/strings.h"

namespace mail {

// Source protocols as the host numbers them.
enum source_protocol : std::uint32_t {
    source_smtp = 0,
    source_pop3 = 1,
    source_imap = 2,
    source_nntp = 3,
};

// One per protocol session; the mail filter writes the header fields of the
// message it is parsing, the attachment checker the object being checked.
struct mail_info_summary {
    wide_string from;
    wide_string to;
    wide_string cc;
    wide_string subject;
    std::uint32_t outgoing = 0;
    std::uint32_t source_protocol = source_pop3;
    std::uint32_t code_page = 0;
    wide_string object_name;
    byte_string replacement_name;
    std::uint64_t message_id = 0;
    std::uint64_t object_id = 0;
    i_connection_feedback* feedback = nullptr;
};

}  // namespace mail

namespace zem_io_commands {

// Returns the current value and advances; starts at 1. Any thread.
std::uint64_t next_mail_message_id();

// Asks the host for a verdict on an attachment. action_out is preset to
// mail_action_leave. For mail_action_replace with a new body in the reply,
// body is replaced; the summary's object name always takes the name the
// host returned (empty when it returned none).
bool mail_check_mail_attach(i_connection_feedback* feedback, byte_string& body, mail::mail_info_summary& summary,
                            std::int32_t& action_out);

bool http_notify_mail_message_start(i_connection_feedback* feedback, std::uint64_t message_id);
bool http_notify_mail_message_info(i_connection_feedback* feedback, const mail::mail_info_summary& summary);
// object_id is the fresh id the caller took from next_mail_message_id.
bool mail_notify_mail_attach(i_connection_feedback* feedback, std::uint64_t object_id, std::uint64_t message_id,
                             const wide_string& object_name);

}  // namespace zem_io_commands
