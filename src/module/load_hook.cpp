// Work done when the process loads the shared library (only there: the
// static library used by tests has no load hook of its own).
#include "module/load_hook.h"

#include "host/ipc_logger.h"
#include "log/log.h"
#include "match/ads_matcher.h"

namespace module {
void on_library_load() {
    platform::last_error_guard guard;
    ZEM_LOG_TO(0, "zem_net.log", "DLL loading, BUILD: " << log_space::build_number << "\n");
    log_space::install_ipc_logger();
    zem_io_commands::set_ad_link_checker(&ads_matcher::checker());
}
}  // namespace module
