#pragma once
// The one place that knows every stream filter: builds a connection's chain
// from the configuration read for it.
#include "core/bunch_filter.h"
#include "core/configuration.h"

namespace module {

// The names of the filters a chain built from 'cfg' holds, in order; lets
// tests and diagnostics see the chain without knowing the filter types.
void build_chain(const config::net_config& cfg, i_connection_feedback* feedback, filter_chain& chain);

// Reads the configuration and builds; what create_filt_point hands over.
void build_configured_chain(i_connection_feedback* feedback, filter_chain& chain);

}  // namespace module
