#pragma once
// Files the engine records for observation (certificates of TLS servers).
// The engine never creates folders: a record is written only into a folder
// that the user made.
#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// The certificate folder when the configuration names none: C:\mvxCertRep on
// Windows, /var/lib/mvxCertRep on POSIX.
const char* default_certificate_folder();

bool is_directory(const std::string& path);

// 'folder' and 'name' joined with the platform's separator.
std::string join_path(const std::string& folder, const std::string& name);

// Writes the bytes to a new file in 'folder' named 'prefix' and a unique
// suffix (an existing file is never opened); its path goes to 'path_out'.
// Windows names it as GetTempFileName does: the first three characters of
// the prefix, four hex digits and ".tmp".
bool write_new_file(const std::string& folder, const char* prefix, const char* data, std::size_t len,
                    std::string& path_out);

// Appends to 'path', creating it; a symbolic link in its place is refused.
bool append_file(const std::string& path, const char* data, std::size_t len);

// Creates or truncates 'path' and writes the bytes; a half-written file (a
// full disk) is removed again. A symbolic link in its place is refused.
bool replace_file(const std::string& path, const char* data, std::size_t len);

// One entry of a folder listing.
struct folder_entry {
    std::string name;  // file name only, no folder
    bool is_folder = false;
};

// The entries of 'folder' but "." and "..", sorted by name (byte order) so
// that walks are the same on every run and system. False when the folder
// cannot be listed.
bool list_folder(const std::string& folder, std::vector<folder_entry>& out);

// Reads a whole regular file of at most 'limit' bytes.
bool read_file(const std::string& path, std::string& out, std::size_t limit);

}  // namespace platform
