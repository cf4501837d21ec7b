// A Windows host of our own: it loads zem_net.dll from its folder with
// LoadLibrary, resolves the entry points with GetProcAddress, keeps the
// configuration in the system registry (written with reg.exe, as
// "wine reg add" does) and drives web pages through a filter point, checking
// the bytes on both sides and what the host was told.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "kit/exchange.h"
#include "kit/kit.h"
#include "zem/zem.h"

namespace {

using init_fn = unsigned char (*)(zem::i_external_iface*);
using deinit_fn = void (*)();
using create_fn = zem::i_filt_point* (*)(zem::i_provider*, int);
using dbg_task_fn = bool (*)();

const char* const k_net_key = "HKLM\\Software\\MORVEX Software\\Morvex\\net";
const char* const k_log_key = "HKLM\\Software";

// Runs reg.exe with the arguments; true when it reports success.
bool reg(const std::string& args) {
    std::string cmd = "reg.exe " + args;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD rc = 1;
    GetExitCodeProcess(pi.hProcess, &rc);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return rc == 0;
}

bool reg_dword(const char* key, const char* name, unsigned long v) {
    return reg("add \"" + std::string(key) + "\" /v " + name + " /t REG_DWORD /d " + std::to_string(v) + " /f");
}

bool reg_text(const char* key, const char* name, const char* type, const std::string& data) {
    return reg("add \"" + std::string(key) + "\" /v " + name + " /t " + type + " /d \"" + data + "\" /f");
}

void reg_clean() {
    reg("delete \"HKLM\\Software\\MORVEX Software\" /f");
    for (const char* v : {"EnableZEMWLog", "ZEMWLogLevel", "ZEMWLogPath"})
        reg("delete \"" + std::string(k_log_key) + "\" /v " + v + " /f");
}

std::string folder_of_this_program() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    return p.substr(0, p.find_last_of('\\') + 1);
}

std::string read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

class windows_host_test : public ::testing::Test {
protected:
    void SetUp() override {
        reg_clean();
        host.set_reply(zem::codes::general_query_config_cookie, std::string(16, '\x07'));
        host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({"banner"}, 0));
        host.set_reply(zem::codes::http_query_transparent_gif, kit::narrow_text_reply("/local/blank.gif"));
        host.set_reply(zem::codes::http_query_ads_block_sizes, std::string(16, '\0'));
        host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply({15 /* ads by link */}));
    }
    void TearDown() override {
        unload();
        reg_clean();
    }

    void load() {
        module = LoadLibraryA((folder_of_this_program() + "zem_net.dll").c_str());
        ASSERT_NE(module, nullptr) << "LoadLibrary failed, error " << GetLastError();
        init = reinterpret_cast<init_fn>(reinterpret_cast<void*>(GetProcAddress(module, "initialize")));
        deinit = reinterpret_cast<deinit_fn>(reinterpret_cast<void*>(GetProcAddress(module, "deinitialize")));
        create = reinterpret_cast<create_fn>(reinterpret_cast<void*>(GetProcAddress(module, "create_filt_point")));
        ASSERT_TRUE(init && deinit && create);
        EXPECT_EQ(init(&host), 1);
    }
    void unload() {
        if (!module) return;
        deinit();
        FreeLibrary(module);
        module = nullptr;
    }

    // Pushes the exchange's steps, each in the given chunks, through a new
    // filter point; what reached each side goes to 'provider'. The first
    // step goes whole: the web filter knows its connections by a first chunk
    // that holds the whole request line.
    void run(const kit::exchange& x, std::size_t chunk) {
        provider = kit::capturing_provider();
        host.clear_records();
        zem::i_filt_point* fp = create(&provider, 3);
        ASSERT_NE(fp, nullptr);
        for (std::size_t i = 0; i < x.steps.size(); ++i) {
            const kit::exchange_step& step = x.steps[i];
            const std::size_t size = i == 0 ? step.bytes.size() : chunk;
            switch (step.kind) {
                case kit::exchange_step::out:
                case kit::exchange_step::in:
                    for (std::size_t at = 0; at < step.bytes.size(); at += size) {
                        const std::string piece = step.bytes.substr(at, size);
                        const int len = static_cast<int>(piece.size());
                        if (step.kind == kit::exchange_step::out)
                            fp->update_out(piece.data(), len);
                        else
                            fp->update_in(piece.data(), len);
                    }
                    break;
                case kit::exchange_step::stop_out:
                    fp->stop_out();
                    break;
                case kit::exchange_step::stop_in:
                    fp->stop_in();
                    break;
            }
        }
        fp->release();
    }

    // What the engine logged to the host, for failure messages.
    std::string log_lines() const {
        std::string r = "\nlog lines:\n";
        for (const auto& n : host.notifications(zem::codes::general_notify_log_line))
            r += kit::escape_bytes(n.data) + "\n";
        return r;
    }

    HMODULE module = nullptr;
    init_fn init = nullptr;
    deinit_fn deinit = nullptr;
    create_fn create = nullptr;
    kit::fake_host host;
    kit::capturing_provider provider;
};

