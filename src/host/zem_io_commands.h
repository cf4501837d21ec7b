#pragma once
// Command and notification wrappers of the host channel. Each builds its
// message in a mem_slice, sends it through the host interface on the channel
// GUID, decodes the reply with bounds checks, and never throws. Commands
// return true on success; notifications return true when delivered.
#include <cstddef>
#include <cstdint>
#include <list>
#include <utility>

#include "core/interfaces.h"
#include "core/strings.h"

namespace zem_io_commands {

using size_list = std::list<std::pair<std::uint32_t, std::uint32_t>>;
using wide_list = std::list<wide_string>;
// The text a word list reply (stop words, advertisement words) may decode
// to, in UTF-16 bytes, when the reply itself is smaller: entries may share
// one string, so a small reply could otherwise expand without bound.
constexpr std::size_t word_list_max_bytes = std::size_t(8) << 20;

struct config_cookie {
    unsigned char bytes[16] = {};
};

// Process-wide id sequences, safe to advance from any thread.
std::uint64_t next_request_id();

// version_code of an HTTP version: 1.0 -> 1, 1.1 -> 2, anything else -> 3.
std::uint32_t version_code(int major, int minor);

bool general_query_permission_array(const byte_string& host, const byte_string& address,
                                    i_connection_feedback* feedback, std::int32_t* permissions,
                                    std::uint64_t request_id, byte_string& text_out);
bool do_learn_for_index(const byte_string& host, bool& current_allow_out, i_connection_feedback* feedback,
                        std::int32_t index, std::uint64_t request_id, std::int32_t& action_next_out);
bool http_query_stop_words(wide_list& words_out);
bool http_query_ads_block_words(wide_list& words_out, std::uint8_t& list_flag_out);
bool http_query_ads_block_sizes(size_list& sizes_out);
bool http_query_block_message_html(byte_string& text_out);
bool http_query_transparent_gif(byte_string& text_out);
bool firewall_allow_connection(i_connection_feedback* feedback, std::uint32_t address, std::uint32_t port);
bool http_check_script(byte_string& script, i_connection_feedback* feedback, std::uint64_t request_id);
bool http_check_script(wide_string& script, i_connection_feedback* feedback, std::uint64_t request_id);
bool general_query_config_cookie(config_cookie& cookie_out);

bool general_notify_log_line(const byte_string& text, const char* file_name);
// A log line about one connection: its header carries the connection's
// identity words, so the host can tell which session the line is about.
bool general_notify_log_line(i_connection_feedback* feedback, const byte_string& text);
bool general_notify_transfer_progress(i_connection_feedback* feedback, std::uint64_t request_id,
                                      std::uint64_t transferred);
bool general_notify_transfer_complete(i_connection_feedback* feedback, std::uint64_t request_id,
                                      std::uint64_t transferred, std::uint32_t status);
bool http_notify_request(i_connection_feedback* feedback, std::uint64_t request_id, std::uint32_t version_code,
                         const wide_string& host, const wide_string& uri);
bool http_notify_response(i_connection_feedback* feedback, std::uint64_t request_id, std::uint32_t version_code,
                          const byte_string& content_type, std::uint64_t content_length, std::int64_t status,
                          const byte_string& content_encoding, const byte_string& transfer_encoding);
bool general_notify_object_blocked(i_connection_feedback* feedback, std::uint64_t request_id, std::uint64_t count,
                                   std::uint32_t index, const wide_string& text, const byte_string& keyword,
                                   const byte_string& address);
// The same with text in the ANSI code page, converted only when a host is
// there to be told.
bool general_notify_object_blocked(i_connection_feedback* feedback, std::uint64_t request_id, std::uint64_t count,
                                   std::uint32_t index, const byte_string& text, const byte_string& keyword,
                                   const byte_string& address);
bool general_notify_stopword_blocked(i_connection_feedback* feedback, std::uint64_t request_id, const byte_string& host,
                                     const byte_string& address, const wide_string& stop_word);
// The mail commands and notifications (mail_check_mail_attach,
// http_notify_mail_message_start, http_notify_mail_message_info,
// mail_notify_mail_attach, next_mail_message_id) are declared in
// host/mail_commands.h together with the message summary they carry.

}  // namespace zem_io_commands
