#pragma once
// A filter point carrying only the HTTP filter, with a scripted policy, the
// fake host and handlers that record what reaches them.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/bunch_filter.h"
#include "host/host_link.h"
#include "http/http_stream_filter.h"
#include "kit/kit.h"
#include "kit/qualifier.h"

namespace kit {

// Records what it is given; optionally removes one character, appends a
// text at stop, or declines once it has seen a number of bytes.
class recording_handler : public i_sub_handler {
public:
    std::string seen;
    int stops = 0;
    char drop = 0;
    std::string at_stop;
    std::size_t decline_after = 0;  // 0: never

    bool update_in(byte_string& data) override {
        seen += data;
        if (decline_after && seen.size() >= decline_after) return false;
        if (drop) {
            std::string r;
            for (char c : data)
                if (c != drop) r += c;
            data.swap(r);
        }
        return true;
    }
    void stop(byte_string& data) override {
        ++stops;
        data += at_stop;
    }
};

// A toy content coding: every decoded byte is sent twice; '!' ends the
// stream. Feeds the owner's decoded target like a real decoder.
class doubling_decoder : public i_sub_handler {
public:
    explicit doubling_decoder(http_body_owner* owner) : m_owner(owner), m_target(owner->decoded_target()) {}
    bool update_in(byte_string& data) override {
        std::string out;
        for (char c : data) {
            if (m_ended) break;
            if (c == '!') {
                m_ended = true;
                continue;
            }
            if (m_half) out += c;
            m_half = !m_half;
        }
        data.clear();
        bool ok = m_target->update_in(out);
        if (m_ended && !m_end_told) {
            m_end_told = true;
            m_target->stop(out);
            m_owner->set_handler_finished();
        }
        data.swap(out);
        return ok;
    }
    void stop(byte_string& data) override {
        if (!m_end_told) m_target->stop(data);
    }

private:
    http_body_owner* m_owner;
    std::shared_ptr<i_sub_handler> m_target;
    bool m_half = false;
    bool m_ended = false;
    bool m_end_told = false;
};

// A decoder that turns every input byte into 'fan' copies of it: a body
// whose decoded size is far beyond what it sent.
class inflating_decoder : public i_sub_handler {
public:
    inflating_decoder(http_body_owner* owner, std::size_t fan) : m_target(owner->decoded_target()), m_fan(fan) {}
    bool update_in(byte_string& data) override {
        std::string out;
        out.reserve(data.size() * m_fan);
        for (char c : data) out.append(m_fan, c);
        data.swap(out);
        return m_target->update_in(data);
    }
    void stop(byte_string& data) override { m_target->stop(data); }

private:
    std::shared_ptr<i_sub_handler> m_target;
    std::size_t m_fan;
};

// Marks the text it passes to its target, so tests can see which adapter
// the sniffer chose.
class tagging_adapter : public i_sub_handler {
public:
    tagging_adapter(i_sub_handler* target, std::string tag, std::string* log)
        : m_target(target), m_tag(std::move(tag)), m_log(log) {}
    bool update_in(byte_string& data) override {
        *m_log += m_tag;
        return m_target->update_in(data);
    }
    void stop(byte_string& data) override { m_target->stop(data); }

private:
    i_sub_handler* m_target;
    std::string m_tag;
    std::string* m_log;
};

struct session {
    kit::capturing_provider provider;
    kit::fake_host host;
    std::shared_ptr<kit::test_qualifier> qual = std::make_shared<kit::test_qualifier>();
    std::shared_ptr<recording_handler> html = std::make_shared<recording_handler>();
    std::shared_ptr<recording_handler> wide = std::make_shared<recording_handler>();
    std::shared_ptr<recording_handler> script = std::make_shared<recording_handler>();
    std::shared_ptr<recording_handler> gif = std::make_shared<recording_handler>();
    std::string adapters;         // tags of the adapters used, in order
    std::size_t inflate_fan = 0;  // >0: the decoder is inflating_decoder
    int html_resets = 0;
    std::vector<byte_string> page_addresses;
    http_stream_filter* filter = nullptr;
    std::unique_ptr<bunch_filter> point;
    // Last word on the handlers (e.g. the engine's own GIF filter or decoders).
    std::function<void(http_handler_hooks&)> adjust_hooks;

