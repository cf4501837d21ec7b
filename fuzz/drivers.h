#pragma once
// The bodies of the web-path fuzz targets. Each driver takes one input,
// runs it through the engine and returns an empty string when every check
// held, else what went wrong. The fuzz targets trap on a non-empty result;
// tests/regressions replays saved inputs through the same functions, so a
// fixed finding stays fixed.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/bunch_filter.h"
#include "host/host_link.h"
#include "host/permission_qualifier.h"
#include "host/permissions.h"
#include "html/html_sub_handlers.h"
#include "html/text_handler.h"
#include "http/content_encoding_gzip.h"
#include "http/gif_filter.h"
#include "http/http_charset_encoding.h"
#include "http/http_stream_filter.h"
#include "kit/codings.h"
#include "kit/http_invariants.h"
#include "kit/kit.h"
#include "kit/qualifier.h"
#include "log/log.h"
#include "match/ads_matcher.h"
#include "module/chain_factory.h"
#include "platform/registry.h"
#include "zem/external_iface.h"
#include "zem/zem.h"

namespace fuzz_drivers {

// Takes values off the front of the input; past its end every value is 0
// and every byte string empty, so a driver never has to check for the end.
class input_reader {
public:
    input_reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_pos >= m_size; }
    std::size_t left() const { return m_size - m_pos; }
    std::uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    std::string take(std::size_t n) {
        n = std::min(n, left());
        std::string s(reinterpret_cast<const char*>(m_data + m_pos), n);
        m_pos += n;
        return s;
    }
    std::string rest() { return take(left()); }
    // A byte string whose length is the next byte (at most 255 bytes).
    std::string short_text() { return take(byte()); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

inline void quiet_logs() { log_space::m_level = -1; }

// When set, whole_chain leaves here what the server sent and what the
// client received, for looking into a finding by hand.
inline std::string* whole_chain_trace = nullptr;

// Cuts 'text' into pieces whose sizes come from the input (1..256 bytes, a
// few bytes and large runs alike); once the input is used up the rest is one
// piece.
inline std::vector<std::string> chunk_by_input(const std::string& text, input_reader& in) {
    std::vector<std::string> pieces;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t n = in.empty() ? text.size() - pos : std::size_t(in.byte()) + 1;
        if (n > 200) n = (n - 200) * 97;  // some long pieces
        n = std::min(n, text.size() - pos);
        pieces.push_back(text.substr(pos, n));
        pos += n;
    }
    return pieces;
}

// The kit's policy object, set from the driver's input: permission words,
// whether every address is an advertisement and whether every size is a
// banner size. It follows the requests it is given, as a host's would.
class fuzz_qualifier : public kit::test_qualifier {
public:
    fuzz_qualifier() {
        follow_requests = true;
        address.clear();
        request_id = 0;
        gif.clear();
        ad_keyword = "ad";
        learn_allows = false;
    }

    // Each permission word from one input byte: mostly allow, some block or
    // learn, and now and then an out-of-range action.
    void fill_from(input_reader& in) {
        for (int i = 0; i < idx_count; ++i) permissions[i] = action_from(in.byte());
        std::uint8_t f = in.byte();
        every_link_is_ad = (f & 1) != 0;
        every_size_is_banner = (f & 2) != 0;
    }
    bool allows_all() const {
        for (int i = 0; i < idx_count; ++i)
            if (permissions[i] != content_action_allow) return false;
        return !every_link_is_ad && !every_size_is_banner;
    }
    static std::int32_t action_from(std::uint8_t b) {
        if (b < 160) return content_action_allow;
        if (b < 220) return content_action_block;
        if (b < 250) return content_action_learn;
        return static_cast<std::int32_t>(b) - 256;  // -6..-1
    }
};

// Printable words made from input bytes (letters only, 1..8 of them).
inline std::vector<std::string> words_from(input_reader& in, std::size_t max_words) {
    std::vector<std::string> words;
    std::size_t n = in.byte() % (max_words + 1);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t len = in.byte() % 8 + 1;
        std::string w;
        for (std::size_t k = 0; k < len; ++k) w += static_cast<char>('a' + in.byte() % 26);
        words.push_back(w);
    }
    return words;
}

