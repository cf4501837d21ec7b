// Load hook of zem_net.dll. The loader lock is held here: the load work only
// writes the log line and installs the host log stream (no threads, no
// waiting on other modules).
#include <windows.h>

#include "module/load_hook.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        try {
            module::on_library_load();
        } catch (...) {
            // The load itself always succeeds; a log that cannot start is
            // no reason to refuse the library.
        }
    }
    return TRUE;
}
