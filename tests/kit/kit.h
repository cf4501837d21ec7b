#pragma once
// Shared test fakes: a capturing provider, a scripted host, chunking helpers
// and little-endian readers for checking wire layouts by offset.
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "zem/external_iface.h"
#include "zem/filt_point.h"

namespace kit {

// Records everything a filter point hands on, in call order.
class capturing_provider : public zem::i_provider {
public:
    struct event {
        enum kind_t { send_out, close_out, send_in, close_in } kind;
        std::string data;
    };

    bool send_out(const char* data, int len) override;
    bool close_out() override;
    bool send_in(const char* data, int len) override;
    bool close_in() override;
    bool get_connection_info(zem::connection_info* info) override;

    std::string out;  // everything sent toward the server
    std::string in;   // everything sent toward the client
    std::vector<event> events;
    int close_out_count = 0;
    int close_in_count = 0;
    std::uint32_t id0 = 0x11111111, id1 = 0x22222222, id2 = 0x33333333;
    unsigned char address_a[128] = {};
    unsigned char address_b[128] = {};
    int info_calls = 0;
};

// A host whose command replies are scripted per code and which records every
// command and notification it receives.
class fake_host : public zem::i_external_iface {
public:
    struct record {
        int code;
        std::string data;
        bool guid_ok;
        // The bytes a command hands over by address (the attachment of 1006,
        // the script of 1009), read in place during the call.
        std::string referenced;
    };
    struct reply {
        int rc = 0;
        std::string bytes;
        bool leave_empty = false;  // success without touching the reply block
    };

    int invoke_command(const zem::GUID* channel, int code, zem::mem_slice* request, zem::mem_slice* reply) override;
    bool notify_event(const zem::GUID* channel, int code, zem::mem_slice* data) override;

    // The reply given every time (until replaced).
    void set_reply(int code, const std::string& bytes, int rc = 0);
    // A reply given once, before the standing one.
    void push_reply(int code, const std::string& bytes, int rc = 0);
    void set_accept_notifications(bool accept);

    std::vector<record> commands(int code = -1) const;
    std::vector<record> notifications(int code = -1) const;
    std::size_t command_count(int code = -1) const { return commands(code).size(); }
    std::size_t notification_count(int code = -1) const { return notifications(code).size(); }
    void clear_records();

private:
    mutable std::mutex m_lock;
    std::map<int, reply> m_standing;
    std::map<int, std::deque<reply>> m_once;
    std::vector<record> m_commands;
    std::vector<record> m_notifications;
    bool m_accept = true;
};

// Little-endian readers and writers for wire checks.
std::uint32_t le32(const std::string& s, std::size_t off);
std::uint64_t le64(const std::string& s, std::size_t off);
void put_le32(std::string& s, std::size_t off, std::uint32_t v);
void put_le64(std::string& s, std::size_t off, std::uint64_t v);
std::string le32_bytes(std::uint32_t v);
std::string le64_bytes(std::uint64_t v);
// The bytes given as numbers.
std::string bytes(std::initializer_list<int> values);
// UTF-16LE bytes of an ASCII text, without terminator.
std::string utf16le(const std::string& ascii);

// A reply to mail_check_mail_attach (1006): the action, the new file name
// (UTF-16LE bytes; empty gives an empty reference) and the new body.
std::string attach_reply(std::uint32_t action, const std::string& name_utf16le = std::string(),
                         const std::string& body = std::string());

// A reply to general_query_permission_array as the host lays it out: 22
// actions of 4 bytes and an empty text reference, 104 bytes; the listed
// indexes blocked, every other allowed.
std::string permission_reply(std::initializer_list<int> blocked = {});

// The same with the 22 actions as given, then the 16-byte text reference
// given (offset from itself, length) and what follows it.
std::string permission_reply_of(const std::int32_t* actions, const std::string& text_ref = std::string(16, '\0'),
                                const std::string& tail = std::string());
// A text reference as the wire has it: offset and length, 8 bytes each.
std::string ref(std::uint64_t off, std::uint64_t len);

// A word-list reply: +0 u64 count, then from 'first' one 16-byte reference
// per word (distance from the reference, byte length), then the UTF-16LE
// words with 2-byte terminators; padded to 26 bytes. Stop words
// (http_query_stop_words) start their references at 8; advertisement words
// (http_query_ads_block_words) at 9, after a u8 list flag at 8.
std::string word_list_reply(const std::vector<std::string>& words, std::size_t first = 8, std::uint8_t list_flag = 0);
inline std::string ads_words_reply(const std::vector<std::string>& words, std::uint8_t list_flag = 1) {
    return word_list_reply(words, 9, list_flag);
}
// A reply carrying one narrow text (the transparent image's address, 1007):
// its reference at 0, the text after it with a terminator.
std::string narrow_text_reply(const std::string& text);
// A reply to http_query_ads_block_sizes: u64 count, u32 width and height per
// size, then 8 zero bytes.
std::string ads_sizes_reply(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& sizes);

// The host's notifications as exchange files write them ("request #1",
// "response #1 200", "complete #1 0", "blocked #1 15"); request ids are
// numbered from 1 in the order the requests were announced. Progress and
// log lines depend on time and are left out.
std::vector<std::string> notification_events(const fake_host& host, bool with_bytes = false);

// Chunkings of a byte string.
std::vector<std::string> one_byte_chunks(const std::string& s);
// Two chunks split at 'at'.
std::vector<std::string> split_at(const std::string& s, std::size_t at);
// Random chunk sizes from 1 to max_chunk, reproducible from the seed.
std::vector<std::string> random_chunks(const std::string& s, std::uint32_t seed, std::size_t max_chunk = 64);
// The seed for random chunkings: ZEM_TEST_SEED when set, else a fixed one;
// printed so that a failure can be reproduced.
std::uint32_t test_seed();

}  // namespace kit
