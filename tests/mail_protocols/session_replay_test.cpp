// The IMAP and news fuzz drivers over their seeds (fuzz/corpus/<target>/),
// any saved findings (tests/data/regressions/<target>/) and a few thousand
// random mutations of the seeds, so their checks run in every build.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../../fuzz/imap_nntp_drivers.h"

namespace {

using driver = std::string (*)(const std::uint8_t*, std::size_t);

std::vector<std::string> inputs_of(const std::string& target) {
    std::vector<std::string> r;
    const std::string data_dir = ZEM_TEST_DATA_DIR;
    for (const std::string& dir : {data_dir + "/regressions/" + target, data_dir + "/../../fuzz/corpus/" + target}) {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') names.push_back(dir + "/" + e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        for (const auto& n : names) {
            std::ifstream f(n, std::ios::binary);
            std::ostringstream s;
            s << f.rdbuf();
            r.push_back(s.str());
        }
    }
    return r;
}

void replay(const std::string& target, driver run) {
    const std::vector<std::string> seeds = inputs_of(target);
    ASSERT_GT(seeds.size(), 3u);
    auto go = [&](const std::string& bytes, const std::string& what) {
        const std::string failure = run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        EXPECT_EQ(failure, "") << what;
    };
    for (std::size_t i = 0; i < seeds.size(); ++i) go(seeds[i], target + " seed " + std::to_string(i));
    std::uint32_t x = kit::test_seed();
    auto next = [&x] { return (x = x * 1103515245u + 12345u) >> 8; };
    for (int round = 0; round < 3000 && !::testing::Test::HasFailure(); ++round) {
        std::string m = seeds[next() % seeds.size()];
        for (int edits = 1 + next() % 4; edits > 0 && !m.empty(); --edits) {
            const std::size_t at = next() % m.size();
            switch (next() % 3) {
                case 0:
                    m[at] = static_cast<char>(next());
                    break;
                case 1:
                    m.erase(at, 1 + next() % 8);
                    break;
                default:
                    m.insert(at, seeds[next() % seeds.size()].substr(0, 1 + next() % 40));
                    break;
            }
        }
        go(m, target + " mutation " + std::to_string(round));
    }
}

TEST(mail_session_replay, imap) { replay("imap", &fuzz_drivers::run_imap); }
TEST(mail_session_replay, nntp) { replay("nntp", &fuzz_drivers::run_nntp); }

}  // namespace
