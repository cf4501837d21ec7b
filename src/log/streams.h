#pragma once
#include <cstdio>
#include <map>
#include <string>

#include "log/log.h"

namespace log_space {

// Log files in one directory: the default file, plus one file per distinct
// file name, each opened on first use after rotating the previous one to .0.
class file_output_stream : public ibase_log_stream {
public:
    file_output_stream(std::string dir, std::string default_file);
    ~file_output_stream() override;
    bool write(const char* text, int length, const char* file_name) override;
    int kind() const override { return 1; }

    // Moves base.log to base.0 (dropping an older base.0), base being the
    // path without its extension.
    static void rotate(const std::string& path);

private:
    std::FILE* open_file(const std::string& name);

    std::string m_dir;
    std::FILE* m_default = nullptr;
    std::map<std::string, std::FILE*> m_files;
};

// The debugger's output, in pieces of at most 80 characters.
class debug_output_stream : public ibase_log_stream {
public:
    bool write(const char* text, int length, const char* file_name) override;
    int kind() const override { return 0; }
};

// The process console, made for the process when it has none (and given
// back with the stream); BEL characters show as '^'.
class console_output_stream : public ibase_log_stream {
public:
    console_output_stream();
    ~console_output_stream() override;
    bool write(const char* text, int length, const char* file_name) override;
    int kind() const override { return 3; }

private:
    bool m_made_console = false;
};

}  // namespace log_space
