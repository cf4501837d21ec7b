#include "capture/pieces.h"

#include "capture/named_storage.h"
#include "log/log.h"

namespace capture {

namespace ns = StorageNamed::InMemStorageSpace;

namespace {
const char* const array_name = "storrage";
const char* const bytes_name = "m_pice_of_transfer";
const char* const direction_name = "m_dwrd_val";
}  // namespace

byte_string readable_form(const piece_list& pieces) {
    std::size_t total = 0;
    for (const auto& p : pieces) total += p.bytes.size() + 4;
    byte_string out;
    out.reserve(total);
    for (const auto& p : pieces) {
        out += p.in ? "IN:" : "OUT:";
        out += p.bytes;
    }
    return out;
}

bool pack_pieces(const piece_list& pieces, byte_string& out) {
    out.clear();
    ns::CInMemStorage storage;
    auto opened = ns::open_sections_array(storage, array_name);
    if (!opened.array) return false;
    std::shared_ptr<ns::CSSection> section = opened.first;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i) section = ns::append_section(*opened.array);
        const char direction = pieces[i].in ? 1 : 0;
        if (!ns::set_value(storage, section.get(), bytes_name, pieces[i].bytes.data(), pieces[i].bytes.size(),
                           ns::value_kind::bytes) ||
            !ns::set_value(storage, section.get(), direction_name, &direction, 1, ns::value_kind::integer))
            return false;
    }
    // No pieces: an empty array rather than one empty section.
    if (pieces.empty()) opened.array->m_items.clear();
    out = ns::save(storage);
    return !out.empty();
}

bool unpack_pieces(const byte_string& buffer, piece_list& pieces) {
    pieces.clear();
    ns::CInMemStorage storage;
    if (!ns::load(storage, buffer)) return false;
    auto array = ns::find_sections_array(storage, array_name);
    if (!array) {
        ZEM_LOG_ERROR("filt/filt", "no \"" << array_name << "\" array in the dump");
        return false;
    }
    for (const auto& section : *array) {
        piece p;
        byte_string direction;
        if (!ns::get_value(storage, section.get(), bytes_name, p.bytes) ||
            !ns::get_value(storage, section.get(), direction_name, direction)) {
            ZEM_LOG_ERROR("filt/filt", "dump piece " << pieces.size() << " lacks its bytes or direction");
            pieces.clear();
            return false;
        }
        p.in = direction.find_first_not_of('\0') != byte_string::npos;
        pieces.push_back(std::move(p));
    }
    return true;
}

}  // namespace capture
