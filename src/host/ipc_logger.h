#pragma once
// The log stream that hands every committed line to the host.
#include "log/log.h"

namespace log_space {

class ipc_logger : public ibase_log_stream {
public:
    bool write(const char* text, int length, const char* file_name) override;
    int kind() const override { return 0; }
};

// Announces the host logger, sends the greeting line straight to the host and
// installs an ipc_logger in the log context. Called once at library load.
void install_ipc_logger();

}  // namespace log_space
