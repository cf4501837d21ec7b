#include "capture_replay.h"

#include <dirent.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zem_host {

namespace {

// Serial-number comparison: how far 'a' lies after 'b' (negative: before).
std::int32_t seq_diff(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b); }

std::uint16_t be16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t be32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

void tcp_reassembler::segment(std::uint32_t seq, const char* data, std::size_t len, const sink& out) {
    if (!m_started) start(seq - 1);
    std::int32_t ahead = seq_diff(seq, m_next);
    if (ahead < 0) {
        // Already handed on, in whole or in part: a retransmission.
        const std::size_t old = static_cast<std::size_t>(-static_cast<std::int64_t>(ahead));
        if (old >= len) {
            m_duplicate += len;
            return;
        }
        m_duplicate += old;
        data += old;
        len -= old;
        ahead = 0;
    }
    if (len == 0) return;
    if (ahead == 0) {
        out(data, len);
        m_next += static_cast<std::uint32_t>(len);
        drain(out);
        return;
    }
    // Ahead of a gap: wait for it, but never hold more than the bound.
    const std::uint32_t key = seq;
    auto it = m_pending.find(key);
    if (it != m_pending.end() && it->second.size() >= len) {
        m_duplicate += len;
        return;
    }
    if (it != m_pending.end()) m_pending_bytes -= it->second.size();
    m_pending[key].assign(data, len);
    m_pending_bytes += len;
    while (m_pending_bytes > max_pending_bytes && !m_pending.empty()) {
        // Give the gap up: jump to the earliest waiting segment.
        auto first = m_pending.begin();
        for (auto i = m_pending.begin(); i != m_pending.end(); ++i)
            if (seq_diff(i->first, first->first) < 0) first = i;
        m_skipped += static_cast<std::uint32_t>(first->first - m_next);
        m_next = first->first;
        drain(out);
    }
}

void tcp_reassembler::drain(const sink& out) {
    bool moved = true;
    while (moved && !m_pending.empty()) {
        moved = false;
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            const std::int32_t ahead = seq_diff(it->first, m_next);
            if (ahead > 0) {
                ++it;
                continue;
            }
            const std::string& s = it->second;
            const std::size_t old = static_cast<std::size_t>(-static_cast<std::int64_t>(ahead));
            if (old < s.size()) {
                out(s.data() + old, s.size() - old);
                m_next += static_cast<std::uint32_t>(s.size() - old);
                m_duplicate += old;
                moved = true;
            } else {
                m_duplicate += s.size();
            }
            m_pending_bytes -= s.size();
            it = m_pending.erase(it);
        }
    }
}

void tcp_reassembler::flush(const sink& out) {
    while (!m_pending.empty()) {
        auto first = m_pending.begin();
        for (auto i = m_pending.begin(); i != m_pending.end(); ++i)
            if (seq_diff(i->first, first->first) < 0) first = i;
        if (seq_diff(first->first, m_next) > 0) {
            m_skipped += static_cast<std::uint32_t>(first->first - m_next);
            m_next = first->first;
        }
        drain(out);
    }
}