// Installs a fake host for the lifetime of a run.
struct host_scope {
    kit::fake_host host;
    host_scope() { zem_io_commands::set_host_iface(&host); }
    ~host_scope() { zem_io_commands::set_host_iface(nullptr); }
    host_scope(const host_scope&) = delete;
    host_scope& operator=(const host_scope&) = delete;
};

// ---------------------------------------------------------------------------
// http_filter: the HTTP filter with the engine's own handlers on a filter
// point, both directions interleaved as the input says, an allow-all host.
// Under an allow-all policy nothing the client sends is edited, so the
// server must receive the client's bytes exactly, whatever they are.
inline std::string run_http_filter(const std::uint8_t* data, std::size_t size) {
    quiet_logs();
    ads_matcher::reset();
    host_scope hs;
    hs.host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply());
    hs.host.set_reply(zem::codes::http_query_stop_words, kit::word_list_reply({}));
    hs.host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply({}, 0));
    hs.host.set_reply(zem::codes::http_query_ads_block_sizes, kit::ads_sizes_reply({}));
    kit::capturing_provider provider;
    std::string sent_out;
    {
        bunch_filter point(&provider, 1, [](i_connection_feedback* fb, filter_chain& chain) {
            chain.push_back(std::make_shared<http_stream_filter>(fb, module::web_handler_hooks()));
        });
        input_reader in(data, size);
        bool out_open = true, in_open = true;
        while (!in.empty()) {
            const std::uint8_t op = in.byte();
            std::size_t len = std::size_t(in.byte()) + 1;
            if (op & 0x40) len *= 61;
            const std::string piece = in.take(len);
            switch (op & 7) {
                case 0:
                case 1:
                case 2:
                    if (!out_open) break;
                    sent_out += piece;
                    point.update_out(piece.data(), static_cast<int>(piece.size()));
                    break;
                case 3:
                case 4:
                case 5:
                    if (!in_open) break;
                    point.update_in(piece.data(), static_cast<int>(piece.size()));
                    break;
                case 6:
                    if (op & 0x80) {
                        if (in_open) point.stop_in();
                        in_open = false;
                    }
                    break;
                default:
                    if (op & 0x80) {
                        if (out_open) point.stop_out();
                        out_open = false;
                    }
                    break;
            }
        }
        if (in_open) point.stop_in();
        if (out_open) point.stop_out();
    }
    if (provider.out != sent_out)
        return "the server did not receive the client's bytes (" + std::to_string(provider.out.size()) + " of " +
               std::to_string(sent_out.size()) + ")";
    return {};
}

// ---------------------------------------------------------------------------
// html: the narrow or wide HTML parser with a policy from the input, fed in
// pieces the input cuts. A wide parser must hand out whole UTF-16 units.
inline std::string run_html(const std::uint8_t* data, std::size_t size) {
    quiet_logs();
    ads_matcher::reset();
    host_scope hs;
    input_reader in(data, size);
    const std::uint8_t mode = in.byte();
    fuzz_qualifier q;
    q.fill_from(in);
    const std::vector<std::string> stop_words = words_from(in, 4);
    hs.host.set_reply(zem::codes::http_query_stop_words, kit::word_list_reply(stop_words));
    hs.host.set_reply(zem::codes::http_check_script, in.short_text());
    stub_connection_feedback feedback;
    const std::size_t text_len = std::size_t(in.u16()) % 4096;
    const std::string text = in.take(text_len);
    const std::vector<std::string> pieces = chunk_by_input(text, in);
    std::unique_ptr<i_sub_handler> h;
    host_permission_qualifier* qual = (mode & 2) ? static_cast<host_permission_qualifier*>(&q) : nullptr;
    const bool wide = (mode & 1) != 0;
    if (wide)
        h.reset(new html::wide_html_sub_handler(qual, &feedback, "http://fuzz.example/page"));
    else
        h.reset(new html::narrow_html_sub_handler(qual, &feedback, "http://fuzz.example/page"));
    std::size_t given = 0, out_bytes = 0;
    std::string client;
    bool declined = false;
    for (const auto& p : pieces) {
        byte_string piece = p;
        given += piece.size();
        if (!h->update_in(piece)) {
            declined = true;
            break;
        }
        out_bytes += piece.size();
        client += piece;
        if (wide && piece.size() % 2 != 0) return "the wide parser handed out half a UTF-16 unit";
    }
    if (!declined) {
        byte_string tail;
        h->stop(tail);
        out_bytes += tail.size();
        client += tail;
        if (wide && (out_bytes % 2) != (given % 2)) return "the wide parser lost or invented an odd byte";
        // With everything allowed and no stop words a page is not edited.
        if (qual && q.allows_all() && stop_words.empty() && client != text) return "an allowed page came out changed";
    }
    return {};
}

