// The exported C entry points and the library load hook.
#include <new>

#include "capture/replay.h"
#include "capture/self_test.h"
#include "core/bunch_filter.h"
#include "host/host_link.h"
#include "log/log.h"
#include "module/chain_factory.h"
#include "module/export.h"
#include "platform/process.h"
#include "zem/zem.h"

ZEM_EXPORT unsigned char initialize(zem::i_external_iface* host) {
    zem_io_commands::set_host_iface(host);
    return 1;
}

// Returns once no host call of another thread is under way, so that the host
// may let its interface go as soon as this returns.
ZEM_EXPORT void deinitialize() { zem_io_commands::withdraw_host_iface(); }

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

ZEM_EXPORT bool execute_unit_test() {
    bool ok = false;
    try {
        ok = capture::run_unit_test(capture::self_test_root(), capture::self_test_hooks{module::web_handler_hooks(),
                                                                                        module::mail_checker_hooks()});
    } catch (...) {
        ok = false;
    }
    // Lets a person read the console before it goes; never blocks a run
    // without a terminal.
    platform::wait_for_console_key();
    return ok;
}