namespace {

// Collects what a connection's filter point lets through, by direction.
class counting_provider : public zem::i_provider {
public:
    bool send_out(const char*, int len) override {
        out += static_cast<std::uint64_t>(len);
        return true;
    }
    bool close_out() override { return true; }
    bool send_in(const char*, int len) override {
        in += static_cast<std::uint64_t>(len);
        return true;
    }
    bool close_in() override { return true; }
    bool get_connection_info(zem::connection_info* info) override {
        if (info) {
            *info = zem::connection_info{};
            info->id1 = id;
        }
        return true;
    }
    std::uint64_t out = 0, in = 0;
    std::uint32_t id = 0;
};

struct endpoint_pair {
    std::string a, b;  // address bytes and port
    bool operator<(const endpoint_pair& o) const { return std::tie(a, b) < std::tie(o.a, o.b); }
};

struct connection {
    counting_provider provider;
    zem::i_filt_point* point = nullptr;
    std::string client;  // the endpoint that opened it
    tcp_reassembler to_server, to_client;
    bool out_stopped = false, in_stopped = false;
    // Where each direction's FIN lies; it ends the direction once every byte
    // before it has arrived, whatever order the segments came in.
    bool fin_out = false, fin_in = false;
    std::uint32_t fin_out_seq = 0, fin_in_seq = 0;
    std::uint64_t fed_out = 0, fed_in = 0;
};

struct tcp_segment {
    std::string src, dst;  // address bytes + port
    std::uint32_t seq = 0;
    bool syn = false, ack = false, fin = false, rst = false;
    const unsigned char* payload = nullptr;
    std::size_t len = 0;
};

// The IP packet inside one captured frame; false when it is not TCP.
bool parse_frame(int link, const unsigned char* p, std::size_t n, tcp_segment& seg, bool& damaged) {
    damaged = false;
    std::size_t off = 0;
    std::uint16_t ether = 0;
    switch (link) {
        case DLT_EN10MB:
            if (n < 14) return damaged = true, false;
            ether = be16(p + 12);
            off = 14;
            while ((ether == 0x8100 || ether == 0x88A8) && n >= off + 4) {
                ether = be16(p + off + 2);
                off += 4;
            }
            break;
        case DLT_NULL:
        case DLT_LOOP: {
            if (n < 4) return damaged = true, false;
            std::uint32_t family;
            std::memcpy(&family, p, 4);
            if (link == DLT_LOOP || family > 0xFFFF) family = be32(p);
            ether = family == 2 ? 0x0800 : 0x86DD;
            off = 4;
            break;
        }
        case DLT_LINUX_SLL:
            if (n < 16) return damaged = true, false;
            ether = be16(p + 14);
            off = 16;
            break;
        case DLT_RAW:
        case 101:  // LINKTYPE_RAW
        case 228:  // IPv4
        case 229:  // IPv6
            if (n < 1) return damaged = true, false;
            ether = (p[0] >> 4) == 6 ? 0x86DD : 0x0800;
            break;
        default:
            return false;
    }
    p += off;
    n -= off;
    std::size_t ip_len = 0;
    const unsigned char* tcp = nullptr;
    std::size_t tcp_avail = 0;
    if (ether == 0x0800) {
        if (n < 20 || (p[0] >> 4) != 4) return damaged = true, false;
        const std::size_t ihl = static_cast<std::size_t>(p[0] & 0x0F) * 4;
        ip_len = be16(p + 2);
        if (ihl < 20 || ip_len < ihl || ip_len > n) return damaged = true, false;
        if (p[9] != 6) return false;
        if ((be16(p + 6) & 0x3FFF) != 0) return false;  // fragments are not followed
        seg.src.assign(reinterpret_cast<const char*>(p + 12), 4);
        seg.dst.assign(reinterpret_cast<const char*>(p + 16), 4);
        tcp = p + ihl;
        tcp_avail = ip_len - ihl;
    } else if (ether == 0x86DD) {
        if (n < 40 || (p[0] >> 4) != 6) return damaged = true, false;
        ip_len = 40 + static_cast<std::size_t>(be16(p + 4));
        if (ip_len > n) return damaged = true, false;
        if (p[6] != 6) return false;  // extension headers are not followed
        seg.src.assign(reinterpret_cast<const char*>(p + 8), 16);
        seg.dst.assign(reinterpret_cast<const char*>(p + 24), 16);
        tcp = p + 40;
        tcp_avail = ip_len - 40;
    } else {
        return false;
    }
    if (tcp_avail < 20) return damaged = true, false;
    const std::size_t doff = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (doff < 20 || doff > tcp_avail) return damaged = true, false;
    seg.src.append(reinterpret_cast<const char*>(tcp), 2);
    seg.dst.append(reinterpret_cast<const char*>(tcp + 2), 2);
    seg.seq = be32(tcp + 4);
    const unsigned flags = tcp[13];
    seg.fin = flags & 0x01;
    seg.syn = flags & 0x02;
    seg.rst = flags & 0x04;
    seg.ack = flags & 0x10;
    seg.payload = tcp + doff;
    seg.len = tcp_avail - doff;
    return true;
}

void finish(connection& c, capture_summary& s) {
    auto out = [&c](const char* d, std::size_t n) {
        c.fed_out += n;
        c.point->update_out(d, static_cast<int>(n));
    };
    auto in = [&c](const char* d, std::size_t n) {
        c.fed_in += n;
        c.point->update_in(d, static_cast<int>(n));
    };
    c.to_server.flush(out);
    c.to_client.flush(in);
    if (!c.out_stopped) c.point->stop_out();
    if (!c.in_stopped) c.point->stop_in();
    c.point->release();
    c.point = nullptr;
    s.skipped_bytes += c.to_server.skipped_bytes() + c.to_client.skipped_bytes();
    s.bytes_out += c.fed_out;
    s.bytes_in += c.fed_in;
    if (c.provider.out != c.fed_out || c.provider.in != c.fed_in) ++s.bytes_changed;
}

}  // namespace

