// The local authority of HTTPS inspection: the names a leaf may be made for,
// --no-inspect patterns, what a leaf says and whom it chains to, the bounded
// leaf cache, and the folder and key permissions.
#include "tls_ca.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using zem_host::host_patterns;
using zem_host::local_ca;
using zem_host::normalize_host;

struct temp_dir {
    std::string path;
    temp_dir() {
        char t[] = "/tmp/zem_tls_ca_XXXXXX";
        path = ::mkdtemp(t);
    }
    ~temp_dir() { std::system(("rm -rf " + path).c_str()); }
};

TEST(zemhost_inspect, host_names_are_normalized_or_refused) {
    const std::pair<const char*, const char*> good[] = {{"WWW.Example.COM", "www.example.com"},
                                                        {"example.com.", "example.com"},
                                                        {"[::1]", "::1"},
                                                        {"127.0.0.1", "127.0.0.1"},
                                                        {"a_b-c.example", "a_b-c.example"}};
    for (const auto& g : good) {
        std::string out;
        EXPECT_TRUE(normalize_host(g.first, out)) << g.first;
        EXPECT_EQ(out, g.second);
    }
    const std::vector<std::string> bad_names = {"",
                                                ".",
                                                "a..b",
                                                ".a",
                                                "a b",
                                                "a,DNS:evil.example",
                                                "*.example.com",
                                                "a/b",
                                                "é.fr",
                                                std::string(64, 'a') + ".example",
                                                std::string(254, 'a')};
    for (const std::string& bad : bad_names) {
        std::string out;
        EXPECT_FALSE(normalize_host(bad, out)) << bad;
    }
}

TEST(zemhost_inspect, patterns_cover_a_name_and_its_subdomains_only) {
    host_patterns p;
    std::string err;
    ASSERT_TRUE(p.parse(" Bank.Example , *.pinned.*,10.0.0.1", err)) << err;
    for (const char* yes : {"bank.example", "www.bank.example", "a.b.bank.example", "app.pinned.net", "10.0.0.1"})
        EXPECT_TRUE(p.matches(yes)) << yes;
    for (const char* no :
         {"evilbank.example", "bank.example.evil", "example", "pinned.net", "10.0.0.10", "1.10.0.0.1", "9.10.0.0.1"})
        EXPECT_FALSE(p.matches(no)) << no;
    EXPECT_FALSE(p.parse("ok.example,not a name", err));
    EXPECT_NE(err.find("not a name"), std::string::npos);
    EXPECT_FALSE(p.parse(" , ", err));
}

TEST(zemhost_inspect, authority_folder_and_key_are_private) {
    temp_dir t;
    const std::string open = t.path + "/open";
    ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
    ::chmod(open.c_str(), 0755);
    std::string err;
    EXPECT_FALSE(zem_host::ca_init(open, err));
    EXPECT_NE(err.find("chmod 700"), std::string::npos) << err;

    const std::string dir = t.path + "/a/b/ca";
    ASSERT_TRUE(zem_host::ca_init(dir, err)) << err;
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/ca.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(zem_host::ca_init(dir, err));  // never over an existing one

    local_ca ca;
    ASSERT_TRUE(ca.load(dir, err)) << err;
    ::chmod((dir + "/ca.key").c_str(), 0640);
    local_ca again;
    EXPECT_FALSE(again.load(dir, err));
    EXPECT_NE(err.find("chmod 600"), std::string::npos) << err;
}

// Verifies the leaf against the authority alone, for the name given.
bool verifies(local_ca& ca, X509* leaf, const std::string& name, bool ip) {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, ca.certificate());
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, leaf, nullptr);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    if (ip)
        X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
    else
        X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
    const bool ok = X509_verify_cert(ctx) == 1;
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    return ok;
}

TEST(zemhost_inspect, leaves_name_exactly_the_host_and_chain_to_the_authority) {
    temp_dir t;
    std::string err;
    ASSERT_TRUE(zem_host::ca_init(t.path + "/ca", err)) << err;
    local_ca ca;
    ASSERT_TRUE(ca.load(t.path + "/ca", err)) << err;

    auto leaf = ca.leaf_for("www.example.com", err);
    ASSERT_TRUE(leaf) << err;
    EXPECT_TRUE(verifies(ca, leaf.get(), "www.example.com", false));
    EXPECT_FALSE(verifies(ca, leaf.get(), "example.com", false));
    EXPECT_FALSE(verifies(ca, leaf.get(), "other.example.com", false));
    // Short-lived: at most three days from now.
    time_t in_four_days = std::time(nullptr) + 4 * 24 * 3600;
    EXPECT_LT(X509_cmp_time(X509_get0_notAfter(leaf.get()), &in_four_days), 0);
    EXPECT_EQ(X509_check_ca(leaf.get()), 0);

    auto ip = ca.leaf_for("127.0.0.1", err);
    ASSERT_TRUE(ip) << err;
    EXPECT_TRUE(verifies(ca, ip.get(), "127.0.0.1", true));
    EXPECT_FALSE(verifies(ca, ip.get(), "127.0.0.2", true));

    // A name longer than a common name may be still gets its leaf.
    const std::string long_name = std::string(60, 'a') + "." + std::string(60, 'b') + ".example";
    auto l = ca.leaf_for(long_name, err);
    ASSERT_TRUE(l) << err;
    EXPECT_TRUE(verifies(ca, l.get(), long_name, false));
}

TEST(zemhost_inspect, the_leaf_cache_is_bounded_and_keeps_the_recent) {
    temp_dir t;
    std::string err;
    ASSERT_TRUE(zem_host::ca_init(t.path + "/ca", err)) << err;
    local_ca ca;
    ASSERT_TRUE(ca.load(t.path + "/ca", err)) << err;
    ca.set_cache_limit(3);
    auto a = ca.leaf_for("a.example", err);
    auto b = ca.leaf_for("b.example", err);
    ca.leaf_for("c.example", err);
    EXPECT_EQ(ca.leaf_for("a.example", err), a);  // a is now the most recent
    ca.leaf_for("d.example", err);                // b goes
    EXPECT_EQ(ca.cached(), 3u);
    EXPECT_EQ(ca.minted(), 4u);
    EXPECT_EQ(ca.leaf_for("a.example", err), a);
    EXPECT_NE(ca.leaf_for("b.example", err), b);
    EXPECT_EQ(ca.minted(), 5u);
    for (int k = 0; k < 200; ++k) ca.leaf_for("h" + std::to_string(k) + ".example", err);
    EXPECT_EQ(ca.cached(), 3u);
}

}  // namespace
