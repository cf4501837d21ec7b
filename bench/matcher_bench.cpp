// Keyword matcher throughput: advertisement checks over realistic links with a
// few thousand host keywords, and a stop-word scan over page text. The memcpy
// run over the same bytes is the baseline the others read against.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/host_link.h"
#include "log/log.h"
#include "match/ads_matcher.h"
#include "match/multiple_matcher.h"
#include "platform/codepage.h"

namespace {

std::vector<std::string> make_ad_keywords(std::size_t count) {
    static const char* const stems[] = {"adserv",    "banner", "promo", "track",  "sponsor", "click",    "popunder",
                                        "affiliate", "advert", "pixel", "beacon", "adnet",   "campaign", "impress"};
    static const char* const shapes[] = {"/%s%u/",    "%s%u.",   ".%s-%u",     "/%s_%u",
                                         "%s%u*.gif", "/%s?%u/", "%s%u/*/img", "=%s%u&"};
    std::mt19937 rng(7);
    std::vector<std::string> words{"doubleclick.net", "/ads/", "/adframe", "googlesyndication", "/banners/*.gif"};
    char buf[96];
    while (words.size() < count) {
        const char* stem = stems[rng() % (sizeof stems / sizeof *stems)];
        const char* shape = shapes[rng() % (sizeof shapes / sizeof *shapes)];
        std::snprintf(buf, sizeof buf, shape, stem, static_cast<unsigned>(rng() % 100000));
        words.emplace_back(buf);
    }
    return words;
}

std::vector<std::string> make_links(std::size_t count) {
    static const char* const hosts[] = {"www.example.com",    "news.example.org",   "cdn.static-host.net",
                                        "img.photos.example", "shop.example.co.uk", "ad.doubleclick.net"};
    static const char* const paths[] = {"/news/2024/05/article-%u.html?ref=home&utm_source=front",
                                        "/images/thumbs/%u_small.jpg",
                                        "/static/js/app.%u.min.js",
                                        "/wiki/Special:Search?search=%u&go=Go",
                                        "/ads/slot%u.gif",
                                        "/css/site-%u.css",
                                        "/product/%u/reviews#top",
                                        "/video/embed/%u?autoplay=0"};
    std::mt19937 rng(11);
    std::vector<std::string> links;
    char buf[256];
    while (links.size() < count) {
        char path[160];
        std::snprintf(path, sizeof path, paths[rng() % (sizeof paths / sizeof *paths)],
                      static_cast<unsigned>(rng() % 1000000));
        std::snprintf(buf, sizeof buf, "http://%s%s", hosts[rng() % (sizeof hosts / sizeof *hosts)], path);
        links.emplace_back(buf);
    }
    return links;
}

std::size_t total_bytes(const std::vector<std::string>& v) {
    std::size_t n = 0;
    for (const auto& s : v) n += s.size();
    return n;
}

// Answers the two commands the advertisement matcher sends.
class bench_host : public zem::i_external_iface {
public:
    explicit bench_host(const std::vector<std::string>& words) {
        const std::size_t fixed = 9 + 16 * words.size();
        std::string refs, strings;
        put64(m_words, words.size());
        m_words.push_back('\x01');
        for (std::size_t k = 0; k < words.size(); ++k) {
            const std::string wide = platform::wide_to_utf16le(platform::ansi_to_wide(words[k]));
            put64(refs, fixed + strings.size() - (9 + 16 * k));
            put64(refs, wide.size());
            strings += wide;
            strings.append(2, '\0');
        }
        m_words += refs + strings;
    }
    int invoke_command(const zem::GUID*, int code, zem::mem_slice*, zem::mem_slice* reply) override {
        if (code == zem::codes::general_query_config_cookie) {
            reply->assign("0123456789abcdef", 16);
            return 0;
        }
        if (code == zem::codes::http_query_ads_block_words) {
            reply->assign(m_words.data(), static_cast<int>(m_words.size()));
            return 0;
        }
        return -1;
    }
    bool notify_event(const zem::GUID*, int, zem::mem_slice*) override { return true; }

private:
    static void put64(std::string& s, std::uint64_t v) {
        for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    std::string m_words;
};

const std::vector<std::string>& links() {
    static const std::vector<std::string> l = make_links(4096);
    return l;
}

void BM_memcpy_links(benchmark::State& state) {
    const auto& l = links();
    std::vector<char> dst(512);
    for (auto _ : state) {
        for (const auto& s : l) {
            std::memcpy(dst.data(), s.data(), s.size());
            benchmark::DoNotOptimize(dst.data());
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes(l)));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * l.size()));
}
BENCHMARK(BM_memcpy_links);

