#include "capture/self_test.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "capture/replay.h"
#include "core/configuration.h"
#include "core/interfaces.h"
#include "html/html_sub_handlers.h"
#include "http/http_stream_filter.h"
#include "log/log.h"
#include "mail/mime_coders.h"
#include "mail/protocols/imap_stream_filter.h"
#include "mail/protocols/nntp_stream_filter.h"
#include "mail/protocols/pop3_stream_filter.h"
#include "mail/protocols/smtp_stream_filter.h"
#include "platform/codepage.h"
#include "platform/files.h"

#ifndef ZEM_SELFTEST_DEFAULT_DIR
#define ZEM_SELFTEST_DEFAULT_DIR "/usr/share/zem_net/selftest"
#endif

// Every line of the self-test goes to zem_net.log, whatever the level.
#define SELF_LOG(expr) ZEM_LOG_TO(0, "zem_net.log", expr)

namespace capture {

namespace {

const char* const helper_source = "unit_test/unit_test_helper";
const char* const test_source = "unit_test/unit_test";
const std::string sample_suffix = ".dump_bi";
constexpr std::size_t max_sample_file = std::size_t(256) << 20;

// --- Samples on disk -------------------------------------------------------

bool load_pieces(const std::string& path, piece_list& pieces, const char* unreadable_line) {
    byte_string buffer;
    if (!platform::read_file(path, buffer, max_sample_file)) {
        ZEM_LOG_ERROR(helper_source, unreadable_line << path);
        return false;
    }
    if (!unpack_pieces(buffer, pieces)) {
        ZEM_LOG_ERROR(helper_source, "Failed to load solid buffer from file:" << path);
        return false;
    }
    return true;
}

void save_wrong(const piece_list& got, const std::string& expected_path) {
    const std::string path = expected_path + "_wrong";
    byte_string packed;
    if (!pack_pieces(got, packed) || !platform::replace_file(path, packed.data(), packed.size()))
        ZEM_LOG_ERROR(helper_source, "Failed to save in file:" << path);
}

// The bytes of each direction, in order: what reaches the peer, however the
// filter spread it over the calls.
std::pair<byte_string, byte_string> streams(const piece_list& pieces) {
    std::pair<byte_string, byte_string> s;
    for (const piece& p : pieces) (p.in ? s.first : s.second) += p.bytes;
    return s;
}

bool same_pieces(const piece_list& a, const piece_list& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].in != b[i].in || a[i].bytes != b[i].bytes) return false;
    return true;
}

enum class compare_mode { streams, pieces };

// Compares with the expected file; a mismatch (or a missing expected file)
// leaves what came out beside it as "_wrong", a match removes a stale one.
bool matches_expected(const piece_list& got, const std::string& expected_path, compare_mode mode) {
    piece_list want;
    if (!load_pieces(expected_path, want, "Failed to load file:")) {
        save_wrong(got, expected_path);
        return false;
    }
    const bool same = mode == compare_mode::streams ? streams(got) == streams(want) : same_pieces(got, want);
    if (same) {
        std::remove((expected_path + "_wrong").c_str());
        return true;
    }
    ZEM_LOG_ERROR(test_source, "Output differs from " << expected_path);
    save_wrong(got, expected_path);
    return false;
}

// Runs the walk's action guarded, and fails a walk that found no sample:
// a self-test that looked at nothing has shown nothing.
bool walk_samples(const std::string& folder, const std::function<bool(const std::string&)>& action) {
    std::size_t seen = 0;
    const bool ok = walk_folder(folder, sample_suffix, [&](const std::string& path) {
        ++seen;
        try {
            return action(path);
        } catch (const std::exception& e) {
            ZEM_LOG_ERROR(test_source, "!!!EXCEPRION RAISED!!! self-test on " << path << " : " << e.what());
        } catch (...) {
            ZEM_LOG_ERROR(test_source, "!!!EXCEPRION RAISED!!! self-test on " << path << " : (unkonown exception)");
        }
        return false;
    });
    if (ok && seen == 0) {
        ZEM_LOG_ERROR(test_source, "No samples in " << folder);
        return false;
    }
    return ok;
}

// --- Built-in checks -------------------------------------------------------

// A fixed policy: JavaScript blocked, everything else allowed.
class no_jscript_qualifier : public allow_all_qualifier {
public:
    no_jscript_qualifier() {
        allow_all_qualifier::set_request("selftest.invalid", "selftest.invalid/", 0);
        m_permissions[idx_jscript] = content_action_block;
    }
    // The page's address stays what the check set.
    bool set_request(const byte_string&, const byte_string&, std::uint64_t) override { return true; }
    bool get_permission_by_index(int index) override {
        return index < 0 || index >= idx_count || m_permissions[index] == content_action_allow;
    }
};

