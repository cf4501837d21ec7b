// Load hook of the shared library only (the static library has none, so
// test programs decide themselves when load work runs).
#include "module/load_hook.h"

__attribute__((constructor)) static void zem_library_loaded() { module::on_library_load(); }
