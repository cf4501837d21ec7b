// A 1 MB page through the HTML filter, narrow and UTF-16, with every option
// allowed and with the advertisement rules on, beside a memcpy of the page.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/ipc_permission_qualifier.h"
#include "html/html_sub_handlers.h"
#include "match/multiple_matcher.h"

namespace {

// Dense markup: navigation, tables, images (some of them banners and
// advertisement links), inline scripts with pop-up calls, comments, text.
std::string make_page(std::size_t n) {
    std::string s =
        "<!DOCTYPE html><html><head><title>bench</title>\n"
        "<script type=\"text/javascript\">function go(u){ var w = window.open(u, 'x'); return false; }</script>\n"
        "</head><body onload=\"init()\">\n";
    unsigned x = 2463534242u;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    while (s.size() < n) {
        const unsigned r = next();
        const std::string id = std::to_string(r % 100000);
        switch (r % 10) {
            case 0:
                s += "<div class=\"nav\"><a href=\"/section/" + id + "/\">Section " + id +
                     "</a> | <a href=\"/more\">More</a></div>\n";
                break;
            case 1:
                s += "<table width=\"100%\"><tr><td class=\"c\">Cell " + id + "</td><td><b>" + id +
                     "</b></td></tr></table>\n";
                break;
            case 2:
                s += "<img src=\"/img/photo" + id + ".jpg\" width=\"120\" height=\"90\" alt=\"photo\">\n";
                break;
            case 3:
                s += "<a href=\"http://adserver.test/click?id=" + id + "\"><img src=\"http://adserver.test/b/" + id +
                     ".gif\" width=\"468\" height=\"60\"></a>\n";
                break;
            case 4:
                s += "<script>var v" + id + " = '" + id + "'; if (a < b) { document.write(\"<b>\" + v" + id +
                     " + \"</b>\"); }</script>\n";
                break;
            case 5:
                s += "<!-- block " + id +
                     " --><p class=\"t\">Lorem ipsum dolor sit amet, consectetur adipiscing elit, "
                     "sed do eiusmod tempor incididunt ut labore et dolore magna aliqua.</p>\n";
                break;
            case 6:
                s += "<img src=\"/banners/top" + id + ".gif\" width=\"728\" height=\"90\">\n";
                break;
            case 7:
                s += "<p>Ut enim ad minim veniam, quis nostrud exercitation ullamco laboris nisi ut aliquip ex ea "
                     "commodo consequat. Item " +
                     id + " &amp; more.</p>\n";
                break;
            case 8:
                s += "<script>function p" + id + "(){ self.open('/popup/" + id + "'); }</script>\n";
                break;
            default:
                s += "<ul><li><a href=\"/l/" + id + "\">Link " + id + "</a></li><li>Plain item</li></ul>\n";
                break;
        }
    }
    s += "</body></html>\n";
    return s;
}

class bench_qualifier : public stub_permission_qualifier {
public:
    bench_qualifier() {
        m_permissions[idx_ads_by_link] = content_action_block;
        m_permissions[idx_ads_by_size] = content_action_block;
        m_permissions[idx_popups] = content_action_block;
        m_words.assign(std::vector<byte_string>{"adserver.test", "/banners/", "doubleclick"});
    }
    std::int32_t* get_permissions() override { return m_permissions; }
    bool get_permission_by_index(int index) override { return m_permissions[index] != content_action_block; }
    bool is_restricted(int index) override { return m_permissions[index] != 0; }
    bool check_ad_link(const byte_string& url, byte_string& keyword) override {
        std::size_t b, e;
        bool partial;
        return !m_words.search(url, keyword, b, e, partial);
    }
    bool check_ad_link(const wide_string& url, byte_string& keyword) override {
        return check_ad_link(byte_string(url.begin(), url.end()), keyword);
    }
    bool check_ad_size(int width, int height) override { return m_sizes.count({width, height}) == 0; }

private:
    std::int32_t m_permissions[permission_array_words] = {};
    multiple_matcher m_words;
    std::set<std::pair<int, int>> m_sizes = {{468, 60}, {728, 90}};
};

// ZEM_BENCH_PAGE names a page of one's own to measure instead.
const std::string& page() {
    static const std::string p = [] {
        if (const char* file = std::getenv("ZEM_BENCH_PAGE")) {
            std::ifstream in(file, std::ios::binary);
            std::ostringstream all;
            all << in.rdbuf();
            if (in && !all.str().empty()) return all.str();
            std::fprintf(stderr, "cannot read %s; measuring the built-in page\n", file);
        }
        return make_page(1 << 20);
    }();
    return p;
}

const std::string& page_utf16() {
    static const std::string p = [] {
        std::string w;
        for (char c : page()) {
            w += c;
            w += '\0';
        }
        return w;
    }();
    return p;
}

template <class Handler>
void run_filter(benchmark::State& state, const std::string& input, bool ads) {
    stub_connection_feedback fb;
    const std::size_t chunk = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        bench_qualifier strict;
        stub_permission_qualifier open;
        Handler h(ads ? static_cast<host_permission_qualifier*>(&strict) : &open, &fb);
        std::size_t out = 0;
        for (std::size_t at = 0; at < input.size(); at += chunk) {
            std::string c = input.substr(at, chunk);
            h.update_in(c);
            out += c.size();
        }
        std::string last;
        h.stop(last);
        benchmark::DoNotOptimize(out += last.size());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(input.size()));
}

void bm_memcpy(benchmark::State& state) {
    const std::string& in = page();
    std::string out(in.size(), '\0');
    for (auto _ : state) {
        std::memcpy(&out[0], in.data(), in.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(in.size()));
}

// The floor for a streaming tag rewriter: find every '<' and its '>' and
// copy the page piece by piece.
void bm_plain_tag_scan(benchmark::State& state) {
    const std::string& in = page();
    for (auto _ : state) {
        std::string out;
        out.reserve(in.size());
        std::size_t at = 0;
        std::size_t tags = 0;
        while (at < in.size()) {
            std::size_t lt = in.find('<', at);
            if (lt == std::string::npos) lt = in.size();
            out.append(in, at, lt - at);
            if (lt == in.size()) break;
            std::size_t gt = in.find('>', lt);
            if (gt == std::string::npos) gt = in.size() - 1;
            out.append(in, lt, gt + 1 - lt);
            ++tags;
            at = gt + 1;
        }
        benchmark::DoNotOptimize(tags);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(in.size()));
}

void bm_narrow_allowed(benchmark::State& s) { run_filter<html::narrow_html_sub_handler>(s, page(), false); }
void bm_narrow_ads(benchmark::State& s) { run_filter<html::narrow_html_sub_handler>(s, page(), true); }
void bm_wide_allowed(benchmark::State& s) { run_filter<html::wide_html_sub_handler>(s, page_utf16(), false); }
void bm_wide_ads(benchmark::State& s) { run_filter<html::wide_html_sub_handler>(s, page_utf16(), true); }

}  // namespace

BENCHMARK(bm_memcpy);
BENCHMARK(bm_plain_tag_scan);
BENCHMARK(bm_narrow_allowed)->Arg(16384)->Arg(1460);
BENCHMARK(bm_narrow_ads)->Arg(16384)->Arg(1460);
BENCHMARK(bm_wide_allowed)->Arg(16384);
BENCHMARK(bm_wide_ads)->Arg(16384);
BENCHMARK_MAIN();