// ---------------------------------------------------------------------------
// script_text: a script document through the script filter, and text
// through the stop-word handler, with word lists and a policy from the input.
inline std::string run_script_text(const std::uint8_t* data, std::size_t size) {
    quiet_logs();
    ads_matcher::reset();
    host_scope hs;
    input_reader in(data, size);
    const std::uint8_t mode = in.byte();
    fuzz_qualifier q;
    q.fill_from(in);
    const std::vector<std::string> stop_words = words_from(in, 6);
    hs.host.set_reply(zem::codes::http_query_stop_words, kit::word_list_reply(stop_words));
    hs.host.set_reply(zem::codes::http_check_script, in.short_text());
    stub_connection_feedback feedback;
    const std::string text = in.take(std::size_t(in.u16()) % 8192);
    const std::vector<std::string> pieces = chunk_by_input(text, in);
    if (mode & 1) {
        html::java_parser_sub_handler script(&q, &feedback);
        std::string got;
        bool declined = false;
        for (const auto& p : pieces) {
            byte_string piece = p;
            if (!script.update_in(piece)) {
                declined = true;
                break;
            }
            got += piece;
        }
        if (!declined) {
            byte_string tail;
            script.stop(tail);
            got += tail;
            // Nothing is filtered when scripts are allowed and not checked.
            if (q.allows_all() && got != text) return "an allowed script came out changed";
        }
    } else {
        html::narrow_html_sub_handler page(&q, &feedback);
        html::hyper_text_text_handler<char> words(&page, &feedback, &q);
        std::string got;
        for (const auto& p : pieces) {
            std::string piece = p;
            if (!words.update(piece)) break;
            got += piece;
        }
        std::string tail;
        words.stop(tail);
        got += tail;
        if (got.size() > text.size() + html::hyper_text_text_handler<char>::max_carry + 1024 * 1024)
            return "the text handler produced far more than it was given";
    }
    return {};
}

// ---------------------------------------------------------------------------
// decoders: gzip / deflate (arbitrary input, or input compressed here so the
// decoded text is known), UTF-7 and UTF-16 big-endian adapters in front of a
// target that passes everything through.
class collecting_target : public i_sub_handler {
public:
    std::string seen;
    std::size_t decline_after = 0;
    bool update_in(byte_string& data) override {
        seen += data;
        return !(decline_after && seen.size() >= decline_after);
    }
    void stop(byte_string&) override {}
};