bool replay_capture(const std::string& path, zem::i_filt_point* (*create)(zem::i_provider*, int),
                    capture_summary& summary, std::string& error, const std::function<void(double)>& progress) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pc = pcap_open_offline(path.c_str(), errbuf);
    if (!pc) {
        error = errbuf;
        return false;
    }
    struct stat st {};
    const double file_size = ::stat(path.c_str(), &st) == 0 && st.st_size > 0 ? static_cast<double>(st.st_size) : 0;
    const int link = pcap_datalink(pc);
    std::map<endpoint_pair, std::unique_ptr<connection>> open;

    auto key_of = [](const tcp_segment& g) {
        return g.src < g.dst ? endpoint_pair{g.src, g.dst} : endpoint_pair{g.dst, g.src};
    };
    pcap_pkthdr* hdr = nullptr;
    const u_char* data = nullptr;
    int rc;
    while ((rc = pcap_next_ex(pc, &hdr, &data)) != PCAP_ERROR_BREAK) {
        ++summary.packets;
        if (rc != 1) {
            // libpcap cannot find the next record after a broken one.
            ++summary.bad_records;
            if (summary.first_bad.empty())
                summary.first_bad = "record " + std::to_string(summary.packets) + ": " + pcap_geterr(pc);
            break;
        }
        if (progress && file_size > 0 && (summary.packets & 1023) == 0) {
            std::FILE* f = pcap_file(pc);
            if (f) progress(static_cast<double>(std::ftell(f)) / file_size);
        }
        tcp_segment g;
        bool damaged = false;
        if (!parse_frame(link, data, hdr->caplen, g, damaged)) {
            if (damaged) {
                ++summary.bad_records;
                if (summary.first_bad.empty())
                    summary.first_bad = "record " + std::to_string(summary.packets) + ": truncated or malformed packet";
            }
            continue;
        }
        ++summary.tcp_segments;
        const endpoint_pair key = key_of(g);
        auto it = open.find(key);
        if (it == open.end()) {
            if (g.rst) continue;
            auto c = std::make_unique<connection>();
            // The side that sent the first SYN opened it; without one, the
            // first sender (a SYN-ACK's sender is the server).
            c->client = (g.syn && g.ack) ? g.dst : g.src;
            c->provider.id = static_cast<std::uint32_t>(++summary.connections);
            c->point = create(&c->provider, 0);
            if (!c->point) continue;
            it = open.emplace(key, std::move(c)).first;
        }
        connection& c = *it->second;
        const bool from_client = g.src == c.client;
        tcp_reassembler& r = from_client ? c.to_server : c.to_client;
        if (g.syn) {
            if (!r.started()) r.start(g.seq);
            continue;
        }
        auto push = [&c, from_client](const char* d, std::size_t n) {
            if (from_client) {
                c.fed_out += n;
                c.point->update_out(d, static_cast<int>(n));
            } else {
                c.fed_in += n;
                c.point->update_in(d, static_cast<int>(n));
            }
        };
        r.segment(g.seq, reinterpret_cast<const char*>(g.payload), g.len, push);
        if (g.rst) {
            finish(c, summary);
            open.erase(it);
            continue;
        }
        if (g.fin) {
            (from_client ? c.fin_out : c.fin_in) = true;
            (from_client ? c.fin_out_seq : c.fin_in_seq) = g.seq + static_cast<std::uint32_t>(g.len);
        }
        if (c.fin_out && !c.out_stopped && c.to_server.next() == c.fin_out_seq) {
            c.point->stop_out();
            c.out_stopped = true;
        }
        if (c.fin_in && !c.in_stopped && c.to_client.next() == c.fin_in_seq) {
            c.point->stop_in();
            c.in_stopped = true;
        }
        if (c.out_stopped && c.in_stopped) {
            finish(c, summary);
            open.erase(it);
        }
    }
    for (auto& e : open) finish(*e.second, summary);
    pcap_close(pc);
    if (progress) progress(1.0);
    return true;
}

}  // namespace zem_host

