#pragma once
// Lines a session filter sends the host about its own connection.
#include "core/interfaces.h"

namespace mail {

// The session went over to TLS (STARTTLS, STLS): nothing after it can be
// read and the filter steps aside. The engine's log gets
//   "PROTOCOL: session went encrypted (COMMAND).\n"
// at level 2, and the host gets the same line at once as a log line whose
// header names the connection, whatever the log level, so that its record
// of the connection says the rest of it was not looked at.
void note_session_encrypted(i_connection_feedback* feedback, const char* protocol, const char* command);

}  // namespace mail