inline std::string run_decoders(const std::uint8_t* data, std::size_t size) {
    quiet_logs();
    input_reader in(data, size);
    const std::uint8_t mode = in.byte();
    const std::uint8_t sub = in.byte();
    switch (mode % 4) {
        case 0: {  // gzip / deflate
            const bool deflate = (sub & 1) != 0;
            const bool known = (sub & 2) != 0;
            const std::size_t bound = (sub & 4) ? std::size_t(in.byte()) + 1 : 0;
            std::string plain, coded, junk;
            if (known) {
                plain = in.take(std::size_t(in.u16()) % 16384);
                const kit::zwrap w = deflate ? ((sub & 8) ? kit::zwrap::raw : kit::zwrap::zlib) : kit::zwrap::gzip;
                coded = kit::compress(plain, w, (sub >> 4) % 10);
                // Junk after the end of the stream is not part of the body.
                if (sub & 0x80) junk = in.short_text();
                coded += junk;
            } else {
                coded = in.take(std::size_t(in.u16()) % 16384);
            }
            auto target = std::make_shared<collecting_target>();
            int ends = 0;
            content_encoding_gzip dec(deflate, target, [&ends] { ++ends; });
            if (bound) dec.set_output_bound(bound);
            std::string client;
            bool gave_up = false;
            for (const auto& p : chunk_by_input(coded, in)) {
                byte_string piece = p;
                if (!dec.update_in(piece)) {
                    gave_up = true;
                    client += piece;
                    break;
                }
                client += piece;
                for (int guard = 0; dec.has_pending_output() && guard < 100000; ++guard) {
                    byte_string more;
                    if (!dec.update_in(more)) return "a pull of pending output failed";
                    client += more;
                }
                if (dec.has_pending_output()) return "pending output never drained";
            }
            if (!gave_up) {
                byte_string tail;
                dec.stop(tail);
                client += tail;
            }
            if (ends > 1) return "the end of the stream was reported twice";
            // "Junk" that starts with the gzip magic right after the stream
            // is a concatenated member, and may well decode: only the text
            // before it is known.
            if (known && !deflate && !junk.empty() && junk[0] == '\x1f') {
                if (gave_up) return "valid compressed data was taken for plain data";
                if (client.compare(0, plain.size(), plain) != 0)
                    return "decoded text does not start with the first member";
            } else if (known) {
                if (gave_up) return "valid compressed data was taken for plain data";
                if (client != plain) return "decoded text differs from what was compressed";
                if (target->seen != plain) return "the target saw other text than was compressed";
                // Raw deflate has no trailer to end on; the wrapped forms do.
                const bool raw = deflate && (sub & 8);
                // (With junk after it, a lone trailing 0x1f may yet start
                // another gzip member, so the end waits for the body's end.)
                if (!raw && !(sub & 0x80) && ends != 1) return "the end of a complete stream was not reported";
                if (!raw && ends > 1) return "the end was reported more than once";
            } else if (gave_up && client != coded.substr(0, client.size())) {
                return "an undecodable body was not handed back unchanged";
            }
            break;
        }
        case 1: {  // UTF-16 big-endian to little-endian and back
            collecting_target target;
            if (sub & 1) target.decline_after = std::size_t(in.byte()) + 1;
            big_endian_to_little_endian swapper(&target);
            const std::string text = in.take(std::size_t(in.u16()) % 8192);
            std::string client;
            bool declined = false;
            for (const auto& p : chunk_by_input(text, in)) {
                byte_string piece = p;
                if (!swapper.update_in(piece)) declined = true;
                client += piece;
                if (declined) break;
            }
            if (!declined) {
                byte_string tail;
                swapper.stop(tail);
                client += tail;
                if (client != text) return "the byte-swapping adapter changed the text";
                std::string le;
                for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
                    le += text[i + 1];
                    le += text[i];
                }
                if (target.seen.substr(0, le.size()) != le) return "the target did not see little-endian text";
            }
            break;
        }
        default: {  // UTF-7 to UTF-16 and back out as UTF-7 or UTF-8
            collecting_target target;
            if (sub & 2) target.decline_after = std::size_t(in.byte()) + 1;
            http_charset_utf7_encoder enc(&target, (sub & 1) != 0);
            const std::string text = in.take(std::size_t(in.u16()) % 8192);
            std::size_t out_bytes = 0;
            for (const auto& p : chunk_by_input(text, in)) {
                byte_string piece = p;
                if (!enc.update_in(piece)) break;
                out_bytes += piece.size();
                if (enc.held() > utf7_run_hold_bound + 16) return "the UTF-7 adapter held more than its bound";
            }
            byte_string tail;
            enc.stop(tail);
            out_bytes += tail.size();
            if (target.seen.size() % 2 != 0) return "the wide target was given half a UTF-16 unit";
            if (text.find_first_of("+\x80") == std::string::npos && (sub & 1) == 0 && !(sub & 2) &&
                target.seen.size() != text.size() * 2)
                return "plain ASCII did not become one UTF-16 unit per byte";
            (void)out_bytes;
            break;
        }
    }
    return {};
}

