// The exchanges under tests/data/http: each file is pushed through a filter
// point whole, split at every offset of every step, and one byte at a time;
// every way must give the same bytes on both sides and the same events.
#include <fstream>
#include <map>
#include <sstream>

#include "http/http_handler_factory.h"
#include "kit/exchange.h"
#include "kit/http.h"

using namespace kit;

namespace {

int permission_index(const std::string& name) {
    static const std::map<std::string, int> k = {{"cookies", idx_cookies},
                                                 {"referers", idx_referers},
                                                 {"flash", idx_flash},
                                                 {"host", idx_host_enable},
                                                 {"ads", idx_ads_by_link}};
    auto it = k.find(name);
    if (it == k.end()) throw std::runtime_error("unknown permission " + name);
    return it->second;
}

void configure(session& t, const kit::exchange& x) {
    for (const std::string& d : x.directives) {
        std::istringstream in(d);
        std::string word, arg;
        in >> word >> arg;
        if (word == "deny") {
            t.qual->block(permission_index(arg));
        } else if (word == "ad") {
            t.qual->every_link_is_ad = true;
        } else if (word == "drop") {
            t.html->drop = arg.at(0);
        } else if (word == "engine") {
            // The engine's own handler for one slot instead of the recorder.
            t.adjust_hooks = [prev = t.adjust_hooks, arg](http_handler_hooks& h) {
                if (prev) prev(h);
                http_handler_hooks e = default_http_handler_hooks();
                if (arg == "gif")
                    h.gif = e.gif;
                else if (arg == "decoder")
                    h.decoder = e.decoder;
                else
                    throw std::runtime_error("unknown engine slot " + arg);
            };
        } else {
            throw std::runtime_error("unknown directive " + word);
        }
    }
}

struct outcome {
    std::string to_server, to_client;
    std::vector<std::string> events;
    int closes = 0;
    std::vector<std::string> counted;  // the events with the byte counts they report
};

outcome run(const kit::exchange& x, std::size_t split_step, const std::vector<std::string>& pieces) {
    session t;
    configure(t, x);
    t.open();
    for (std::size_t i = 0; i < x.steps.size(); ++i) {
        const kit::exchange_step& s = x.steps[i];
        std::vector<std::string> chunks = i == split_step ? pieces : std::vector<std::string>{s.bytes};
        switch (s.kind) {
            case kit::exchange_step::out:
                t.out(chunks);
                break;
            case kit::exchange_step::in:
                t.in(chunks);
                break;
            case kit::exchange_step::stop_out:
                t.point->stop_out();
                break;
            case kit::exchange_step::stop_in:
                t.point->stop_in();
                break;
        }
    }
    return {t.provider.out, t.provider.in, kit::notification_events(t.host), t.provider.close_in_count,
            kit::notification_events(t.host, true)};
}

std::string joined(const std::vector<std::string>& v) {
    std::string r;
    for (const auto& s : v) r += s + "\n";
    return r;
}

// 'whole': the run with every step in one piece; the bytes a transfer
// reports must not depend on how the stream was cut.
void check(const kit::exchange& x, const outcome& got, const std::string& how, const outcome* whole = nullptr) {
    if (whole) {
        EXPECT_EQ(joined(got.counted), joined(whole->counted)) << x.name << " (" << how << ")";
    }
    bool ok = got.to_server == x.to_server && got.to_client == x.to_client &&
              (!x.has_events || got.events == x.events) && (!x.has_closes || got.closes == x.closes);
    if (ok) return;
    std::string path = std::string(ZEM_TEST_DATA_DIR) + "/http/" + x.name + ".got";
    std::ofstream(path, std::ios::binary) << "=== to-server\n"
                                          << kit::escape_bytes(got.to_server) << "\n=== to-client\n"
                                          << kit::escape_bytes(got.to_client) << "\n=== events\n"
                                          << joined(got.events) << "=== closes\n"
                                          << got.closes << "\n";
    ADD_FAILURE() << x.name << " (" << how << "), got written to " << path;
    EXPECT_EQ(kit::escape_bytes(got.to_server), kit::escape_bytes(x.to_server)) << x.name;
    EXPECT_EQ(kit::escape_bytes(got.to_client), kit::escape_bytes(x.to_client)) << x.name;
    if (x.has_events) {
        EXPECT_EQ(joined(got.events), joined(x.events)) << x.name;
    }
    if (x.has_closes) {
        EXPECT_EQ(got.closes, x.closes) << x.name;
    }
}

class http_exchange : public ::testing::TestWithParam<std::string> {};

TEST_P(http_exchange, same_result_in_every_chunking) {
    const kit::exchange x = kit::load_exchange(GetParam());
    ASSERT_FALSE(x.steps.empty());
    const outcome whole = run(x, x.steps.size(), {});
    check(x, whole, "whole");
    for (std::size_t i = 0; i < x.steps.size(); ++i) {
        const std::string& b = x.steps[i].bytes;
        if (b.size() < 2) continue;
        // The client's first chunk must hold its first line: recognition
        // looks at that chunk alone.
        std::size_t from = i == 0 ? b.find('\n') + 1 : 1;
        for (std::size_t at = from; at < b.size(); ++at) {
            check(x, run(x, i, kit::split_at(b, at)), "step " + std::to_string(i) + " split at " + std::to_string(at),
                  &whole);
            if (HasFailure()) return;
        }
        if (i > 0)
            check(x, run(x, i, kit::one_byte_chunks(b)), "step " + std::to_string(i) + " one byte at a time", &whole);
        if (HasFailure()) return;
    }
}

std::vector<std::string> files() { return kit::exchange_files(std::string(ZEM_TEST_DATA_DIR) + "/http"); }

std::string case_name(const ::testing::TestParamInfo<std::string>& info) {
    std::string n = info.param.substr(info.param.find_last_of('/') + 1);
    n = n.substr(0, n.size() - 4);
    for (char& c : n)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(files, http_exchange, ::testing::ValuesIn(files()), case_name);