namespace zem_host {

bool registry_with_folder(const std::string& base, const char* name, const std::string& folder, unsigned mode,
                          std::string& out, std::string& error) {
    std::string text;
    if (!base.empty()) {
        std::FILE* f = std::fopen(base.c_str(), "rb");
        if (!f) {
            error = "cannot read " + base;
            return false;
        }
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
        if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
            static_cast<unsigned char>(text[1]) == 0xFE) {
            error = base + " is UTF-16: set \"" + name + "\" in it instead of using the option";
            return false;
        }
    } else {
        text = "Windows Registry Editor Version 5.00\r\n";
    }
    ::mkdir(folder.c_str(), static_cast<mode_t>(mode));
    std::string escaped;
    for (char c : folder) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
    }
    text += "\r\n[HKEY_LOCAL_MACHINE\\Software\\MORVEX Software\\Morvex\\net]\r\n\"" + std::string(name) + "\"=\"" +
            escaped + "\"\r\n";
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/zem-host-registry-XXXXXX";
    const int fd = ::mkstemp(&path[0]);
    if (fd < 0) {
        error = "cannot create a temporary registry file";
        return false;
    }
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    if (!ok) {
        error = "cannot write " + path;
        return false;
    }
    out = path;
    return true;
}

}  // namespace zem_host

namespace zem_host {

namespace {

// A reader of the packed layout: every count and length is checked against
// what is left, nesting is bounded.
struct packed_reader {
    const std::string& b;
    std::size_t at = 0;

