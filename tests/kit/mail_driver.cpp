#include "kit/mail_driver.h"

#include <random>

#include "host/host_link.h"
#include "kit/kit.h"
#include "mail/mail_filter.h"
#include "module/chain_factory.h"
#include "zem/external_iface.h"

namespace kit {

std::string run_mail_message(const std::string& input) {
    if (input.size() < 3) return std::string();
    const unsigned verdict = static_cast<unsigned char>(input[0]) % 3;
    const std::uint32_t seed = static_cast<unsigned char>(input[1]) | (static_cast<unsigned char>(input[2]) << 8);
    const std::string msg = input.substr(3);
    fake_host host;
    host.set_reply(zem::codes::mail_check_mail_attach,
                   attach_reply(verdict, verdict == 2 ? utf16le("new.txt") : std::string(), "replaced"));
    zem::i_external_iface* saved = zem_io_commands::host_iface();
    zem_io_commands::set_host_iface(&host);
    stub_connection_feedback fb;
    mail::mail_info_summary summary;
    summary.feedback = &fb;
    std::string problem;
    {
        mail::mail_filter filter(&fb, module::mail_checker_hooks());
        for (int round = 0; round < 2 && problem.empty(); ++round) {
            std::string out;
            for (const auto& piece : random_chunks(msg, seed + static_cast<std::uint32_t>(round), 1 + seed % 97)) {
                byte_string d = piece;
                unsigned released = 0;
                filter.update(d, &released, &summary);
                out += d;
            }
            byte_string rest;
            filter.stop(rest);
            out += rest;
            if (verdict == 0 && out != msg)
                problem = "round " + std::to_string(round) + ": allowed message changed (" +
                          std::to_string(msg.size()) + " bytes in, " + std::to_string(out.size()) + " out)";
        }
    }
    zem_io_commands::set_host_iface(saved);
    return problem;
}

}  // namespace kit
