#include "tls_ca.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/ip/address.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "policy.h"

namespace zem_host {

namespace {

constexpr long k_ca_days = 3650;
// Leaves live three days and are made anew after one, so a cached leaf never
// reaches a client close to its end.
constexpr long k_leaf_seconds = 3L * 24 * 3600;
constexpr auto k_leaf_reuse = std::chrono::hours(24);
constexpr long k_backdate_seconds = 3600;  // clients whose clocks lag a little

struct bio_free {
    void operator()(BIO* b) const { BIO_free(b); }
};
using bio_ptr = std::unique_ptr<BIO, bio_free>;

std::string join(const std::string& dir, const char* name) {
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool random_serial(X509* x) {
    BIGNUM* bn = BN_new();
    bool ok = bn && BN_rand(bn, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
              BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x)) != nullptr;
    BN_free(bn);
    return ok;
}

bool add_ext(X509* x, X509V3_CTX* ctx, int nid, const std::string& value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
    if (!ext) return false;
    const bool ok = X509_add_ext(x, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool add_name(X509_NAME* n, const char* field, const std::string& value) {
    return X509_NAME_add_entry_by_txt(n, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.c_str()),
                                      -1, -1, 0) == 1;
}

// Writes a new file with the mode; refuses to replace one.
bool write_new_file(const std::string& path, const std::string& data, mode_t mode, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    // The umask may have taken bits away, never added any; make the mode exact.
    bool ok = ::fchmod(fd, mode) == 0;
    std::size_t at = 0;
    while (ok && at < data.size()) {
        const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        at += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(path.c_str());
    }
    return ok;
}

// A folder only its owner (this user) may enter.
bool private_dir(const std::string& dir, std::string& error) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        error = "cannot read " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = dir + " is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        error = dir + " belongs to another user";
        return false;
    }
    if (st.st_mode & 077) {
        error = dir + " may be read by other users (mode " + std::to_string((st.st_mode >> 6) & 7) +
                std::to_string((st.st_mode >> 3) & 7) + std::to_string(st.st_mode & 7) + "); run chmod 700 " + dir;
        return false;
    }
    return true;
}

// Makes the folder and its missing parents; the last one private.
bool make_dirs(const std::string& dir, std::string& error) {
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), at == dir.size() ? 0700 : 0755) != 0 && errno != EEXIST) {
            error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

pkey_ptr new_ec_key() { return pkey_ptr(EVP_EC_gen("P-256")); }

}  // namespace

std::string openssl_error() {
    const unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (!e) return "unknown OpenSSL error";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

std::string default_ca_dir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/zem/ca";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/zem/ca";
}

bool ca_init(const std::string& dir, std::string& error) {
    if (!make_dirs(dir, error) || !private_dir(dir, error)) return false;
    const std::string cert_path = join(dir, "ca.pem"), key_path = join(dir, "ca.key");
    if (::access(key_path.c_str(), F_OK) == 0 || ::access(cert_path.c_str(), F_OK) == 0) {
        error = "an authority already exists in " + dir + " (remove ca.pem and ca.key to make a new one)";
        return false;
    }
    pkey_ptr key = new_ec_key();
    x509_ptr cert(X509_new(), x509_free{});
    if (!key || !cert) {
        error = openssl_error();
        return false;
    }
    X509* x = cert.get();
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    X509_NAME* name = X509_get_subject_name(x);
    bool ok = X509_set_version(x, 2) == 1 && random_serial(x) && add_name(name, "O", "zem-host") &&
              add_name(name, "CN", std::string("zem-host local authority (") + host + ")") &&
              X509_set_issuer_name(x, name) == 1 && X509_gmtime_adj(X509_getm_notBefore(x), -k_backdate_seconds) &&
              X509_gmtime_adj(X509_getm_notAfter(x), k_ca_days * 24 * 3600) && X509_set_pubkey(x, key.get()) == 1;
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    ok = ok && add_ext(x, &ctx, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
         add_ext(x, &ctx, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         add_ext(x, &ctx, NID_subject_key_identifier, "hash") && X509_sign(x, key.get(), EVP_sha256()) > 0;
    if (!ok) {
        error = "cannot make the authority: " + openssl_error();
        return false;
    }
    bio_ptr kb(BIO_new(BIO_s_mem())), cb(BIO_new(BIO_s_mem()));
    if (!kb || !cb || PEM_write_bio_PrivateKey(kb.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509(cb.get(), x) != 1) {
        error = openssl_error();
        return false;
    }
    auto text = [](BIO* b) {
        char* p = nullptr;
        const long n = BIO_get_mem_data(b, &p);
        return std::string(p, n > 0 ? static_cast<std::size_t>(n) : 0);
    };
    if (!write_new_file(key_path, text(kb.get()), 0600, error)) return false;
    if (!write_new_file(cert_path, text(cb.get()), 0644, error)) {
        ::unlink(key_path.c_str());
        return false;
    }
    return true;
}

bool normalize_host(const std::string& in, std::string& out) {
    std::string h = in;
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    asio::error_code ec;
    const asio::ip::address a = asio::ip::make_address(h, ec);
    if (!ec) {
        out = a.to_string();
        return true;
    }
    if (!h.empty() && h.back() == '.') h.pop_back();
    if (h.empty() || h.size() > 253) return false;
    std::size_t label = 0;
    for (char& c : h) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
            continue;
        }
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
        if (++label > 63) return false;
    }
    if (label == 0) return false;
    out = h;
    return true;
}

bool host_patterns::parse(const std::string& list, std::string& error) {
    m_items.clear();
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(at, end - at);
        at = end + 1;
        while (!item.empty() && item.front() == ' ') item.erase(0, 1);
        while (!item.empty() && item.back() == ' ') item.pop_back();
        if (item.empty()) continue;
        if (item.find_first_of("*?") != std::string::npos) {
            for (char& c : item)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            m_items.push_back(item);
            continue;
        }
        std::string norm;
        if (!normalize_host(item, norm)) {
            error = "not a host name or pattern: " + item;
            return false;
        }
        m_items.push_back(norm);
    }
    if (m_items.empty()) {
        error = "no host names given";
        return false;
    }
    return true;
}

