#include "kit/decoders.h"

namespace kit {

std::string sample_page(std::size_t n) {
    static const char* words[] = {"<div class=\"item\">",
                                  "lorem",
                                  "ipsum",
                                  "</div>\n",
                                  "<a href=\"/x?id=",
                                  "dolor",
                                  "\">link</a>",
                                  "sit",
                                  "amet",
                                  "<p>",
                                  "</p>"};
    std::string s = "<html><head><title>t</title></head><body>\n";
    unsigned x = 12345;
    while (s.size() < n) {
        x = x * 1103515245u + 12345u;
        s += words[(x >> 16) % 11];
        s += std::to_string((x >> 8) % 1000);
        s += ' ';
    }
    s.resize(n);
    return s;
}

bool recording_target::update_in(byte_string& data) {
    seen += data;
    pieces.push_back(data);
    if (upper)
        for (char& c : data)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (decline_after != std::string::npos && seen.size() > decline_after) {
        declined = true;
        return false;
    }
    return true;
}

void recording_target::stop(byte_string& data) {
    ++stops;
    data += stop_tail;
}

}  // namespace kit
