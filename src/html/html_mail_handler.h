#pragma once
// The HTML filter as a mail checker: an HTML mail body runs through the same
// parser and rules as a web page, under the pseudo-host "mail", with a
// qualifier of its own on the session's feedback.
#include <memory>

#include "host/ipc_permission_qualifier.h"
#include "host/mail_handler.h"
#include "html/html_stream_filter.h"

namespace html {

template <class S>
class html_stream_parser_mail_handler;

template <>
class html_stream_parser_mail_handler<byte_string> : public mail::i_mail_handler, public html_stream_filter<char> {
public:
    explicit html_stream_parser_mail_handler(i_connection_feedback* feedback);
    bool update(byte_string& data, unsigned* released, mail::mail_info_summary* summary) override;
    std::int32_t stop(byte_string& data) override;
    // Each checked body starts from a fresh parser state (a stop word in one
    // message must not blank the next one).
    std::int32_t stop_and_check(byte_string& data, bool* stopped, mail::mail_info_summary* summary) override;

private:
    std::unique_ptr<zem_io_commands::ipc_permission_qualifier> m_qualifier;
};

using mail_html_handler = html_stream_parser_mail_handler<byte_string>;

// What the mail filter is handed to build its HTML checker.
std::shared_ptr<mail::i_mail_handler> make_mail_html_checker(i_connection_feedback* feedback);

}  // namespace html
