#pragma once
// What the mail benchmarks share: a host that answers every attachment
// check with one verdict, and a message of a given size whose nine tenths
// are a base64 attachment of random bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "mail/mime_coders.h"
#include "zem/external_iface.h"

namespace bench_kit {

class verdict_host : public zem::i_external_iface {
public:
    int invoke_command(const zem::GUID*, int code, zem::mem_slice*, zem::mem_slice* reply) override {
        if (code != zem::codes::mail_check_mail_attach) return -1;
        std::string r(28, '\0');
        r[0] = static_cast<char>(action);
        if (action == 2) {
            const std::string body = "replaced";
            const std::uint32_t off = 28, len = static_cast<std::uint32_t>(body.size());
            std::memcpy(&r[20], &off, 4);
            std::memcpy(&r[24], &len, 4);
            r += body;
        }
        reply->assign(r.data(), static_cast<int>(r.size()));
        return 0;
    }
    bool notify_event(const zem::GUID*, int, zem::mem_slice*) override { return true; }
    int action = 0;  // 0 allow, 1 cut, 2 replace with "replaced"
};

struct attachment_message {
    std::string text;
    std::string attachment_base64;
};

// About 'total' bytes: a text part of 'line' repeated, then the attachment
// named 'file_name'.
inline attachment_message make_attachment_message(std::size_t total, const char* file_name, const std::string& line) {
    std::string raw(total * 9 / 10 / 4 * 3, '\0');
    unsigned x = 2463534242u;
    for (auto& c : raw) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    attachment_message m;
    mail::mime_base64_coder().coder(raw, m.attachment_base64);
    m.text =
        "From: a@example.org\r\nTo: b@example.net\r\nSubject: bench\r\n"
        "Content-Type: multipart/mixed; boundary=\"=_bench\"\r\n\r\n--=_bench\r\n"
        "Content-Type: text/plain\r\n\r\n";
    while (m.text.size() + m.attachment_base64.size() + 200 < total) m.text += line;
    m.text += std::string("--=_bench\r\nContent-Type: application/octet-stream; name=\"") + file_name +
              "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    m.text += m.attachment_base64;
    m.text += "--=_bench--\r\n";
    return m;
}

}  // namespace bench_kit
