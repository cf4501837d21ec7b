#include "html/html_mail_handler.h"

namespace html {

namespace {
const byte_string mail_host = "mail";
}

html_stream_parser_mail_handler<byte_string>::html_stream_parser_mail_handler(i_connection_feedback* feedback)
    : html_stream_filter<char>(feedback),
      m_qualifier(std::make_unique<zem_io_commands::ipc_permission_qualifier>(feedback)) {
    set_qualifier(m_qualifier.get());
    m_qualifier->set_request(mail_host, mail_host, 0);
    set_page_address(mail_host);
}

bool html_stream_parser_mail_handler<byte_string>::update(byte_string& data, unsigned* released,
                                                          mail::mail_info_summary* summary) {
    m_qualifier->set_request(mail_host, mail_host, summary ? summary->object_id : 0);
    const std::size_t keep = released ? std::min<std::size_t>(*released, data.size()) : 0;
    bool ok;
    if (keep != 0) {
        byte_string rest(data, keep);
        data.resize(keep);
        ok = html_stream_filter<char>::update(rest);
        data += rest;
    } else {
        ok = html_stream_filter<char>::update(data);
    }
    if (released) *released = static_cast<unsigned>(data.size());
    return ok;
}

std::int32_t html_stream_parser_mail_handler<byte_string>::stop(byte_string& data) {
    byte_string rest;
    html_stream_filter<char>::stop(rest);
    data += rest;
    return mail_action_leave;
}

std::int32_t html_stream_parser_mail_handler<byte_string>::stop_and_check(byte_string& data, bool* stopped,
                                                                          mail::mail_info_summary* summary) {
    reset();
    return i_mail_handler::stop_and_check(data, stopped, summary);
}

std::shared_ptr<mail::i_mail_handler> make_mail_html_checker(i_connection_feedback* feedback) {
    return std::make_shared<mail_html_handler>(feedback);
}

}  // namespace html