// ---------------------------------------------------------------------------
// gif: the GIF filter over one or more images in a row, with a policy from
// the input. When the tail frames are allowed the image passes unchanged.
inline std::string run_gif(const std::uint8_t* data, std::size_t size) {
    quiet_logs();
    host_scope hs;
    input_reader in(data, size);
    const std::uint8_t mode = in.byte();
    fuzz_qualifier q;
    if (mode & 1) q.permissions[idx_gif_animation_tail_frames] = content_action_block;
    if (mode & 2) q.permissions[idx_gif_animation] = content_action_block;
    stub_connection_feedback feedback;
    gif_filter gif((mode & 4) ? nullptr : &q, (mode & 8) ? "http://fuzz.example/a.gif" : "http://fuzz.example/a",
                   &feedback);
    const int images = 1 + (mode >> 4) % 3;
    for (int k = 0; k < images && !in.empty(); ++k) {
        const std::string image = in.take(std::size_t(in.u16()) % 8192);
        std::string client;
        bool declined = false;
        for (const auto& p : chunk_by_input(image, in)) {
            byte_string piece = p;
            if (!gif.update_in(piece)) declined = true;
            client += piece;
            if (declined) break;
        }
        if (declined) break;
        byte_string tail;
        gif.stop(tail);
        client += tail;
        const bool unchanged_expected = (mode & 4) || (!(mode & 1) && !(mode & 2));
        // Broken content from an address that promises a GIF is suppressed
        // from where it breaks; otherwise an allowed image is untouched.
        const bool suppressed =
            (mode & 8) && client.size() < image.size() && image.compare(0, client.size(), client) == 0;
        if (unchanged_expected && client != image && !suppressed) return "an allowed image came out changed";
        if (!unchanged_expected && client.size() > image.size() + 1) return "a cut image grew by more than its trailer";
    }
    return {};
}

// ---------------------------------------------------------------------------
// whole_chain: a filter point from create_filt_point, a host whose policy
// and word lists come from the input, and traffic that is mostly HTTP built
// from input bytes.
struct traffic {
    std::vector<std::string> requests;
    std::vector<std::string> responses;
    std::vector<bool> head;            // per request: a HEAD request
    std::vector<std::string> decoded;  // per response: the body before gzip, empty when not encoded
    bool last_close_delimited = false;
};

inline std::string make_request(input_reader& in, std::size_t i, bool allow_head, bool& head) {
    static const char* const paths[] = {"/", "/index.html", "/a.gif", "/s.js", "/f.swf", "/img.png", "/x?q=1"};
    const std::uint8_t kind = in.byte();
    std::string path = paths[kind % 7];
    if (kind & 0x80) path += "/" + std::to_string(i);
    head = allow_head && (kind & 0x88) == 0x88;
    const bool post = !head && (kind & 0x08) != 0;
    std::string r = std::string(head   ? "HEAD "
                                : post ? "POST "
                                       : "GET ") +
                    path + " HTTP/1.1\r\nHost: h" + std::to_string(kind % 3) + ".example\r\n";
    if (kind & 0x10) r += "Cookie: id=" + std::to_string(in.byte()) + "\r\n";
    if (kind & 0x20) r += "Referer: http://r.example/" + std::to_string(in.byte()) + "\r\n";
    if (kind & 0x40) r += "Accept: */*\r\n";
    if (post) {
        std::string body = in.take(in.byte());
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    } else {
        r += "\r\n";
    }
    return r;
}

inline std::string make_response(input_reader& in, bool last, bool head, bool& close_delimited, std::string& decoded) {
    static const char* const types[] = {"text/html",
                                        "text/plain",
                                        "image/gif",
                                        "application/x-javascript",
                                        "application/octet-stream",
                                        "text/html; charset=utf-8",
                                        "image/png"};
    static const int statuses[] = {200, 200, 200, 404, 500, 302};
    const std::uint8_t kind = in.byte();
    const int status = statuses[kind % 6];
    std::string body = in.take(std::size_t(in.u16()) % 2048);
    if (head) {
        // The headers of the entity, no body.
        std::string r = std::string((kind & 0x40) ? "HTTP/1.0 " : "HTTP/1.1 ") + std::to_string(status) +
                        " X\r\nContent-Type: " + types[(kind >> 3) % 7] + "\r\n";
        if (kind & 0x80) return r + "Transfer-Encoding: chunked\r\n\r\n";
        return r + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    }
    if (in.byte() % 8 == 7) {
        // No body whatever the headers say.
        return std::string((kind & 1) ? "HTTP/1.1 304 Not Modified\r\n" : "HTTP/1.1 204 No Content\r\n") +
               ((kind & 2) ? "Content-Type: text/html\r\n" : "") + "\r\n";
    }
    // HTML bodies are made to look like HTML a good part of the time.
    if ((kind & 0x30) == 0x10) body = "<html><body>" + body + "</body></html>";
    std::string r = "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + types[(kind >> 3) % 7] + "\r\n";
    decoded.clear();
    if (in.byte() % 4 == 0 && !body.empty()) {
        decoded = body;
        body = kit::gzip(body);
        r += "Content-Encoding: gzip\r\n";
    }
    const int framing = (kind >> 6) % 3 + ((kind & 0x40) && last ? 1 : 0);
    close_delimited = false;
    if (framing == 0 || (framing == 3 && !last)) {
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    } else if (framing == 1 || framing == 2) {
        r += "Transfer-Encoding: chunked\r\n\r\n" + kit::chunked(body, [&in] { return std::size_t(in.byte()) + 1; });
    } else {
        r += "Connection: close\r\n\r\n" + body;
        close_delimited = true;
    }
    return r;
}