// A page whose JavaScript must go while the VBScript, the text and the
// markup around it stay, fed whole and one byte at a time.
bool test_html() {
    const byte_string script_tag = "<script type=\"text/javascript\">";
    const byte_string page = "<html><body>before" + script_tag +
                             "if (a < b) window.open('x.html');</script>between"
                             "<script language=\"VBScript\">MsgBox \"hi\"</script>after</body></html>";
    // Blocked tags may be left as comments, as the configuration says.
    const byte_string removed = config::read_u32("html_comment_replacement", 0)
                                    ? "<!-- tag [" + script_tag + "] blocked by \"idx_jscript\" option-->"
                                    : byte_string();
    const byte_string expected = "<html><body>before" + removed +
                                 "between<script language=\"VBScript\">MsgBox \"hi\"</script>after</body></html>";
    for (const bool bytewise : {false, true}) {
        no_jscript_qualifier qualifier;
        stub_connection_feedback feedback;
        html::narrow_html_sub_handler handler(&qualifier, &feedback, "http://selftest.invalid/");
        byte_string out;
        for (std::size_t at = 0; at < page.size();) {
            const std::size_t n = bytewise ? 1 : page.size();
            byte_string slice = page.substr(at, n);
            handler.update_in(slice);
            out += slice;
            at += n;
        }
        byte_string last;
        handler.stop(last);
        out += last;
        if (out != expected) {
            ZEM_LOG_ERROR(test_source, "Test HTML gave: " << out);
            return false;
        }
    }
    return true;
}

// Encoded words decode in Q and B form; text without them is left alone
// both ways, and a word made by the coder reads back.
bool test_encoded_words() {
    using mail::mime_q_and_b_encodeing;
    byte_string charset, out;
    const byte_string plain = "Meeting notes, 3 = 1 + 2?";
    mime_q_and_b_encodeing::decoder(plain, charset, out);
    if (out != plain || !charset.empty()) return false;
    if (mime_q_and_b_encodeing::coder(out, plain, "") != 1 || out != plain) return false;

    mime_q_and_b_encodeing::decoder("=?iso-8859-1?Q?caf=E9_au_lait?=", charset, out);
    if (out != "caf\xe9 au lait" || charset != "iso-8859-1") return false;
    // "Grüße" in UTF-8, base64.
    const wide_string wide = mime_q_and_b_encodeing::decode_to_wide("=?utf-8?B?R3LDvMOfZQ==?=");
    if (wide != wide_string({L'G', L'r', 0xFC, 0xDF, L'e'})) return false;

    const byte_string text = "caf\xe9 a_b=c";
    if (mime_q_and_b_encodeing::coder(out, text, "iso-8859-1") != 1) return false;
    byte_string back;
    mime_q_and_b_encodeing::decoder(out, charset, back);
    return back == text && charset == "iso-8859-1";
}

struct unit {
    const char* name;
    bool (*run)();
};

const unit units[] = {
    {"Test HTML", &test_html},
    {"Test mime_q_and_b_encodeing for plain text handling", &test_encoded_words},
};

bool run_guarded(bool (*run)()) {
    try {
        return run();
    } catch (...) {
        return false;
    }
}

// --- HTTP samples ----------------------------------------------------------

// Takes every body the HTTP filter hands it, one piece per body, and leaves
// the bytes as they are.
class collecting_handler : public i_sub_handler {
public:
    bool update_in(byte_string& data) override {
        m_current += data;
        return true;
    }
    void stop(byte_string&) override { close(); }
    piece_list take() {
        close();
        return std::move(m_bodies);
    }

private:
    void close() {
        if (!m_current.empty()) m_bodies.push_back(piece{std::move(m_current), true});
        m_current.clear();
    }
    byte_string m_current;
    piece_list m_bodies;
};

enum class collect { none, file, html };

piece_list run_http(const http_handler_hooks& hooks, const piece_list& input, collect what) {
    stub_connection_feedback feedback;  // a blocked request's answer goes nowhere
    http_stream_filter filter(&feedback, hooks);
    auto collector = std::make_shared<collecting_handler>();
    if (what == collect::file) filter.assign_file_filter(collector);
    if (what == collect::html) filter.assign_html_filter(collector);
    bool declined = false;
    piece_list out = run_single_filter(filter, input, declined);
    return what == collect::none ? out : collector->take();
}

bool http_sample(const std::string& root, const std::string& in_root, const http_handler_hooks& hooks,
                 const std::string& path) {
    piece_list input;
    if (!load_pieces(path, input, "Failed to load in file:")) return false;
    const std::string rel = path.substr(in_root.size());
    bool ok = matches_expected(run_http(hooks, input, collect::none), platform::join_path(root, "out_slices") + rel,
                               compare_mode::streams);
    ok = matches_expected(run_http(hooks, input, collect::file), platform::join_path(root, "sub_in_file_slices") + rel,
                          compare_mode::pieces) &&
         ok;
    ok = matches_expected(run_http(hooks, input, collect::html), platform::join_path(root, "sub_in_html_slices") + rel,
                          compare_mode::pieces) &&
         ok;
    return ok;
}

// --- Stress ----------------------------------------------------------------

using filter_maker = std::function<std::shared_ptr<i_stream_filter>(i_connection_feedback*)>;

