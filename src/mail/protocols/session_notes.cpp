#include "mail/protocols/session_notes.h"

#include "host/zem_io_commands.h"
#include "log/log.h"

namespace mail {

void note_session_encrypted(i_connection_feedback* feedback, const char* protocol, const char* command) {
    const byte_string line = byte_string(protocol) + ": session went encrypted (" + command + ").\n";
    ZEM_LOG(2, line);
    zem_io_commands::general_notify_log_line(feedback, line);
}

}  // namespace mail
