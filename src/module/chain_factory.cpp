#include "module/chain_factory.h"

#include <memory>

#include "http/http_stream_filter.h"

namespace module {

void build_chain(const config::net_config& cfg, i_connection_feedback* feedback, filter_chain& chain) {
    // Filters are appended in the fixed order: recorder before, mail
    // protocols, http, ftp, ssl, recorder after. Each joins as it lands.
    if (cfg.enable_http) chain.push_back(std::make_shared<http_stream_filter>(feedback));
}

void build_configured_chain(i_connection_feedback* feedback, filter_chain& chain) {
    build_chain(config::read_net_config(), feedback, chain);
}

}  // namespace module
