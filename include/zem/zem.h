#pragma once
// Entry points exported by the engine library (unmangled C names).
#include "zem/external_iface.h"
#include "zem/filt_point.h"

extern "C" {
unsigned char initialize(zem::i_external_iface* host);
void deinitialize();
zem::i_filt_point* create_filt_point(zem::i_provider* provider, int context);
// Replays the recordings named by zem_dbg_task.ini beside the executable.
bool execute_dbg_task();
// Runs the built-in self-test over the sample folders (ZEM_SELFTEST_DIR, or
// where they are installed); waits for a key when standard input is a
// terminal. True when every check passed.
bool execute_unit_test();
}
