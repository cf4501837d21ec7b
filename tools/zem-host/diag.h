#pragma once
// zem-host's own diagnostics on standard error, one whole line per call.
// Under systemd, where standard error is the journal (JOURNAL_STREAM names
// it), each line starts with its syslog priority ("<3>") and journald files
// it at that level; anywhere else it starts with "zem-host: ".
namespace zem_host {

enum class diag_level { err = 3, warning = 4, notice = 5, info = 6 };

void diag(diag_level level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// True when standard error is the journal's stream.
bool stderr_is_journal();

}  // namespace zem_host
