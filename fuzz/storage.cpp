// libFuzzer entry for the packed storage loader: any input either is refused
// or loads to a tree that packs back to a buffer which loads to the same
// tree; the dump reader on top of it must hold up as well.
#include <cstdint>
#include <cstdio>
#include <string>

#include "capture/named_storage.h"
#include "capture/pieces.h"
#include "log/log.h"

namespace ns = StorageNamed::InMemStorageSpace;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        log_space::m_level = -1;
        return true;
    }();
    (void)quiet;
    const std::string input(reinterpret_cast<const char*>(data), size);
    ns::CInMemStorage s;
    const std::size_t used = ns::load(s, input);
    if (used > size) {
        std::fprintf(stderr, "storage: consumed %zu of %zu bytes\n", used, size);
        __builtin_trap();
    }
    if (used) {
        const std::string packed = ns::save(s);
        ns::CInMemStorage again;
        if (packed.size() != s.root().size() + 9 || ns::load(again, packed) != packed.size() ||
            ns::save(again) != packed || ns::dump_text(again) != ns::dump_text(s)) {
            std::fprintf(stderr, "storage: repacking does not reproduce the tree\n");
            __builtin_trap();
        }
    }
    capture::piece_list pieces;
    if (capture::unpack_pieces(input, pieces)) {
        std::string packed;
        capture::piece_list back;
        if (!capture::pack_pieces(pieces, packed) || !capture::unpack_pieces(packed, back) ||
            back.size() != pieces.size()) {
            std::fprintf(stderr, "storage: piece list does not survive repacking\n");
            __builtin_trap();
        }
    }
    return 0;
}
