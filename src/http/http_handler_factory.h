#pragma once
// Where the HTTP filter gets the handlers of a response body chain. Every
// slot is a function, so that the classes behind them (HTML parsers, script
// filter, GIF filter, decoders, charset adapters, the connection's qualifier)
// are chosen in one place: default_http_handler_hooks(). Tests hand the
// filter their own hooks. A slot that is empty, or that returns null, falls
// back to a harmless choice, stated per slot below.
#include <functional>
#include <memory>

#include "core/interfaces.h"
#include "core/strings.h"
#include "host/permission_qualifier.h"

// What a decoder sees of the HTTP filter that owns it.
class http_body_owner {
public:
    // The decoded body goes here: the encoding sniffer and then the content
    // handler of this response. Lives as long as the response.
    virtual std::shared_ptr<i_sub_handler> decoded_target() = 0;
    // The compressed stream ended: a length-delimited body is complete now,
    // whatever length its header announced.
    virtual void set_handler_finished() = 0;
    // Host name of the request being answered, for log lines.
    virtual byte_string current_host() const = 0;

protected:
    ~http_body_owner() = default;
};

// A handler with the per-document hooks the HTML and script filters need.
struct http_content_slot {
    std::shared_ptr<i_sub_handler> handler;
    std::function<void()> reset_document;                      // may be empty
    std::function<void(const byte_string&)> set_page_address;  // may be empty
};

// A decoder and, when it hands out its output in bounded parts, the question
// whether more is waiting (pulled with update_in on an empty piece).
struct http_decoder_slot {
    std::shared_ptr<i_sub_handler> handler;
    std::function<bool()> has_pending_output;  // may be empty
};

struct http_handler_hooks {
    // 8-bit HTML, UTF-16LE HTML, scripts served alone. Null: pass-through.
    std::function<http_content_slot(host_permission_qualifier*, i_connection_feedback*)> html;
    std::function<http_content_slot(host_permission_qualifier*, i_connection_feedback*)> wide_html;
    std::function<http_content_slot(host_permission_qualifier*, i_connection_feedback*)> script;
    // GIF filter, created at the first GIF response of a connection with that
    // response's page address. Null: pass-through.
    std::function<std::shared_ptr<i_sub_handler>(host_permission_qualifier*, const byte_string& page_address,
                                                 i_connection_feedback*)>
        gif;
    // gzip / deflate decoder. Null handler: the body is not decoded and keeps
    // its Content-Encoding line.
    std::function<http_decoder_slot(http_body_owner*, bool deflate)> decoder;
    // UTF-7 text in front of the wide HTML handler, re-encoded to UTF-8
    // (to_utf8) or UTF-7. Null: the content handler stays as chosen.
    std::function<std::shared_ptr<i_sub_handler>(i_sub_handler* wide_target, bool to_utf8)> utf7;
    // UTF-16 big-endian in front of the wide HTML handler. Null: the body
    // passes unfiltered.
    std::function<std::shared_ptr<i_sub_handler>(i_sub_handler* wide_target)> utf16be;
    // The connection's policy object. Null: everything allowed.
    std::function<std::shared_ptr<host_permission_qualifier>(i_connection_feedback*)> qualifier;
};

// The engine's own choice of handlers: the one place to plug a class in.
http_handler_hooks default_http_handler_hooks();
