#include "capture/replay.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "log/log.h"
#include "platform/files.h"
#include "platform/process.h"

namespace capture {

namespace {

constexpr std::size_t max_dump_file = std::size_t(1) << 30;
const std::string packed_suffix = ".dump_bi";
const std::string output_suffix = "_out.dump_bi";
// The debug task and the self-test keep their account in the module's own log.
const char* const walk_log = "zem_net.log";

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

filt_test_via_bundle::filt_test_via_bundle(filt_point_factory factory) : m_factory(factory) { reset(); }

filt_test_via_bundle::~filt_test_via_bundle() {
    if (m_point) m_point->release();
}

void filt_test_via_bundle::reset() {
    if (m_point) m_point->release();
    m_point = m_factory ? m_factory(this, 0) : nullptr;
    m_output.clear();
}

bool filt_test_via_bundle::update_in(const byte_string& data, byte_string& out) {
    const bool r = m_point && m_point->update_in(data.data(), static_cast<int>(data.size()));
    out.swap(m_output);
    m_output.clear();
    return r;
}

bool filt_test_via_bundle::update_out(const byte_string& data, byte_string& out) {
    const bool r = m_point && m_point->update_out(data.data(), static_cast<int>(data.size()));
    out.swap(m_output);
    m_output.clear();
    return r;
}

void filt_test_via_bundle::stop_in(byte_string& out) {
    if (m_point) m_point->stop_in();
    out.swap(m_output);
    m_output.clear();
}

void filt_test_via_bundle::stop_out(byte_string& out) {
    if (m_point) m_point->stop_out();
    out.swap(m_output);
    m_output.clear();
}

bool filt_test_via_bundle::send_out(const char* data, int len) {
    if (len > 0) m_output.append(data, static_cast<std::size_t>(len));
    return true;
}

bool filt_test_via_bundle::send_in(const char* data, int len) {
    if (len > 0) m_output.append(data, static_cast<std::size_t>(len));
    return true;
}

bool filt_test_via_bundle::get_connection_info(zem::connection_info* info) {
    if (info) *info = zem::connection_info{};
    return true;
}

piece_list replay_pieces(filt_test_via_bundle& bundle, const piece_list& pieces, std::size_t slice_limit) {
    slice_limit = std::max<std::size_t>(slice_limit, 1);
    bundle.reset();
    piece_list result;
    result.reserve(pieces.size() + 2);
    byte_string emitted;
    for (const piece& p : pieces) {
        piece done{byte_string(), p.in};
        std::size_t at = 0;
        // An empty piece is still one push: it is how a filter is cued.
        do {
            const std::size_t n = std::min(slice_limit, p.bytes.size() - at);
            const byte_string slice = p.bytes.substr(at, n);
            const bool kept = p.in ? bundle.update_in(slice, emitted) : bundle.update_out(slice, emitted);
            done.bytes += emitted;
            at += n;
            if (!kept) {
                done.bytes.append(p.bytes, at, byte_string::npos);
                break;
            }
        } while (at < p.bytes.size());
        result.push_back(std::move(done));
    }
    bundle.stop_in(emitted);
    result.push_back(piece{emitted, true});
    bundle.stop_out(emitted);
    result.push_back(piece{emitted, false});
    return result;
}

bool replay_file(filt_point_factory factory, const std::string& in_path, const std::string& out_path,
                 std::size_t slice_limit) {
    byte_string buffer;
    if (!platform::read_file(in_path, buffer, max_dump_file)) {
        ZEM_LOG_ERROR("filt/filt", "Failed to load file:" << in_path);
        return false;
    }
    piece_list pieces;
    if (!unpack_pieces(buffer, pieces)) {
        ZEM_LOG_ERROR("filt/filt", "Failed to load solid buffer from file:" << in_path);
        return false;
    }
    filt_test_via_bundle bundle(factory);
    const piece_list result = replay_pieces(bundle, pieces, slice_limit);
    byte_string packed;
    const byte_string text = readable_form(result);
    if (!pack_pieces(result, packed) || !platform::replace_file(out_path, packed.data(), packed.size()) ||
        !platform::replace_file(out_path.substr(0, out_path.size() - 3), text.data(), text.size())) {
        ZEM_LOG_ERROR("filt/filt", "Failed to save in file:" << out_path);
        return false;
    }
    return true;
}

bool walk_folder(const std::string& folder, const std::string& suffix,
                 const std::function<bool(const std::string& path)>& action) {
    ZEM_LOG_TO(0, walk_log, "Enumerating folder: " << folder << ":\r\n");
    std::vector<platform::folder_entry> entries;
    if (!platform::list_folder(folder, entries)) {
        ZEM_LOG_ERROR("unit_test/unit_test_helper", "Failed to FindFirstFileA for: " << folder << "/*" << suffix);
        return false;
    }
    bool all = true;
    for (const auto& e : entries) {
        if (e.name == ".svn" || e.name == "vssver.scc") continue;
        const std::string path = platform::join_path(folder, e.name);
        if (e.is_folder) {
            if (!walk_folder(path, suffix, action)) return false;
            continue;
        }
        // Results of earlier replays are outputs, not recordings.
        if (!ends_with(e.name, suffix) || ends_with(e.name, output_suffix)) continue;
        ZEM_LOG_TO(0, walk_log, "Test dump: " << e.name << "...");
        const bool ok = action(path);
        ZEM_LOG_TO(0, walk_log, (ok ? " Success!\r\n" : "Failed!\r\n"));
        all = all && ok;
    }
    return all;
}

bool run_dbg_task(filt_point_factory factory, const std::string& task_file) {
    byte_string path;
    const bool read = platform::read_file(task_file, path, 1 << 16);
    // Editors end the line; the path itself never does.
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r' || path.back() == ' ' || path.back() == '\t'))
        path.pop_back();
    std::error_code ec;
    if (!read || path.empty() || !std::filesystem::exists(path, ec)) {
        ZEM_LOG_ERROR("filt/filt", "Failed to open " << path);
        return false;
    }
    if (platform::is_directory(path)) {
        return walk_folder(path, packed_suffix, [factory](const std::string& file) {
            return replay_file(factory, file, file.substr(0, file.size() - packed_suffix.size()) + output_suffix, 1000);
        });
    }
    if (!ends_with(path, packed_suffix)) {
        ZEM_LOG_ERROR("filt/filt", "Failed to open " << path);
        return false;
    }
    return replay_file(factory, path, path.substr(0, path.size() - packed_suffix.size()) + output_suffix, 100000);
}

std::string dbg_task_file() {
    const std::string exe = platform::executable_path();
    const std::size_t cut = exe.find_last_of(platform::path_separator());
    return (cut == std::string::npos ? std::string() : exe.substr(0, cut + 1)) + "zem_dbg_task.ini";
}

}  // namespace capture