inline std::string run_whole_chain(const std::uint8_t* data, std::size_t size) {
    quiet_logs();
    static const bool isolated = [] {
        platform::reg_override_isolate(true);
        return true;
    }();
    (void)isolated;
    ads_matcher::reset();
    input_reader in(data, size);
    host_scope hs;
    const std::uint8_t mode = in.byte();
    const bool allow_all = (mode & 1) != 0;
    const bool garbage = (mode & 0x0e) == 0x0e;

    // The policy.
    std::int32_t perms[permission_array_words] = {};
    std::vector<std::string> ad_words, stop_words;
    if (!allow_all) {
        for (int i = 0; i < idx_count; ++i) perms[i] = fuzz_qualifier::action_from(in.byte());
        ad_words = words_from(in, 4);
        stop_words = words_from(in, 4);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
        for (std::size_t n = in.byte() % 4; n; --n) sizes.emplace_back(in.u16() % 600, in.u16() % 600);
        hs.host.set_reply(zem::codes::http_query_ads_block_sizes, kit::ads_sizes_reply(sizes));
        hs.host.set_reply(zem::codes::do_learn_for_index, std::string(1, char(in.byte() & 1)) + kit::le32_bytes(0));
    }
    hs.host.set_reply(zem::codes::general_query_permission_array, kit::permission_reply_of(perms));
    hs.host.set_reply(zem::codes::http_query_ads_block_words, kit::ads_words_reply(ad_words, 0));
    hs.host.set_reply(zem::codes::http_query_stop_words, kit::word_list_reply(stop_words));

    kit::capturing_provider provider;
    zem::i_filt_point* point = create_filt_point(&provider, 3);
    if (!point) return "no filter point";
    auto out = [&](const std::string& s) { point->update_out(s.data(), static_cast<int>(s.size())); };
    auto to_client = [&](const std::string& s) { point->update_in(s.data(), static_cast<int>(s.size())); };

    std::string result;
    if (garbage) {
        std::string client, server;
        // A connection whose first client bytes cannot start a request is
        // not HTTP: the filter steps aside and every byte passes untouched.
        bool not_http = false, first = true;
        while (!in.empty()) {
            const std::uint8_t op = in.byte();
            std::string piece = in.take(std::size_t(in.byte()) + 1);
            if (first && (op & 1) && !piece.empty()) not_http = !(piece[0] >= 'A' && piece[0] <= 'Z');
            if (!piece.empty()) first = false;
            if (op & 1) {
                client += piece;
                out(piece);
            } else {
                server += piece;
                to_client(piece);
            }
        }
        point->stop_in();
        point->stop_out();
        if ((allow_all || not_http) && provider.out != client) result = "the server did not receive the client's bytes";
        if (not_http && provider.in != server) result = "the client did not receive the server's bytes";
        point->release();
        return result;
    }

    traffic t;
    const std::size_t count = 1 + in.byte() % 4;
    for (std::size_t i = 0; i < count && !in.empty(); ++i) {
        bool head = false;
        t.requests.push_back(make_request(in, i, allow_all, head));
        t.head.push_back(head);
        bool close = false;
        std::string decoded;
        t.responses.push_back(make_response(in, i + 1 == count, head, close, decoded));
        t.decoded.push_back(decoded);
        if (close) {
            t.last_close_delimited = true;
            break;
        }
    }
    std::string client, server;
    for (auto& r : t.requests) client += r;

    if (allow_all) {
        // Pipelined and interleaved: a response's bytes go only after its
        // request has been sent whole.
        std::vector<std::size_t> request_end, response_end;
        std::size_t a = 0, b = 0;
        for (std::size_t i = 0; i < t.requests.size(); ++i) {
            a += t.requests[i].size();
            b += t.responses[i].size();
            request_end.push_back(a);
            response_end.push_back(b);
            server += t.responses[i];
        }
        std::size_t cpos = 0, spos = 0;
        while (cpos < client.size() || spos < server.size()) {
            const std::uint8_t op = in.byte();
            std::size_t n = std::size_t(in.byte()) + 1;
            if (op & 0x80) n *= 37;
            // How far the server may go: through the responses whose
            // requests are complete.
            std::size_t limit = 0;
            for (std::size_t i = 0; i < request_end.size() && request_end[i] <= cpos; ++i) limit = response_end[i];
            const bool want_client = (op & 1) || spos >= limit;
            if (want_client && cpos < client.size()) {
                n = std::min(n, client.size() - cpos);
                out(client.substr(cpos, n));
                cpos += n;
            } else if (spos < limit) {
                n = std::min(n, limit - spos);
                to_client(server.substr(spos, n));
                spos += n;
            } else if (cpos < client.size()) {
                n = std::min(n, client.size() - cpos);
                out(client.substr(cpos, n));
                cpos += n;
            }
        }
    } else {
        // One exchange at a time: a response goes only when its request
        // reached the server (a blocked one is answered by the filter).
        std::size_t forwarded = 0;
        for (std::size_t i = 0; i < t.requests.size(); ++i) {
            for (const auto& p : chunk_by_input(t.requests[i], in)) out(p);
            std::vector<kit::http_message> reqs;
            kit::parse_requests(provider.out, reqs);
            if (reqs.size() > forwarded) {
                forwarded = reqs.size();
                server += t.responses[i];
                for (const auto& p : chunk_by_input(t.responses[i], in)) to_client(p);
            }
        }
    }
    point->stop_in();
    point->stop_out();

    if (whole_chain_trace)
        *whole_chain_trace = "--- client sent\n" + client + "\n--- server received\n" + provider.out +
                             "\n--- server sent\n" + server + "\n--- client received\n" + provider.in;
    std::vector<kit::http_message> got;
    const std::string framing = kit::parse_responses(provider.in, got, t.head);
    if (!framing.empty()) {
        result = "the client received invalid framing: " + framing;
    } else if (allow_all) {
        if (provider.out != client) {
            result = "the server did not receive the client's requests unchanged";
        } else {
            std::vector<kit::http_message> sent;
            if (kit::parse_responses(server, sent, t.head).empty()) {
                // Content served as a GIF that breaks the GIF structure is
                // suppressed from where it breaks, allowed or not.
                for (std::size_t i = 0; i < sent.size() && i < got.size(); ++i) {
                    // A gzip body reaches the client either as sent or
                    // decoded, without its Content-Encoding line.
                    if (i < t.decoded.size() && !t.decoded[i].empty() &&
                        kit::header_value(got[i], "Content-Encoding").empty()) {
                        auto& h = sent[i].headers;
                        h.erase(std::remove_if(h.begin(), h.end(),
                                               [](const std::pair<std::string, std::string>& f) {
                                                   return f.first == "Content-Encoding";
                                               }),
                                h.end());
                        sent[i].body = t.decoded[i];
                    }
                    if (kit::header_value(sent[i], "Content-Type") != "image/gif") continue;
                    if (got[i].body.size() < sent[i].body.size() &&
                        sent[i].body.compare(0, got[i].body.size(), got[i].body) == 0)
                        sent[i].body = got[i].body;
                }
                const std::string diff = kit::same_apart_from_framing(sent, got);
                if (!diff.empty()) result = "the client received other messages than were sent: " + diff;
            }
        }
    }
    point->release();
    return result;
}

}  // namespace fuzz_drivers
