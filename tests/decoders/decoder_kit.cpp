#include "decoder_kit.h"

#include <stdexcept>

namespace dk {

std::string compress(const std::string& text, wrap w, int level, std::size_t full_flush_at, bool finish) {
    z_stream s{};
    int bits = w == wrap::gzip ? 31 : w == wrap::zlib ? 15 : -15;
    if (deflateInit2(&s, level, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&s, text.size()) + 64, '\0');
    s.next_out = reinterpret_cast<Bytef*>(&out[0]);
    s.avail_out = static_cast<uInt>(out.size());
    auto feed = [&](std::size_t from, std::size_t to, int flush) {
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data() + from));
        s.avail_in = static_cast<uInt>(to - from);
        int rc = deflate(&s, flush);
        if (rc != Z_OK && rc != Z_STREAM_END) throw std::runtime_error("deflate");
    };
    std::size_t cut = full_flush_at == std::string::npos ? 0 : full_flush_at;
    if (cut) feed(0, cut, Z_FULL_FLUSH);
    feed(cut, text.size(), finish ? Z_FINISH : Z_FULL_FLUSH);
    out.resize(out.size() - s.avail_out);
    deflateEnd(&s);
    return out;
}

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

}  // namespace dk
