#pragma once
namespace module {
// Writes the load line and installs the host log stream.
void on_library_load();
}  // namespace module
