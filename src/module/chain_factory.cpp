#include "module/chain_factory.h"

#include <memory>

#include "capture/path_through_stream_filter.h"
#include "ftp/ftp_stream_filter.h"
#include "html/html_mail_handler.h"
#include "html/html_sub_handlers.h"
#include "http/http_handler_factory.h"
#include "http/http_stream_filter.h"
#include "mail/protocols/imap_stream_filter.h"
#include "mail/protocols/nntp_stream_filter.h"
#include "mail/protocols/pop3_stream_filter.h"
#include "mail/protocols/smtp_stream_filter.h"
#include "match/ads_matcher.h"
#include "ssl/ssl_stream_filter.h"

namespace module {

http_handler_hooks web_handler_hooks() {
    http_handler_hooks h = default_http_handler_hooks();
    h.html = [](host_permission_qualifier* qualifier, i_connection_feedback* feedback) {
        auto p = std::make_shared<html::narrow_html_sub_handler>(qualifier, feedback);
        html::narrow_html_sub_handler* raw = p.get();
        return http_content_slot{p, [raw] { raw->reset(); },
                                 [raw](const byte_string& a) { raw->set_document_address(a); }};
    };
    h.wide_html = [](host_permission_qualifier* qualifier, i_connection_feedback* feedback) {
        auto p = std::make_shared<html::wide_html_sub_handler>(qualifier, feedback);
        html::wide_html_sub_handler* raw = p.get();
        return http_content_slot{p, [raw] { raw->reset(); },
                                 [raw](const byte_string& a) { raw->set_document_address(a); }};
    };
    h.script = [](host_permission_qualifier* qualifier, i_connection_feedback* feedback) {
        return http_content_slot{std::make_shared<html::java_parser_sub_handler>(qualifier, feedback), {}, {}};
    };
    return h;
}

mail::mail_handler_hooks mail_checker_hooks() {
    mail::mail_handler_hooks h;
    h.html = [](i_connection_feedback* feedback) { return html::make_mail_html_checker(feedback); };
    return h;
}

void build_chain(const config::net_config& cfg, i_connection_feedback* feedback, filter_chain& chain) {
    // The qualifiers of this connection ask the process-wide matcher.
    zem_io_commands::set_ad_link_checker(&ads_matcher::checker());
    // Fixed order: recorder before, mail protocols, http, ftp, ssl, recorder
    // after. Filters not built yet are simply absent.
    const bool record = !cfg.dumps_path.empty();
    if (record) chain.push_back(std::make_shared<capture::before_recorder>(feedback, cfg.dumps_path));
    if (cfg.enable_mail) chain.push_back(std::make_shared<mail::pop3_stream_filter>(feedback, mail_checker_hooks()));
    if (cfg.enable_mail) chain.push_back(std::make_shared<mail::smtp_stream_filter>(feedback, mail_checker_hooks()));
    if (cfg.enable_mail) chain.push_back(std::make_shared<nntp_stream_filter>(feedback, mail_checker_hooks()));
    if (cfg.enable_mail) chain.push_back(std::make_shared<imap_stream_filter>(feedback, mail_checker_hooks()));
    if (cfg.enable_http) chain.push_back(std::make_shared<http_stream_filter>(feedback, web_handler_hooks()));
    if (cfg.enable_ftp) chain.push_back(std::make_shared<ftp_stream_filter>(feedback));
    if (cfg.enable_ssl) chain.push_back(std::make_shared<ssl_stream_filter>());
    if (record) chain.push_back(std::make_shared<capture::after_recorder>(feedback, cfg.dumps_path));
}

void build_configured_chain(i_connection_feedback* feedback, filter_chain& chain) {
    build_chain(config::read_net_config(), feedback, chain);
}

}  // namespace module