const std::string k_exchange = std::string(ZEM_TEST_DATA_DIR) + "/windows/ad_page.txt";

// First of the cases: the library stays in the process once a page went
// through it (see docs/windows.md), and the load line is written when the
// process attaches it.
TEST_F(windows_host_test, the_load_line_goes_to_the_configured_log_folder) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("zem_win_host_" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(dir);
    std::string dir_text = dir.string();
    ASSERT_TRUE(reg_dword(k_log_key, "EnableZEMWLog", 0x2));
    ASSERT_TRUE(reg_dword(k_log_key, "ZEMWLogLevel", 1));
    ASSERT_TRUE(reg_text(k_log_key, "ZEMWLogPath", "REG_SZ", dir_text));
    load();
    unload();
    const std::string load_log = read_all(dir_text + "\\zem_net.log");
    EXPECT_NE(load_log.find("DLL loading, BUILD: 488\n"), std::string::npos) << load_log;
    // The default file is named after the executable, in the same folder.
    const std::string own_log = read_all(dir_text + "\\test_win_host.log");
    EXPECT_NE(own_log.find(" Init logging. Level=1 Log path=" + dir_text + ".\n"), std::string::npos) << own_log;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST_F(windows_host_test, entry_points_resolve_by_their_plain_names_only) {
    load();
    EXPECT_NE(GetProcAddress(module, "execute_dbg_task"), nullptr);
    // No decorated or C++ names leave the library.
    for (const char* name : {"_initialize", "initialize@4", "_create_filt_point@8", "DllMain", "DllMain@12"})
        EXPECT_EQ(GetProcAddress(module, name), nullptr) << name;
    EXPECT_EQ(create(nullptr, 5), nullptr);
    unload();
    EXPECT_EQ(GetModuleHandleA("zem_net.dll"), nullptr);  // no filtering yet: unloaded
}

TEST_F(windows_host_test, advertisement_is_replaced_and_the_host_is_told_at_any_chunking) {
    ASSERT_TRUE(reg_dword(k_net_key, "enable_http", 1));
    ASSERT_TRUE(reg_dword(k_net_key, "enable_ssl", 0));
    load();
    const kit::exchange x = kit::load_exchange(k_exchange);
    for (std::size_t chunk : {std::size_t(1) << 20, std::size_t(1460), std::size_t(7), std::size_t(1)}) {
        run(x, chunk);
        EXPECT_EQ(provider.out, x.to_server) << "chunk " << chunk;
        EXPECT_EQ(provider.in, x.to_client) << "chunk " << chunk;
        if (provider.in != x.to_client) std::ofstream(k_exchange + ".got", std::ios::binary) << provider.in;
        EXPECT_EQ(kit::notification_events(host), x.events) << "chunk " << chunk << log_lines();
        EXPECT_EQ(provider.close_in_count, x.closes) << "chunk " << chunk;
    }
}

TEST_F(windows_host_test, the_registry_decides_the_chain_of_each_new_filter_point) {
    const kit::exchange x = kit::load_exchange(k_exchange);
    std::string page;  // what the server sent, as the client gets it unfiltered
    for (const auto& s : x.steps)
        if (s.kind == kit::exchange_step::in) page += s.bytes;

    ASSERT_TRUE(reg_dword(k_net_key, "enable_http", 0));
    load();
    run(x, 100);
    EXPECT_EQ(provider.in, page);
    EXPECT_EQ(provider.out, x.to_server);
    EXPECT_EQ(host.notification_count(zem::codes::http_notify_request), 0u);

    // A change counts for the next filter point, without reloading.
    ASSERT_TRUE(reg_dword(k_net_key, "enable_http", 1));
    run(x, 100);
    EXPECT_EQ(provider.in, x.to_client);

    // Values are read with the sizes of the narrow registry API: a 3-letter
    // string is 4 bytes with its terminator and counts as a number...
    ASSERT_TRUE(reg_text(k_net_key, "enable_http", "REG_SZ", "abc"));
    run(x, 100);
    EXPECT_EQ(provider.in, x.to_client);
    // ...binary zero of 4 bytes turns the filter off...
    ASSERT_TRUE(reg_text(k_net_key, "enable_http", "REG_BINARY", "00000000"));
    run(x, 100);
    EXPECT_EQ(provider.in, page);
    // ...and 5 bytes leave the default, which is on.
    ASSERT_TRUE(reg_text(k_net_key, "enable_http", "REG_SZ", "abcd"));
    run(x, 100);
    EXPECT_EQ(provider.in, x.to_client);
}

}  // namespace
