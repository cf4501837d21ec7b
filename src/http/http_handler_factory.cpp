#include "http/http_handler_factory.h"

#include "host/ipc_permission_qualifier.h"
#include "http/content_encoding_gzip.h"
#include "http/gif_filter.h"
#include "http/http_charset_encoding.h"

namespace {

http_content_slot pass_through_slot(host_permission_qualifier*, i_connection_feedback*) {
    return http_content_slot{std::make_shared<do_nothing_sub_handler>(), {}, {}};
}

}  // namespace

http_handler_hooks default_http_handler_hooks() {
    http_handler_hooks h;
    // The HTML parsers and the script filter join here as they land; until
    // then their slots pass the body through unchanged (the body is still
    // held and re-framed, so routing and length fixing are exercised).
    h.html = pass_through_slot;
    h.wide_html = pass_through_slot;
    h.script = pass_through_slot;
    h.gif = [](host_permission_qualifier* q, const byte_string& page, i_connection_feedback* feedback) {
        return std::shared_ptr<i_sub_handler>(std::make_shared<gif_filter>(q, page, feedback));
    };
    h.decoder = [](http_body_owner* owner, bool deflate) {
        auto d = std::make_shared<content_encoding_gzip>(
            deflate, owner->decoded_target(), [owner] { owner->set_handler_finished(); }, owner->current_host());
        // Decoded text goes on in parts of a megabyte: a highly compressed
        // body never passes through the handlers as one huge string.
        d->set_output_bound(std::size_t(1) << 20);
        content_encoding_gzip* raw = d.get();
        return http_decoder_slot{d, [raw] { return raw->has_pending_output(); }};
    };
    h.utf7 = [](i_sub_handler* target, bool to_utf8) {
        return std::shared_ptr<i_sub_handler>(std::make_shared<http_charset_utf7_encoder>(target, to_utf8));
    };
    h.utf16be = [](i_sub_handler* target) {
        return std::shared_ptr<i_sub_handler>(std::make_shared<big_endian_to_little_endian>(target));
    };
    h.qualifier = [](i_connection_feedback* feedback) {
        return std::shared_ptr<host_permission_qualifier>(
            std::make_shared<zem_io_commands::ipc_permission_qualifier>(feedback));
    };
    return h;
}