bool host_patterns::matches(const std::string& host) const {
    asio::error_code ec;
    asio::ip::make_address(host, ec);
    const bool host_is_ip = !ec;
    for (const std::string& p : m_items) {
        // An address has no names under it, and is under no name.
        asio::ip::make_address(p, ec);
        const bool is_ip = !ec || host_is_ip;
        if (p.find_first_of("*?") != std::string::npos) {
            if (glob_match(p, host)) return true;
        } else if (host == p || (host.size() > p.size() && host[host.size() - p.size() - 1] == '.' &&
                                 host.compare(host.size() - p.size(), p.size(), p) == 0 && !is_ip)) {
            return true;
        }
    }
    return false;
}

bool local_ca::load(const std::string& dir, std::string& error) {
    if (!private_dir(dir, error)) return false;
    const std::string cert_path = join(dir, "ca.pem"), key_path = join(dir, "ca.key");
    struct stat st {};
    if (::stat(key_path.c_str(), &st) != 0) {
        error = "no authority in " + dir + " (run: zem-host ca init --dir " + dir + ")";
        return false;
    }
    if (st.st_mode & 077) {
        error = key_path + " may be read by other users; run chmod 600 " + key_path;
        return false;
    }
    bio_ptr kb(BIO_new_file(key_path.c_str(), "r")), cb(BIO_new_file(cert_path.c_str(), "r"));
    if (!kb || !cb) {
        error = "cannot read the authority in " + dir;
        return false;
    }
    m_key.reset(PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr));
    m_cert.reset(PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr), x509_free{});
    if (!m_key || !m_cert || X509_check_private_key(m_cert.get(), m_key.get()) != 1) {
        error = "the authority in " + dir + " is unreadable or its key does not match: " + openssl_error();
        return false;
    }
    m_leaf_key = new_ec_key();
    if (!m_leaf_key) {
        error = openssl_error();
        return false;
    }
    return true;
}

x509_ptr local_ca::mint(const std::string& host, std::string& error) {
    x509_ptr cert(X509_new(), x509_free{});
    if (!cert) return nullptr;
    X509* x = cert.get();
    asio::error_code ec;
    asio::ip::make_address(host, ec);
    const bool is_ip = !ec;
    X509_NAME* name = X509_get_subject_name(x);
    // A common name is limited to 64 characters; the subjectAltName is what
    // clients check, so a longer name goes there alone.
    bool ok = X509_set_version(x, 2) == 1 && random_serial(x) && (host.size() > 64 || add_name(name, "CN", host)) &&
              add_name(name, "O", "zem-host inspection") &&
              X509_set_issuer_name(x, X509_get_subject_name(m_cert.get())) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(x), -k_backdate_seconds) &&
              X509_gmtime_adj(X509_getm_notAfter(x), k_leaf_seconds) && X509_set_pubkey(x, m_leaf_key.get()) == 1;
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, m_cert.get(), x, nullptr, nullptr, 0);
    ok = ok && add_ext(x, &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
         add_ext(x, &ctx, NID_key_usage, "critical,digitalSignature") &&
         add_ext(x, &ctx, NID_ext_key_usage, "serverAuth") &&
         add_ext(x, &ctx, NID_subject_alt_name, (is_ip ? "IP:" : "DNS:") + host) &&
         add_ext(x, &ctx, NID_subject_key_identifier, "hash") &&
         add_ext(x, &ctx, NID_authority_key_identifier, "keyid:always") && X509_sign(x, m_key.get(), EVP_sha256()) > 0;
    if (!ok) {
        error = "cannot make a certificate for " + host + ": " + openssl_error();
        return nullptr;
    }
    return cert;
}

x509_ptr local_ca::leaf_for(const std::string& host, std::string& error) {
    const auto now = std::chrono::system_clock::now();
    {
        std::lock_guard<std::mutex> g(m_lock);
        auto it = m_cache.find(host);
        if (it != m_cache.end() && now - it->second.made < k_leaf_reuse) {
            m_order.splice(m_order.begin(), m_order, it->second.at);
            return it->second.cert;
        }
    }
    // Signed outside the lock: other connections' names are not held up.
    x509_ptr cert = mint(host, error);
    if (!cert) return nullptr;
    std::lock_guard<std::mutex> g(m_lock);
    ++m_minted;
    auto it = m_cache.find(host);
    if (it != m_cache.end()) {
        it->second.cert = cert;
        it->second.made = now;
        m_order.splice(m_order.begin(), m_order, it->second.at);
        return cert;
    }
    m_order.push_front(host);
    m_cache.emplace(host, entry{cert, now, m_order.begin()});
    while (m_cache.size() > m_limit) {
        m_cache.erase(m_order.back());
        m_order.pop_back();
    }
    return cert;
}

std::size_t local_ca::cached() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_cache.size();
}

std::uint64_t local_ca::minted() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_minted;
}

}  // namespace zem_host
