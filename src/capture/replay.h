#pragma once
// Runs recorded connections through a fresh filter point again, without a
// host: the debug task that replays dump files and folders of them.
#include <cstddef>
#include <functional>
#include <string>

#include "capture/pieces.h"
#include "zem/filt_point.h"

namespace capture {

using filt_point_factory = zem::i_filt_point* (*)(zem::i_provider* provider, int context);

// The host side of one filter point: everything the filter point hands on,
// in either direction, lands in one output string.
class filt_test_via_bundle : public zem::i_provider {
public:
    explicit filt_test_via_bundle(filt_point_factory factory);
    ~filt_test_via_bundle();
    filt_test_via_bundle(const filt_test_via_bundle&) = delete;
    filt_test_via_bundle& operator=(const filt_test_via_bundle&) = delete;

    // Each pushes, then moves what came out into 'out'.
    bool update_in(const byte_string& data, byte_string& out);
    bool update_out(const byte_string& data, byte_string& out);
    void stop_in(byte_string& out);
    void stop_out(byte_string& out);
    // A new filter point in place of the old one.
    void reset();

    bool send_out(const char* data, int len) override;
    bool close_out() override { return true; }
    bool send_in(const char* data, int len) override;
    bool close_in() override { return true; }
    bool get_connection_info(zem::connection_info* info) override;

private:
    filt_point_factory m_factory;
    zem::i_filt_point* m_point = nullptr;
    byte_string m_output;
};

// Every piece pushed in slices of at most 'slice_limit' bytes into the
// direction it was recorded in; each piece becomes what came out for it, and
// the stops of both directions add a last in piece and a last out piece.
piece_list replay_pieces(filt_test_via_bundle& bundle, const piece_list& pieces, std::size_t slice_limit);

// Replays one packed dump and writes the packed result to 'out_path' and its
// readable form beside it (without the "_bi").
bool replay_file(filt_point_factory factory, const std::string& in_path, const std::string& out_path,
                 std::size_t slice_limit);

// Walks 'folder' and its sub-folders, running 'action' on every file whose
// name ends in 'suffix', with the walk's log lines. False when any fails.
bool walk_folder(const std::string& folder, const std::string& suffix,
                 const std::function<bool(const std::string& path)>& action);

// The debug task named by the task file: one packed dump, or a folder of them.
bool run_dbg_task(filt_point_factory factory, const std::string& task_file);

// The task file beside the running executable.
std::string dbg_task_file();

}  // namespace capture
