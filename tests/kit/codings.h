#pragma once
// Test inputs in the codings HTTP carries: zlib's deflate in its three
// wrappings (made by zlib itself, never by the engine's own code) and the
// chunked transfer coding.
#include <cstddef>
#include <functional>
#include <string>

namespace kit {

enum class zwrap { gzip, zlib, raw };

// zlib's deflate over pieces given one by one, so that a large text never
// has to be whole in memory. What it makes so far is in 'out'.
class deflater {
public:
    explicit deflater(zwrap w, int level = 6);
    ~deflater();
    deflater(const deflater&) = delete;
    deflater& operator=(const deflater&) = delete;

    // Compresses the piece; 'flush' is zlib's (Z_NO_FLUSH, Z_FULL_FLUSH,
    // Z_FINISH).
    void add(const char* p, std::size_t n, int flush);
    void add(const std::string& s, int flush) { add(s.data(), s.size(), flush); }

    std::string out;

private:
    struct state;
    state* m;
};

// The text compressed whole. With full_flush_at set, the text is split there
// into two flushed parts; unfinished, the stream stops after a full flush so
// that what follows starts a new deflate block.
std::string compress(const std::string& text, zwrap w, int level = 6, std::size_t full_flush_at = std::string::npos,
                     bool finish = true);
inline std::string gzip(const std::string& text) { return compress(text, zwrap::gzip); }

// 'fill' repeated to 'total' bytes, compressed in steps of 1 MB.
std::string gzip_of_repeated(char fill, std::size_t total, int level = 9, bool finish = true);

// The body in the chunked coding (lower-case hex sizes, no extensions, no
// trailer), in chunks of 'piece' bytes, or of the sizes next_size gives
// (each at least 1).
std::string chunked(const std::string& body, std::size_t piece);
std::string chunked(const std::string& body, const std::function<std::size_t()>& next_size);

}  // namespace kit