// Every link searched by a matcher over 'words'.
void search_links(benchmark::State& state, multiple_matcher& m, const std::vector<std::string>& words) {
    const auto& l = links();
    m.assign(words);
    std::string kw;
    std::size_t start = 0, end = 0, hits = 0;
    bool partial = false;
    for (auto _ : state) {
        for (const auto& s : l) hits += m.search(s, kw, start, end, partial);
        benchmark::DoNotOptimize(hits);
    }
    state.counters["hit_share"] = static_cast<double>(hits) / static_cast<double>(state.iterations() * l.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes(l)));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * l.size()));
}

void BM_matcher_search_links(benchmark::State& state) {
    multiple_matcher m;
    search_links(state, m, make_ad_keywords(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_matcher_search_links)->Arg(100)->Arg(3000)->Arg(10000);

// Lists without wildcards, the usual shape (policy/default.json has nine
// words): the first argument is the number of words, 9 being that list.
std::vector<std::string> make_literal_keywords(std::size_t count) {
    std::vector<std::string> words{"/ads/",       "/ad/",   "adserver", "adclick", "banner",
                                   "doubleclick", "advert", "popunder", "sponsor"};
    std::vector<std::string> more = make_ad_keywords(count);
    for (auto& w : more) {
        w.erase(std::remove_if(w.begin(), w.end(), [](char c) { return c == '*' || c == '?'; }), w.end());
        if (words.size() < count) words.push_back(w);
    }
    words.resize(std::min(words.size(), count));
    return words;
}

void BM_matcher_search_links_literal(benchmark::State& state) {
    multiple_matcher m;
    m.set_automaton_limit(4u << 20);  // as the advertisement matcher has it
    search_links(state, m, make_literal_keywords(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_matcher_search_links_literal)->Arg(9)->Arg(3000);

// The whole advertisement check as the tag rules make it: lock, pacing test,
// search.
void BM_check_ad_link(benchmark::State& state) {
    log_space::m_level = 1;  // no blocked-link lines
    const auto& l = links();
    bench_host host(make_ad_keywords(3000));
    zem_io_commands::set_host_iface(&host);
    ads_matcher::reset();
    std::string kw;
    std::size_t hits = 0;
    for (auto _ : state) {
        for (const auto& s : l) hits += ads_matcher::is_ad_link(s, kw);
        benchmark::DoNotOptimize(hits);
    }
    zem_io_commands::set_host_iface(nullptr);
    ads_matcher::reset();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes(l)));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * l.size()));
}
BENCHMARK(BM_check_ad_link);

const std::string& page_text() {
    static const std::string text = [] {
        static const char* const words[] = {"the",    "of",      "and",     "market",  "report", "weather",
                                            "local",  "council", "results", "season",  "player", "price",
                                            "casual", "casting", "bet",     "betting", "cash",   "cas"};
        std::mt19937 rng(3);
        std::string t;
        while (t.size() < (1u << 20)) {
            t += words[rng() % (sizeof words / sizeof *words)];
            t += (rng() % 9 == 0) ? ". " : " ";
        }
        return t;
    }();
    return text;
}

void BM_memcpy_page(benchmark::State& state) {
    const std::string& t = page_text();
    std::string dst(t.size(), '\0');
    for (auto _ : state) {
        std::memcpy(&dst[0], t.data(), t.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_memcpy_page);

// 500 stop words over the page text: five that share prefixes with common
// page words ("cas" in "casual") and keep several attempts alive, the rest
// made up. None of them occurs, so the scan runs to the end.
void stop_words_page(benchmark::State& state, std::vector<std::string> stop) {
    const std::string& t = page_text();
    std::mt19937 rng(5);
    while (stop.size() < 500) stop.push_back("stopword" + std::to_string(rng() % 1000000));
    multiple_matcher m;
    m.assign(stop);
    std::string kw;
    std::size_t start = 0, end = 0;
    bool partial = false;
    for (auto _ : state) benchmark::DoNotOptimize(m.search(t, kw, start, end, partial));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

void BM_stop_words_page(benchmark::State& state) {
    stop_words_page(state, {"casino", "poker room", "jackpot", "bett?ng odds", "cash*advance"});
}
BENCHMARK(BM_stop_words_page);

// The same without wildcards (the automaton).
void BM_stop_words_page_literal(benchmark::State& state) {
    stop_words_page(state, {"casino", "poker room", "jackpot", "betting odds", "cash advance"});
}
BENCHMARK(BM_stop_words_page_literal);

}  // namespace

BENCHMARK_MAIN();