    http_handler_hooks hooks() {
        http_handler_hooks h;
        h.html = [this](host_permission_qualifier*, i_connection_feedback*) {
            return http_content_slot{html, [this] { ++html_resets; },
                                     [this](const byte_string& a) { page_addresses.push_back(a); }};
        };
        h.wide_html = [this](host_permission_qualifier*, i_connection_feedback*) {
            return http_content_slot{wide, {}, {}};
        };
        h.script = [this](host_permission_qualifier*, i_connection_feedback*) {
            return http_content_slot{script, {}, {}};
        };
        h.gif = [this](host_permission_qualifier*, const byte_string&, i_connection_feedback*) {
            return std::shared_ptr<i_sub_handler>(gif);
        };
        h.decoder = [this](http_body_owner* owner, bool deflate) {
            adapters += deflate ? "[deflate]" : "[gzip]";
            if (inflate_fan) return http_decoder_slot{std::make_shared<inflating_decoder>(owner, inflate_fan), {}};
            return http_decoder_slot{std::make_shared<doubling_decoder>(owner), {}};
        };
        h.utf7 = [this](i_sub_handler* target, bool to_utf8) {
            return std::shared_ptr<i_sub_handler>(
                std::make_shared<tagging_adapter>(target, to_utf8 ? "[utf7>utf8]" : "[utf7>utf7]", &adapters));
        };
        h.utf16be = [this](i_sub_handler* target) {
            return std::shared_ptr<i_sub_handler>(std::make_shared<tagging_adapter>(target, "[swap]", &adapters));
        };
        h.qualifier = [this](i_connection_feedback*) { return std::shared_ptr<host_permission_qualifier>(qual); };
        if (adjust_hooks) adjust_hooks(h);
        return h;
    }

    session() {
        // The policy of whatever request the filter sets, with no replacement image.
        qual->follow_requests = true;
        qual->gif.clear();
        zem_io_commands::set_host_iface(&host);
    }
    ~session() {
        point.reset();
        zem_io_commands::set_host_iface(nullptr);
    }

    // Builds the filter point; call after configuring the members.
    void open() {
        point = std::make_unique<bunch_filter>(&provider, 7, [this](i_connection_feedback* fb, filter_chain& chain) {
            auto f = std::make_shared<http_stream_filter>(fb, hooks());
            filter = f.get();
            chain.push_back(f);
        });
    }

    void out(const std::string& s) { point->update_out(s.data(), static_cast<int>(s.size())); }
    void in(const std::string& s) { point->update_in(s.data(), static_cast<int>(s.size())); }
    void out(const std::vector<std::string>& chunks) {
        for (auto& c : chunks) out(c);
    }
    void in(const std::vector<std::string>& chunks) {
        for (auto& c : chunks) in(c);
    }
    bool attached() const { return point->chain_size() == 1; }
};

// Every way the tests cut a stream: whole, at every offset, one byte at a
// time, and random sizes from the printed seed.
inline std::vector<std::vector<std::string>> chunkings(const std::string& s, bool every_split = true) {
    std::vector<std::vector<std::string>> r;
    r.push_back({s});
    if (every_split)
        for (std::size_t i = 1; i < s.size(); ++i) r.push_back(kit::split_at(s, i));
    r.push_back(kit::one_byte_chunks(s));
    r.push_back(kit::random_chunks(s, kit::test_seed(), 37));
    r.push_back(kit::random_chunks(s, kit::test_seed() + 1, 3000));
    return r;
}

// The fields of a transfer-complete notification: request id, bytes, status.
struct completion {
    std::uint64_t id, bytes;
    std::uint32_t status;
};
inline std::vector<completion> completions(const kit::fake_host& host) {
    std::vector<completion> r;
    for (auto& n : host.notifications(2))
        r.push_back({kit::le64(n.data, 28), kit::le64(n.data, 36), kit::le32(n.data, 44)});
    return r;
}

}  // namespace kit
