// The Windows registry itself, read only. Keys are opened for each read and
// closed again, so a changed value counts for the next reader. A 32-bit
// module on 64-bit Windows reads the 32-bit view (Software\WOW6432Node), as
// every 32-bit program does.
#include "platform/registry_store.h"

#include <windows.h>

#include <vector>

#include "platform/codepage.h"

namespace platform {
namespace {

class key_handle {
public:
    explicit key_handle(const std::wstring& path) {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &m_key) != ERROR_SUCCESS)
            m_key = nullptr;
    }
    ~key_handle() {
        if (m_key) RegCloseKey(m_key);
    }
    key_handle(const key_handle&) = delete;
    key_handle& operator=(const key_handle&) = delete;
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

bool is_text_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace

// Key paths and value names arrive as ANSI text, as the engine writes them.
bool registry_store_query(const std::string& key_path, const std::string& name, reg_value& out) {
    key_handle key(ansi_to_wide(key_path));
    if (!key.get()) return false;
    const std::wstring value_name = ansi_to_wide(name);
    // The value may change between the size query and the read: retry a
    // few times with the new size.
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(data.size());
        const LONG r = RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type,
                                        data.empty() ? nullptr : data.data(), &size);
        if (r == ERROR_SUCCESS && (data.size() >= size || size == 0)) {
            data.resize(size);
            out.type = type;
            if (is_text_type(type)) {
                // As the narrow API hands it out: ANSI bytes, terminator
                // included when it was stored, so that sizes (and a short
                // string read as a number) come out as they would there.
                std::wstring w(data.size() / 2, L'\0');
                for (std::size_t i = 0; i < w.size(); ++i)
                    w[i] = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
                wide_to_multibyte(ansi_code_page(), w, out.bytes);
            } else {
                out.bytes.assign(reinterpret_cast<const char*>(data.data()), data.size());
            }
            return true;
        }
        if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) return false;
        data.resize(size);
    }
    return false;
}

// The system registry has no text of ours to complain about.
std::vector<std::string> registry_store_take_warnings() { return {}; }

}  // namespace platform
