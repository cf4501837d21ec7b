#include "host/ipc_logger.h"

#include <memory>

#include "host/zem_io_commands.h"

namespace log_space {

namespace {
// A host that logs back into the engine while it handles a line must not
// send us round in circles.
thread_local bool t_sending = false;

struct sending_scope {
    sending_scope() { t_sending = true; }
    ~sending_scope() { t_sending = false; }
};
}  // namespace

bool ipc_logger::write(const char* text, int length, const char* file_name) {
    if (t_sending || !text || length < 0) return false;
    platform::last_error_guard guard;
    try {
        sending_scope scope;
        return zem_io_commands::general_notify_log_line(byte_string(text, static_cast<std::size_t>(length)), file_name);
    } catch (...) {
        return false;
    }
}

void install_ipc_logger() {
    platform::last_error_guard guard;
    try {
        // The context reads the show flags from the registry when it is
        // made; make it first so that the flags set below stay.
        ensure_context();
        ZEM_LOG_TO(1, "zem_net.log", "IPC_LOGGER Initializing.\n");
        m_show_process = true;
        m_show_thread = true;
        {
            sending_scope scope;
            zem_io_commands::general_notify_log_line(
                line_prefix() + "Initialize IPCLogging. build = " + std::to_string(build_number) + "\n", nullptr);
        }
        install_stream(std::unique_ptr<ibase_log_stream>(new ipc_logger()));
    } catch (...) {
    }
}

}  // namespace log_space
