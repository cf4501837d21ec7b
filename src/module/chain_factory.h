#pragma once
// The one place that knows every stream filter: builds a connection's chain
// from the configuration read for it.
#include "core/bunch_filter.h"
#include "core/configuration.h"
#include "http/http_handler_factory.h"
#include "mail/mail_filter.h"

namespace module {

// The web filter's content handlers: the HTML parsers and the script filter
// in their slots, beside the decoders the web filter knows itself.
http_handler_hooks web_handler_hooks();

// The mail filter's HTML checker: the HTML filter's mail handler.
mail::mail_handler_hooks mail_checker_hooks();

// Appends the stream filters 'cfg' enables, in chain order.
void build_chain(const config::net_config& cfg, i_connection_feedback* feedback, filter_chain& chain);

// Reads the configuration and builds; what create_filt_point hands over.
void build_configured_chain(i_connection_feedback* feedback, filter_chain& chain);

}  // namespace module
