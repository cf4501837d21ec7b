#pragma once
// The local certificate authority behind HTTPS inspection: made once by
// 'zem-host ca init', loaded by the proxy, and the leaf certificates it signs
// for the names clients ask for. Keys stay in memory or in the CA folder.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zem_host {

struct x509_free {
    void operator()(X509* x) const { X509_free(x); }
};
struct evp_pkey_free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using x509_ptr = std::shared_ptr<X509>;
using pkey_ptr = std::unique_ptr<EVP_PKEY, evp_pkey_free>;

// $XDG_CONFIG_HOME/zem/ca, else $HOME/.config/zem/ca.
std::string default_ca_dir();

// Makes the folder (mode 0700) and a new authority in it: ca.pem (the
// certificate, for clients to trust) and ca.key (mode 0600). Refuses a folder
// that others may read and an authority that already exists.
bool ca_init(const std::string& dir, std::string& error);

// Names a client may ask for: a DNS name or an IP literal, as the CONNECT
// line and SNI carry it. Lower-cased, without a trailing dot; false when the
// text is neither.
bool normalize_host(const std::string& in, std::string& out);

// Comma-separated host patterns: "example.com" matches that name and every
// name under it, "*" and "?" make a glob over the whole name, an IP literal
// matches itself.
class host_patterns {
public:
    bool parse(const std::string& list, std::string& error);
    bool empty() const { return m_items.empty(); }
    bool matches(const std::string& host) const;  // host already normalized

private:
    std::vector<std::string> m_items;
};

class local_ca {
public:
    static constexpr std::size_t k_default_cache = 1000;

    // Reads ca.pem and ca.key from the folder; refuses a folder or key file
    // that others may read.
    bool load(const std::string& dir, std::string& error);
    // A leaf for the host (normalized), from the cache while it is fresh.
    // Thread-safe. Null when the name cannot be put in a certificate.
    x509_ptr leaf_for(const std::string& host, std::string& error);
    EVP_PKEY* leaf_key() const { return m_leaf_key.get(); }
    X509* certificate() const { return m_cert.get(); }

    void set_cache_limit(std::size_t n) { m_limit = n ? n : 1; }
    std::size_t cached() const;
    std::uint64_t minted() const;

private:
    x509_ptr mint(const std::string& host, std::string& error);

    struct entry {
        x509_ptr cert;
        std::chrono::system_clock::time_point made;
        std::list<std::string>::iterator at;
    };
    x509_ptr m_cert;
    pkey_ptr m_key;
    pkey_ptr m_leaf_key;  // one key for every leaf, made at load, never stored
    std::size_t m_limit = k_default_cache;
    mutable std::mutex m_lock;
    std::list<std::string> m_order;  // most recently used first
    std::unordered_map<std::string, entry> m_cache;
    std::uint64_t m_minted = 0;
};

// The newest OpenSSL error on this thread, as text.
std::string openssl_error();

}  // namespace zem_host
