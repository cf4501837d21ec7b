#include "kit/exchange.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace kit {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A byte line: escapes decoded, "\r\n" appended unless it ends in a lone
// backslash.
std::string byte_line(const std::string& text) {
    if (!text.empty() && text.back() == '\\' && (text.size() < 2 || text[text.size() - 2] != '\\'))
        return unescape_line(text.substr(0, text.size() - 1));
    return unescape_line(text) + "\r\n";
}

}  // namespace

std::string unescape_line(const std::string& t) {
    std::string r;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] != '\\' || i + 1 == t.size()) {
            r += t[i];
            continue;
        }
        char c = t[++i];
        switch (c) {
            case 'r':
                r += '\r';
                break;
            case 'n':
                r += '\n';
                break;
            case 't':
                r += '\t';
                break;
            case '\\':
                r += '\\';
                break;
            case 'x': {
                int h = i + 2 < t.size() ? hex_digit(t[i + 1]) : -1;
                int l = i + 2 < t.size() ? hex_digit(t[i + 2]) : -1;
                if (h < 0 || l < 0) throw std::runtime_error("bad \\x escape");
                r += static_cast<char>(h * 16 + l);
                i += 2;
                break;
            }
            default:
                throw std::runtime_error(std::string("unknown escape \\") + c);
        }
    }
    return r;
}

std::string escape_bytes(const std::string& b) {
    static const char hex[] = "0123456789abcdef";
    std::string r;
    for (unsigned char c : b) {
        if (c == '\n') {
            r += "\\n\n";
        } else if (c == '\r') {
            r += "\\r";
        } else if (c == '\\') {
            r += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            r += "\\x";
            r += hex[c >> 4];
            r += hex[c & 15];
        } else {
            r += static_cast<char>(c);
        }
    }
    return r;
}

exchange load_exchange(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot open " + path);
    exchange x;
    x.name = path.substr(path.find_last_of('/') + 1);
    std::string section;  // "" while reading steps
    std::string line;
    int n = 0;
    bool step_open = false;
    try {
        while (std::getline(f, line)) {
            ++n;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("=== ", 0) == 0) {
                section = line.substr(4);
                if (section == "events") x.has_events = true;
                if (section == "closes") x.has_closes = true;
                if (section != "to-server" && section != "to-client" && section != "events" && section != "closes")
                    throw std::runtime_error("unknown section " + section);
                continue;
            }
            if (section.empty()) {
                if (line.empty() || line[0] == '#') continue;
                if (line == "--") {
                    step_open = false;
                    continue;
                }
                if (line == "@stop-in" || line == "@stop-out") {
                    x.steps.push_back({line == "@stop-in" ? exchange_step::stop_in : exchange_step::stop_out, ""});
                    step_open = false;
                    continue;
                }
                if (line[0] == '@') {
                    x.directives.push_back(line.substr(1));
                    continue;
                }
                if (line[0] != '>' && line[0] != '<') throw std::runtime_error("expected > or < or @");
                auto kind = line[0] == '>' ? exchange_step::out : exchange_step::in;
                std::string text = line.size() > 2 ? line.substr(2) : std::string();
                if (line.size() == 2 && line[1] != ' ') throw std::runtime_error("a space must follow > or <");
                if (!step_open || x.steps.empty() || x.steps.back().kind != kind) x.steps.push_back({kind, ""});
                step_open = true;
                x.steps.back().bytes += byte_line(text);
            } else if (section == "to-server" || section == "to-client") {
                if (line.empty() || line[0] == '#') continue;
                if (line[0] != '|' || (line.size() > 1 && line[1] != ' '))
                    throw std::runtime_error("expected bytes are written \"| ...\"");
                std::string text = line.size() > 2 ? line.substr(2) : std::string();
                (section == "to-server" ? x.to_server : x.to_client) += byte_line(text);
            } else if (section == "events") {
                if (!line.empty() && line[0] != '#') x.events.push_back(line);
            } else if (section == "closes") {
                if (!line.empty()) x.closes = std::stoi(line);
            }
        }
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ":" + std::to_string(n) + ": " + e.what());
    }
    return x;
}

std::vector<std::string> exchange_files(const std::string& folder) {
    std::vector<std::string> r;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) r.push_back(folder + "/" + name);
        }
        closedir(d);
    }
    std::sort(r.begin(), r.end());
    return r;
}

}  // namespace kit
