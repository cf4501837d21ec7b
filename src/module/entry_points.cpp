// The exported C entry points and the library load hook.
#include <new>

#include "capture/replay.h"
#include "core/bunch_filter.h"
#include "host/host_link.h"
#include "log/log.h"
#include "module/chain_factory.h"
#include "module/export.h"
#include "zem/zem.h"

ZEM_EXPORT unsigned char initialize(zem::i_external_iface* host) {
    zem_io_commands::set_host_iface(host);
    return 1;
}

ZEM_EXPORT void deinitialize() { zem_io_commands::set_host_iface(nullptr); }

ZEM_EXPORT zem::i_filt_point* create_filt_point(zem::i_provider* provider, int context) {
    if (!provider) return nullptr;
    try {
        return new bunch_filter(provider, context, &module::build_configured_chain);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

ZEM_EXPORT bool execute_dbg_task() {
    try {
        return capture::run_dbg_task(&create_filt_point, capture::dbg_task_file());
    } catch (...) {
        return false;
    }
}
