#include "demo_mail.h"

#include <cctype>
#include <memory>

namespace zem_host {

namespace {

using asio::ip::tcp;

// A command line longer than this ends the session (no client needs more).
constexpr std::size_t k_max_line = 512;

std::string upper_word(const std::string& line, std::string& rest) {
    const std::size_t sp = line.find(' ');
    std::string w = line.substr(0, sp);
    for (char& c : w) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    rest = sp == std::string::npos ? std::string() : line.substr(sp + 1);
    return w;
}

// 1 to the number of messages, else 0.
std::size_t message_number(const std::string& text) {
    if (text.empty() || text.size() > 3) return 0;
    std::size_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    return n >= 1 && n <= demo_mailbox::messages().size() ? n : 0;
}

// Lines starting with a dot get one more, and the lone dot ends the reply.
std::string dot_stuffed(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    bool line_start = true;
    for (char c : text) {
        if (line_start && c == '.') out += '.';
        out += c;
        line_start = c == '\n';
    }
    return out + ".\r\n";
}

class mail_session : public std::enable_shared_from_this<mail_session> {
public:
    explicit mail_session(tcp::socket s) : m_socket(std::move(s)) {}
    void start() { write("+OK demo mailbox ready\r\n"); }

private:
    void read() {
        auto self = shared_from_this();
        m_socket.async_read_some(asio::buffer(m_buf), [this, self](const asio::error_code& ec, std::size_t n) {
            if (ec) return;
            m_in.append(m_buf, n);
            std::string out;
            std::size_t at = 0, lf;
            while (!m_quit && (lf = m_in.find('\n', at)) != std::string::npos) {
                std::string line = m_in.substr(at, lf - at);
                at = lf + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                out += demo_mailbox::reply(line, m_logged_in, m_quit);
            }
            m_in.erase(0, at);
            if (m_in.size() > k_max_line) {
                out += "-ERR line too long\r\n";
                m_quit = true;
            }
            if (out.empty())
                read();
            else
                write(std::move(out));
        });
    }

    void write(std::string text) {
        auto self = shared_from_this();
        auto data = std::make_shared<std::string>(std::move(text));
        asio::async_write(m_socket, asio::buffer(*data), [this, self, data](const asio::error_code& ec, std::size_t) {
            if (ec) return;
            if (m_quit) {
                asio::error_code ignored;
                m_socket.shutdown(tcp::socket::shutdown_send, ignored);
                return;
            }
            read();
        });
    }

    tcp::socket m_socket;
    char m_buf[4096];
    std::string m_in;
    bool m_logged_in = false;
    bool m_quit = false;
};

}  // namespace

const std::vector<std::string>& demo_mailbox::messages() {
    static const std::vector<std::string> all = {
        "From: Demo Sender <sender@example.org>\r\n"
        "To: You <demo@example.org>\r\n"
        "Subject: Welcome to the demo mailbox\r\n"
        "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\n"
        "Message-ID: <welcome@demo.example.org>\r\n"
        "\r\n"
        "This message passes the filter unchanged.\r\n"
        ".A line starting with a dot travels dot-stuffed and arrives as written.\r\n",

        "From: Demo Sender <sender@example.org>\r\n"
        "To: You <demo@example.org>\r\n"
        "Subject: A program for you\r\n"
        "Date: Mon, 1 Jan 2024 10:05:00 +0000\r\n"
        "Message-ID: <program@demo.example.org>\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"demo-boundary\"\r\n"
        "\r\n"
        "--demo-boundary\r\n"
        "Content-Type: text/plain; charset=us-ascii\r\n"
        "\r\n"
        "The attached tool.exe is a Windows program; the default policy cuts\r\n"
        "attachments named *.exe, so through the filter only this text arrives.\r\n"
        "--demo-boundary\r\n"
        "Content-Type: application/octet-stream; name=\"tool.exe\"\r\n"
        "Content-Disposition: attachment; filename=\"tool.exe\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "\r\n"
        "TVqQAAMAAAAEAAAA//8AALgAAAAAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\r\n"
        "AAAAAAAAAAAAgAAAAA4fug4AtAnNIbgBTM0hVGhpcyBwcm9ncmFtIGNhbm5vdCBi\r\n"
        "ZSBydW4gaW4gRE9TIG1vZGUuDQ0KJAAAAAAAAAA=\r\n"
        "--demo-boundary--\r\n",
    };
    return all;
}

std::string demo_mailbox::reply(const std::string& line, bool& logged_in, bool& quit) {
    std::string arg;
    const std::string cmd = upper_word(line, arg);
    const auto& msgs = messages();
    if (cmd == "QUIT") {
        quit = true;
        return "+OK bye\r\n";
    }
    if (cmd == "CAPA") return "+OK\r\nUSER\r\nUIDL\r\nTOP\r\n.\r\n";
    if (cmd == "NOOP" || cmd == "RSET") return "+OK\r\n";
    if (!logged_in) {
        if (cmd == "USER") return arg.empty() ? "-ERR a name, please\r\n" : "+OK any password will do\r\n";
        if (cmd == "PASS") {
            logged_in = true;
            return "+OK logged in\r\n";
        }
        return "-ERR log in first (USER, PASS)\r\n";
    }
    if (cmd == "STAT") {
        std::size_t total = 0;
        for (const auto& m : msgs) total += m.size();
        return "+OK " + std::to_string(msgs.size()) + " " + std::to_string(total) + "\r\n";
    }
    if (cmd == "LIST" || cmd == "UIDL") {
        auto entry = [&](std::size_t n) {
            return std::to_string(n) + " " +
                   (cmd == "LIST" ? std::to_string(msgs[n - 1].size()) : "demo-" + std::to_string(n));
        };
        if (!arg.empty()) {
            const std::size_t n = message_number(arg);
            return n ? "+OK " + entry(n) + "\r\n" : "-ERR no such message\r\n";
        }
        std::string r = "+OK\r\n";
        for (std::size_t n = 1; n <= msgs.size(); ++n) r += entry(n) + "\r\n";
        return r + ".\r\n";
    }
    if (cmd == "RETR") {
        const std::size_t n = message_number(arg);
        if (!n) return "-ERR no such message\r\n";
        return "+OK " + std::to_string(msgs[n - 1].size()) + " octets\r\n" + dot_stuffed(msgs[n - 1]);
    }
    if (cmd == "TOP") {
        std::string count;
        const std::size_t n = message_number(upper_word(arg, count));
        if (!n || count.empty() || count.find_first_not_of("0123456789") != std::string::npos || count.size() > 6)
            return "-ERR TOP message lines\r\n";
        const std::string& m = msgs[n - 1];
        std::size_t end = m.find("\r\n\r\n") + 4;
        for (long k = std::stol(count); k > 0 && end < m.size(); --k) end = m.find('\n', end) + 1;
        return "+OK\r\n" + dot_stuffed(m.substr(0, end));
    }
    if (cmd == "DELE") return message_number(arg) ? "+OK marked (the demo keeps it)\r\n" : "-ERR no such message\r\n";
    return "-ERR unknown command\r\n";
}

demo_mailbox::demo_mailbox(asio::io_context& io)
    : m_listener(io, [](tcp::socket s) { std::make_shared<mail_session>(std::move(s))->start(); }) {}

bool demo_mailbox::start(const std::string& host, std::uint16_t port, std::string& error) {
    return m_listener.start(host, port, "the demo mailbox", error);
}

}  // namespace zem_host
