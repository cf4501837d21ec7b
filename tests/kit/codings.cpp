#include "kit/codings.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace kit {

struct deflater::state {
    z_stream z{};
};

deflater::deflater(zwrap w, int level) : m(new state) {
    const int bits = w == zwrap::gzip ? MAX_WBITS + 16 : w == zwrap::zlib ? MAX_WBITS : -MAX_WBITS;
    if (deflateInit2(&m->z, level, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        delete m;
        throw std::runtime_error("deflateInit2");
    }
}

deflater::~deflater() {
    deflateEnd(&m->z);
    delete m;
}

void deflater::add(const char* p, std::size_t n, int flush) {
    z_stream& z = m->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p));
    z.avail_in = static_cast<uInt>(n);
    char buf[65536];
    int rc;
    do {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = deflate(&z, flush);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) throw std::runtime_error("deflate");
        out.append(buf, sizeof buf - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
}

std::string compress(const std::string& text, zwrap w, int level, std::size_t full_flush_at, bool finish) {
    deflater d(w, level);
    const std::size_t cut = full_flush_at == std::string::npos ? 0 : std::min(full_flush_at, text.size());
    if (cut) d.add(text.data(), cut, Z_FULL_FLUSH);
    d.add(text.data() + cut, text.size() - cut, finish ? Z_FINISH : Z_FULL_FLUSH);
    return d.out;
}

std::string gzip_of_repeated(char fill, std::size_t total, int level, bool finish) {
    deflater d(zwrap::gzip, level);
    const std::string block(std::size_t(1) << 20, fill);
    std::size_t left = total;
    do {
        const std::size_t take = std::min(left, block.size());
        left -= take;
        d.add(block.data(), take, left != 0 ? Z_NO_FLUSH : finish ? Z_FINISH : Z_FULL_FLUSH);
    } while (left != 0);
    return d.out;
}

std::string chunked(const std::string& body, const std::function<std::size_t()>& next_size) {
    std::string r;
    char size[24];
    for (std::size_t at = 0; at < body.size();) {
        const std::size_t n = std::min(body.size() - at, std::max<std::size_t>(1, next_size()));
        std::snprintf(size, sizeof size, "%zx\r\n", n);
        r += size;
        r.append(body, at, n);
        r += "\r\n";
        at += n;
    }
    return r + "0\r\n\r\n";
}

std::string chunked(const std::string& body, std::size_t piece) {
    return chunked(body, [piece] { return piece; });
}

}  // namespace kit
