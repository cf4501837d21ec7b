#include "kit/transcript.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "core/bunch_filter.h"
#include "kit/kit.h"

namespace kit {

namespace {

std::string unescape(const std::string& s) {
    std::string r;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            r += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'r') {
            r += '\r';
        } else if (c == 'n') {
            r += '\n';
        } else if (c == 'x' && i + 2 < s.size()) {
            r += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            r += c;
        }
    }
    return r;
}

}  // namespace

std::string transcript::all(bool out) const {
    std::string r;
    for (const auto& s : steps)
        if (s.out == out) r += s.bytes;
    return r;
}

std::vector<transcript::step> transcript::joined() const {
    std::vector<step> r;
    for (const auto& s : steps) {
        if (!r.empty() && r.back().out == s.out)
            r.back().bytes += s.bytes;
        else
            r.push_back(s);
    }
    return r;
}

transcript load_transcript(const std::string& relative) {
    transcript t;
    std::ifstream f(std::string(ZEM_TEST_DATA_DIR) + "/" + relative, std::ios::binary);
    EXPECT_TRUE(f.good()) << "cannot read tests/data/" << relative;
    std::string line;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t colon = line.find(": ");
        const std::string tag = colon == std::string::npos ? line : line.substr(0, colon);
        const std::string text = colon == std::string::npos ? std::string() : unescape(line.substr(colon + 2));
        if (tag == "expect")
            t.expect.push_back(text);
        else if (tag == "out" || tag == "in")
            t.steps.push_back({tag == "out", text + "\r\n"});
        else if (tag == "out+" || tag == "in+")
            t.steps.push_back({tag == "out+", text});
        else
            ADD_FAILURE() << relative << ": unknown line " << line;
    }
    return t;
}

namespace {

fed feed(const std::vector<transcript::step>& steps,
         const std::function<std::shared_ptr<i_stream_filter>(i_connection_feedback*)>& make, const chunker& cut,
         const std::function<void()>& after, bool close) {
    capturing_provider p;
    auto* fp =
        new bunch_filter(&p, 1, [&](i_connection_feedback* fb, filter_chain& chain) { chain.push_back(make(fb)); });
    for (const auto& s : steps)
        for (const std::string& c : cut(s.bytes)) {
            if (s.out)
                fp->update_out(c.data(), static_cast<int>(c.size()));
            else
                fp->update_in(c.data(), static_cast<int>(c.size()));
            if (after) after();
        }
    fed r;
    r.chain_empty = fp->chain().empty();
    if (close) {
        fp->stop_in();
        fp->stop_out();
    }
    fp->release();
    r.out = p.out;
    r.in = p.in;
    return r;
}

}  // namespace

fed feed_steps(const std::vector<transcript::step>& steps,
               const std::function<std::shared_ptr<i_stream_filter>(i_connection_feedback*)>& make, const chunker& cut,
               const std::function<void()>& after, bool end_streams) {
    return feed(steps, make, cut, after, end_streams);
}

fed feed_steps_and_close(const std::vector<transcript::step>& steps,
                         const std::function<std::shared_ptr<i_stream_filter>(i_connection_feedback*)>& make,
                         const chunker& cut) {
    return feed(steps, make, cut, {}, true);
}

void for_every_chunking(
    const transcript& t,
    const std::function<void(const std::vector<transcript::step>&, const chunker&, const std::string& how)>& check) {
    const chunker whole = [](const std::string& s) { return std::vector<std::string>{s}; };
    check(t.steps, whole, "whole");
    check(t.joined(), whole, "joined");
    check(t.steps, one_byte_chunks, "one byte at a time");
    const std::uint32_t seed = test_seed();
    check(
        t.joined(), [seed](const std::string& s) { return random_chunks(s, seed, 7); }, "random chunks");
    for (std::size_t k = 0; k < t.steps.size(); ++k)
        for (std::size_t at = 1; at < t.steps[k].bytes.size(); ++at) {
            if (::testing::Test::HasFailure()) return;
            std::size_t n = 0;
            check(
                t.steps, [&](const std::string& s) { return n++ == k ? split_at(s, at) : std::vector<std::string>{s}; },
                "step " + std::to_string(k) + " split at " + std::to_string(at));
        }
}

void save_got(const std::string& relative, const std::string& text) {
    std::ofstream(std::string(ZEM_TEST_DATA_DIR) + "/" + relative + ".got", std::ios::binary) << text;
}

}  // namespace kit