    bool byte(unsigned char& v) {
        if (at >= b.size()) return false;
        v = static_cast<unsigned char>(b[at++]);
        return true;
    }
    bool size(std::uint64_t& v) {
        if (at >= b.size()) return false;
        static const std::size_t widths[4] = {1, 2, 4, 8};
        const std::size_t w = widths[static_cast<unsigned char>(b[at]) & 3];
        if (b.size() - at < w) return false;
        std::uint64_t raw = 0;
        for (std::size_t i = 0; i < w; ++i)
            raw |= static_cast<std::uint64_t>(static_cast<unsigned char>(b[at + i])) << (8 * i);
        at += w;
        v = raw >> 2;
        return true;
    }
    bool block(std::string* out) {
        std::uint64_t n = 0;
        if (!size(n) || n > b.size() - at) return false;
        if (out) out->assign(b, at, static_cast<std::size_t>(n));
        at += static_cast<std::size_t>(n);
        return true;
    }
    // One entry; a section's values named 'want' are handed out by name.
    bool entry(int depth, std::map<std::string, std::string>* values, std::vector<dump_piece>* pieces) {
        unsigned char type = 0, kind = 0;
        std::uint64_t count = 0;
        if (depth > 64 || !byte(type)) return false;
        switch (type) {
            case 1:
                if (!size(count) || count > b.size() - at) return false;
                for (std::uint64_t i = 0; i < count; ++i) {
                    const std::size_t nul = b.find('\0', at);
                    if (nul == std::string::npos) return false;
                    const std::string name = b.substr(at, nul - at);
                    at = nul + 1;
                    if (values && at < b.size() && b[at] == 2) {
                        if (!byte(type) || !byte(kind) || !block(&(*values)[name])) return false;
                    } else if (!entry(depth + 1, nullptr, name == "storrage" && depth == 0 ? pieces : nullptr)) {
                        return false;
                    }
                }
                return true;
            case 2:
                return byte(kind) && block(nullptr);
            case 3:
                if (!size(count) || count > b.size() - at) return false;
                for (std::uint64_t i = 0; i < count; ++i) {
                    std::map<std::string, std::string> v;
                    if (!entry(depth + 1, pieces ? &v : nullptr, nullptr)) return false;
                    if (pieces) {
                        if (!v.count("m_pice_of_transfer") || !v.count("m_dwrd_val")) return false;
                        pieces->push_back(dump_piece{v["m_pice_of_transfer"],
                                                     v["m_dwrd_val"].find_first_not_of('\0') != std::string::npos});
                    }
                }
                return true;
            case 4:
                if (!byte(kind) || !size(count) || count > b.size() - at) return false;
                for (std::uint64_t i = 0; i < count; ++i)
                    if (!block(nullptr)) return false;
                return true;
            default:
                return false;
        }
    }
};

bool ends_with(const std::string& s, const std::string& t) {
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

bool read_dump(const std::string& packed, std::vector<dump_piece>& pieces, std::string& error) {
    pieces.clear();
    static const unsigned char head[8] = {0xA2, 0x49, 0x4D, 0xF3, 0xD9, 0x1E, 0x9F, 0x88};
    if (packed.size() < 10 || std::memcmp(packed.data(), head, 8) != 0 || static_cast<unsigned char>(packed[8]) > 1) {
        error = "not a packed dump";
        return false;
    }
    packed_reader r{packed, 9};
    if (static_cast<unsigned char>(packed[9]) != 1 || !r.entry(0, nullptr, &pieces)) {
        error = "damaged near byte " + std::to_string(r.at);
        pieces.clear();
        return false;
    }
    return true;
}

bool replay_dumps(const std::string& path, zem::i_filt_point* (*create)(zem::i_provider*, int),
                  capture_summary& summary, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "no such file or folder";
        return false;
    }
    std::vector<std::string> files;
    if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> folders{path};
        while (!folders.empty()) {
            const std::string dir = folders.back();
            folders.pop_back();
            DIR* d = ::opendir(dir.c_str());
            if (!d) continue;
            while (dirent* e = ::readdir(d)) {
                const std::string name = e->d_name;
                if (name == "." || name == "..") continue;
                const std::string full = dir + "/" + name;
                struct stat es {};
                if (::lstat(full.c_str(), &es) != 0) continue;
                if (S_ISDIR(es.st_mode)) folders.push_back(full);
                // What arrived is what a policy is tried on: the recordings
                // made after filtering and earlier replay outputs are skipped.
                else if (S_ISREG(es.st_mode) && ends_with(name, ".dump_bi") && !ends_with(name, "_out.dump_bi") &&
                         !ends_with(name, ")after.dump_bi"))
                    files.push_back(full);
            }
            ::closedir(d);
        }
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(path);
    }
    for (const auto& file : files) {
        ++summary.packets;
        std::string packed;
        std::FILE* f = std::fopen(file.c_str(), "rb");
        if (f) {
            char buf[65536];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) packed.append(buf, n);
            std::fclose(f);
        }
        std::vector<dump_piece> pieces;
        std::string why;
        if (!f || !read_dump(packed, pieces, why)) {
            ++summary.bad_records;
            if (summary.first_bad.empty()) summary.first_bad = "dump " + file + ": " + (f ? why : "unreadable");
            continue;
        }
        connection c;
        c.provider.id = static_cast<std::uint32_t>(++summary.connections);
        c.point = create(&c.provider, 0);
        if (!c.point) continue;
        for (const auto& p : pieces) {
            if (p.in) {
                c.fed_in += p.bytes.size();
                c.point->update_in(p.bytes.data(), static_cast<int>(p.bytes.size()));
            } else {
                c.fed_out += p.bytes.size();
                c.point->update_out(p.bytes.data(), static_cast<int>(p.bytes.size()));
            }
        }
        finish(c, summary);
    }
    return true;
}

}  // namespace zem_host