// A mail filter fed traffic that is not its protocol must hand on every byte
// of both directions unchanged and leave the connection.
bool stress_sample(const filter_maker& make, const std::string& path) {
    piece_list input;
    bool ok = load_pieces(path, input, "Failed to load in file:");
    if (ok) {
        stub_connection_feedback feedback;
        const auto filter = make(&feedback);
        bool declined = false;
        const piece_list got = run_single_filter(*filter, input, declined);
        if (streams(got) != streams(input)) {
            ZEM_LOG_ERROR(test_source, "the filter changed the traffic of " << path);
            ok = false;
        } else if (!declined) {
            ZEM_LOG_ERROR(test_source, "the filter took the traffic of " << path << " for its own");
            ok = false;
        }
    }
    if (!ok) SELF_LOG("Stress test failed for file:" << path << "\r\n");
    return ok;
}

}  // namespace

piece_list run_single_filter(i_stream_filter& filter, const piece_list& pieces, bool& declined) {
    declined = false;
    piece_list out;
    out.reserve(pieces.size() + 2);
    for (const piece& p : pieces) {
        piece done = p;
        if (!declined) declined = !(p.in ? filter.update_in(done.bytes) : filter.update_out(done.bytes));
        out.push_back(std::move(done));
    }
    piece last_in{byte_string(), true};
    piece last_out{byte_string(), false};
    if (!declined) {
        filter.stop_in(last_in.bytes);
        filter.stop_out(last_out.bytes);
    }
    out.push_back(std::move(last_in));
    out.push_back(std::move(last_out));
    return out;
}

bool run_unit_test(const std::string& root, const self_test_hooks& hooks) {
    bool all = true;
    SELF_LOG("Running simple unit tests\r\n");
    for (const unit& u : units) {
        SELF_LOG("Testing unit '" << u.name << "'...");
        const bool ok = run_guarded(u.run);
        SELF_LOG((ok ? "Ok! \r\n" : "Failed! \r\n"));
        all = all && ok;
    }

    SELF_LOG("Running dump unit test area....\r\n");
    SELF_LOG(" ---- HTTP unit test ----\r\n");
    http_handler_hooks web = hooks.http;
    web.qualifier = nullptr;  // allow-all: the samples assume no policy
    const std::string http_root = platform::join_path(root, "test_http");
    const std::string http_in = platform::join_path(http_root, "in_slices");
    const bool http_ok =
        walk_samples(http_in, [&](const std::string& path) { return http_sample(http_root, http_in, web, path); });
    if (http_ok) SELF_LOG("Unit test: Ok!\r\n");
    all = all && http_ok;

    SELF_LOG("Running stress test area....\r\n");
    const std::string smtp = platform::join_path(platform::join_path(root, "test_smtp"), "in_slices");
    const std::string pop3 = platform::join_path(platform::join_path(root, "test_pop3"), "in_slices");
    const std::string noise = platform::join_path(root, "test_noise");
    const mail::mail_handler_hooks mail_hooks = hooks.mail;
    const filter_maker imap = [&](i_connection_feedback* f) {
        return std::make_shared<imap_stream_filter>(f, mail_hooks);
    };
    const filter_maker nntp = [&](i_connection_feedback* f) {
        return std::make_shared<nntp_stream_filter>(f, mail_hooks);
    };
    const filter_maker smtp_filter = [&](i_connection_feedback* f) {
        return std::make_shared<mail::smtp_stream_filter>(f, mail_hooks);
    };
    const filter_maker pop3_filter = [&](i_connection_feedback* f) {
        return std::make_shared<mail::pop3_stream_filter>(f, mail_hooks);
    };
    struct stress_case {
        const char* heading;
        const char* line;
        const std::string& folder;
        const filter_maker& make;
    };
    const stress_case cases[] = {
        {" ---- IMAP stress test ----\r\n", "  IMAP on SMTP stream: \r\n", smtp, imap},
        {nullptr, "  IMAP on NOISE stream: \r\n", noise, imap},
        {" ---- NNTP stress test ----\r\n", "  Test NNTP via SMTP:\r\n", smtp, nntp},
        {nullptr, "  Test NNTP via NOISE:\r\n", noise, nntp},
        {" ---- SMTP stress test ----\r\n", "  Test SMTP via POP3:\r\n", pop3, smtp_filter},
        {nullptr, "  Test SMTP via NOISE:\r\n", noise, smtp_filter},
        {" ---- POP3 stress test ----\r\n", "  Test POP3 via SMTP:\r\n", smtp, pop3_filter},
        {nullptr, "  Test POP3 via NOISE:\r\n", noise, pop3_filter},
    };
    bool stress_ok = true;
    for (const stress_case& c : cases) {
        if (c.heading) SELF_LOG(c.heading);
        SELF_LOG(c.line);
        const filter_maker& make = c.make;
        stress_ok =
            walk_samples(c.folder, [&](const std::string& path) { return stress_sample(make, path); }) && stress_ok;
    }
    if (stress_ok) SELF_LOG("Stress test: Ok!\r\n");
    all = all && stress_ok;

    SELF_LOG("Summary Done.\r\n");
    return all;
}

std::string self_test_root() {
    const char* env = std::getenv("ZEM_SELFTEST_DIR");
    if (env && *env) return env;
    return ZEM_SELFTEST_DEFAULT_DIR;
}

}  // namespace capture
