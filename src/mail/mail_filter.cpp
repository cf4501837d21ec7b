#include "mail/mail_filter.h"

#include <algorithm>
#include <boost/regex.hpp>
#include <cstring>
#include <mutex>

#include "core/ascii.h"
#include "host/zem_io_commands.h"
#include "log/log.h"
#include "mail/body_handlers.h"
#include "mail/mime_coders.h"
#include "platform/codepage.h"
#include "platform/never_destroyed.h"

#define ZEM_MAIL_SOURCE "PLUGIN/MAIL/mail"
#define ZEM_FACTORY_SOURCE "PLUGIN/MAIL/body_handlers_factory"

namespace mail {

namespace {

struct factory_expressions {
    boost::regex content_type{
        " ?((((multipart)|(text)|(image)|(video)|(audio)|(application)|(unknown)|(\\w+?))(/"
        "((html)|(\\w+)))?))(\\s*;.*)?",
        boost::regex::perl | boost::regex::icase};
    boost::regex disposition{"(([;\\s^]))((attachment)|(inline))(([;\\s])|($))",
                             boost::regex::perl | boost::regex::icase};
    boost::regex boundary{"boundary=((\"(.*?)\")|(\\\\\"(.*?)\\\\\")|([^\\s;]*))",
                          boost::regex::perl | boost::regex::icase};
    boost::regex encoding{" *((base64)|(quoted-printable)|(8bit)|(7bit)|(binary)|(x-uue)|(plain)|(\\w+?)) *",
                          boost::regex::perl | boost::regex::icase};
    boost::regex file_name{"filename=((\"(.*?)\")|([^\\s;]*))", boost::regex::perl | boost::regex::icase};
    boost::regex name{"name=((\"(.*?)\")|([^\\s;]*))", boost::regex::perl | boost::regex::icase};
    boost::regex rewrite_name{"filename=((\"(.+?)\")|([^\\s;]+))", boost::regex::perl | boost::regex::icase};
};

// Connection threads may still be parsing headers while the process exits:
// neither the lock nor the expressions are ever destroyed.
const factory_expressions& expressions() {
    static platform::never_destroyed<std::mutex> lock;
    std::lock_guard<std::mutex> guard(lock.get());
    static const platform::never_destroyed<const factory_expressions> e;
    return e.get();
}

bool field_is(const byte_string& header, const header_field& f, const char* name) {
    return ascii_iequal(header.data() + f.name_begin, f.name_end - f.name_begin, name);
}

// An RFC 2231 parameter ("filename*=utf-8''%D0%B0", or continued as
// "filename*0*=...; filename*1*=...") given back as one encoded word, so that
// it takes the same path as a name in RFC 2047 form. Empty when absent.
byte_string rfc2231_parameter(const byte_string& value, const char* param) {
    byte_string key = byte_string(param) + "*";
    std::vector<std::pair<unsigned, std::pair<bool, byte_string>>> parts;
    std::size_t pos = 0;
    while ((pos = ascii_find_folded(value, key.c_str(), pos)) != byte_string::npos) {
        if (pos > 0 &&
            !(value[pos - 1] == ';' || value[pos - 1] == ' ' || value[pos - 1] == '\t' || value[pos - 1] == '\n')) {
            pos += key.size();
            continue;
        }
        std::size_t i = pos + key.size();
        unsigned index = 0;
        bool numbered = false;
        while (i < value.size() && value[i] >= '0' && value[i] <= '9' && index < 1000) {
            index = index * 10 + unsigned(value[i] - '0');
            numbered = true;
            ++i;
        }
        bool extended = !numbered;
        if (numbered && i < value.size() && value[i] == '*') {
            extended = true;
            ++i;
        }
        if (i >= value.size() || value[i] != '=') {
            pos = i;
            continue;
        }
        ++i;
        byte_string raw;
        if (i < value.size() && value[i] == '"') {
            const std::size_t close = value.find('"', i + 1);
            raw = value.substr(i + 1, close == byte_string::npos ? byte_string::npos : close - i - 1);
            i = close == byte_string::npos ? value.size() : close + 1;
        } else {
            while (i < value.size() && value[i] != ';' && value[i] != ' ' && value[i] != '\t' && value[i] != '\r' &&
                   value[i] != '\n')
                raw += value[i++];
        }
        parts.push_back({index, {extended, raw}});
        pos = i;
    }
    if (parts.empty()) return byte_string();
    std::stable_sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    byte_string charset, text;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        byte_string raw = parts[k].second.second;
        if (!parts[k].second.first) {
            text += raw;
            continue;
        }
        if (k == 0) {
            const std::size_t q1 = raw.find('\'');
            const std::size_t q2 = q1 == byte_string::npos ? q1 : raw.find('\'', q1 + 1);
            if (q2 != byte_string::npos) {
                charset = raw.substr(0, q1);
                raw.erase(0, q2 + 1);
            }
        }
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '%' && i + 2 < raw.size() + 0 && hex_value(raw[i + 1]) >= 0 && hex_value(raw[i + 2]) >= 0) {
                text += static_cast<char>(hex_value(raw[i + 1]) * 16 + hex_value(raw[i + 2]));
                i += 2;
            } else {
                text += raw[i];
            }
        }
    }
    if (charset.empty()) return text;
    byte_string word = "=?" + charset + "?B?";
    byte_string b64;
    mime_base64_coder().coder(text, b64);
    b64.erase(std::remove_if(b64.begin(), b64.end(), [](char c) { return c == '\r' || c == '\n'; }), b64.end());
    return word + b64 + "?=";
}

byte_string file_name_of(const section_header& s) {
    const factory_expressions& e = expressions();
    const byte_string& disp = s.content_disposition.empty() ? s.disposition_for_name : s.content_disposition;
    byte_string ext = rfc2231_parameter(disp, "filename");
    if (ext.empty()) ext = rfc2231_parameter(s.content_type, "name");
    if (!ext.empty()) return ext;
    boost::smatch m;
    if (boost::regex_search(disp, m, e.file_name) || boost::regex_search(s.content_type, m, e.name))
        return m[3].matched ? m[3].str() : m[1].str();
    return "stub_file_name.stb";
}

// Header text for the host: encoded words decoded wherever they stand, each
// in its own charset, blanks between adjacent words dropped, folding undone.
wide_string decode_header_text(const byte_string& raw) {
    byte_string unfolded;
    for (char c : raw)
        if (c != '\r' && c != '\n') unfolded += c == '\t' ? ' ' : c;
    wide_string out;
    std::size_t pos = 0;
    bool last_was_word = false;
    while (pos < unfolded.size()) {
        std::size_t start = unfolded.find("=?", pos);
        std::size_t end = byte_string::npos;
        if (start != byte_string::npos) {
            // =?charset?X?text?=
            const std::size_t q1 = unfolded.find('?', start + 2);
            const std::size_t q2 = q1 == byte_string::npos ? q1 : unfolded.find('?', q1 + 1);
            const std::size_t close =
                (q2 == byte_string::npos || q2 != q1 + 2) ? byte_string::npos : unfolded.find("?=", q2 + 1);
            if (close != byte_string::npos && unfolded.find(' ', start) > close) end = close + 2;
        }
        if (end == byte_string::npos) {
            // No more words: the rest is plain text.
            const std::size_t stop = start == byte_string::npos ? unfolded.size() : start + 2;
            out += platform::ansi_to_wide(unfolded.substr(pos, stop - pos));
            pos = stop;
            last_was_word = false;
            continue;
        }
        byte_string between = unfolded.substr(pos, start - pos);
        const bool blank = between.find_first_not_of(' ') == byte_string::npos;
        if (!(last_was_word && blank)) out += platform::ansi_to_wide(between);
        out += mime_q_and_b_encodeing::decode_to_wide(unfolded.substr(start, end - start));
        last_was_word = true;
        pos = end;
    }
    const std::size_t b = out.find_first_not_of(L' ');
    if (b == wide_string::npos) return wide_string();
    const std::size_t e = out.find_last_not_of(L' ');
    return out.substr(b, e - b + 1);
}

byte_string quoted_name(const byte_string& name) {
    byte_string q = "\"";
    for (char c : name) {
        if (c == '\r' || c == '\n') continue;
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

}  // namespace

std::int32_t transfer_encoding_code(const byte_string& value) {
    boost::smatch m;
    if (!boost::regex_search(value, m, expressions().encoding)) return 7;
    static const std::int32_t codes[] = {0, 1, 3, 4, 5, 2, 6};
    for (int g = 2; g <= 8; ++g)
        if (m[g].matched) return codes[g - 2];
    ZEM_LOG_ERROR(ZEM_FACTORY_SOURCE, "Unknown encode in 'Content-Transfer-Encoding' = " << m[9].str());
    return 7;
}

namespace {
void rewrite_fields(byte_string& header, const byte_string& name);
}

void rewrite_header_for_name(byte_string& header, const byte_string& name) {
    try {
        rewrite_fields(header, name);
    } catch (...) {
        ZEM_LOG_ERROR(ZEM_MAIL_SOURCE, "rewrite_header_for_name: header left as it was");
    }
}

namespace {
void rewrite_fields(byte_string& header, const byte_string& name) {
    bool has_disp = false, has_type = false;
    header_field disp{}, type{};
    scan_header_fields(header, [&](const header_field& f) {
        if (field_is(header, f, "Content-Disposition")) {
            disp = f;
            has_disp = true;
        } else if (field_is(header, f, "Content-Type")) {
            type = f;
            has_type = true;
        }
    });
    struct edit {
        std::size_t at, len;
        byte_string text;
    };
    std::vector<edit> edits;
    if (has_disp) {
        const byte_string value = header.substr(disp.value_begin, disp.value_end - disp.value_begin);
        if (ascii_find_folded(value, "filename*") != byte_string::npos) {
            // Parameters in RFC 2231 form would outrank a plain filename:
            // the value keeps its disposition word and takes the new name.
            std::size_t b = value.find_first_not_of(" \t");
            std::size_t e = value.find(';', b == byte_string::npos ? 0 : b);
            byte_string word = b == byte_string::npos ? byte_string("attachment") : value.substr(b, e - b);
            edits.push_back(
                {disp.value_begin, disp.value_end - disp.value_begin, " " + word + "; filename=" + quoted_name(name)});
        } else {
            boost::smatch m;
            if (boost::regex_search(value, m, expressions().rewrite_name))
                edits.push_back({disp.value_begin + static_cast<std::size_t>(m.position(1)),
                                 static_cast<std::size_t>(m.length(1)), quoted_name(name)});
        }
    }
    if (has_type) {
        byte_string eol = header.compare(type.value_end, 2, "\r\n") == 0 ? "\r\n" : "\n";
        edits.push_back({type.name_begin, type.field_end - type.name_begin,
                         "Content-Type: application/octet-stream; name=" + quoted_name(name) + eol});
    }
    std::sort(edits.begin(), edits.end(), [](const edit& a, const edit& b) { return a.at > b.at; });
    byte_string out = header;
    for (const edit& e : edits) out.replace(e.at, e.len, e.text);
    header.swap(out);
}
}  // namespace

void begin_object_check(mail_info_summary* summary) {
    if (!summary) return;
    summary->object_id = zem_io_commands::next_mail_message_id();
    zem_io_commands::mail_notify_mail_attach(summary->feedback, summary->object_id, summary->message_id,
                                             summary->object_name);
}

void end_object_check(mail_info_summary* summary, std::uint64_t size, std::int32_t decision) {
    if (!summary) return;
    zem_io_commands::general_notify_transfer_complete(summary->feedback, summary->object_id, size,
                                                      decision == mail_action_leave ? 1 : 2);
}

void start_message(mail_info_summary& summary) {
    summary.message_id = zem_io_commands::next_mail_message_id();
    zem_io_commands::http_notify_mail_message_start(summary.feedback, summary.message_id);
}

namespace {
std::shared_ptr<i_mail_handler> choose_body_handler(const section_header& section, mail_filter* parent,
                                                    mail_info_summary* summary, unsigned depth, handler_kind* kind,
                                                    void* zombie);
}

std::shared_ptr<i_mail_handler> body_handlers_factory(const section_header& section, mail_filter* parent,
                                                      mail_info_summary* summary, unsigned depth, handler_kind* kind,
                                                      void* zombie) {
    try {
        return choose_body_handler(section, parent, summary, depth, kind, zombie);
    } catch (const std::exception& ex) {
        ZEM_LOG_ERROR(ZEM_FACTORY_SOURCE, "body_handlers_factory: " << ex.what());
    } catch (...) {
        ZEM_LOG_ERROR(ZEM_FACTORY_SOURCE, "body_handlers_factory: unknown exception");
    }
    // A header we could not read: the host still rules on the raw content.
    if (kind) *kind = handler_kind::checked;
    return std::make_shared<attachment_handler>(7, parent, "stub_file_name.stb", summary, entry_type::attachment);
}

namespace {
std::shared_ptr<i_mail_handler> choose_body_handler(const section_header& section, mail_filter* parent,
                                                    mail_info_summary* summary, unsigned depth, handler_kind* kind,
                                                    void* zombie) {
    handler_kind dummy;
    if (!kind) kind = &dummy;
    *kind = handler_kind::passing;
    if (summary) {
        summary->object_name.clear();
        summary->replacement_name.clear();
    }
    const factory_expressions& e = expressions();
    const byte_string& ct = section.content_type;
    const byte_string& te = section.content_transfer_encoding;
    const byte_string& cd = section.content_disposition;
    if (ct.empty()) {
        ZEM_LOG(3, "body_handlers_factory: Create DEFAULT_BODY_HANDLER.\n");
        *kind = handler_kind::checked;
        return std::make_shared<plain_text_handler>(summary, parent);
    }
    boost::smatch m;
    if (!boost::regex_search(ct, m, e.content_type)) {
        ZEM_LOG_ERROR(ZEM_FACTORY_SOURCE, "header_mail_handler: Wrong header information:"
                                              << "content-type=" << ct << "encoding=" << te
                                              << "content-disposition=" << cd);
        return std::make_shared<do_nothing_handler>();
    }
    const std::int32_t code = transfer_encoding_code(te);
    const bool disposed = boost::regex_search(cd, e.disposition);
    if (m[4].matched) {
        boost::smatch b;
        if (!boost::regex_search(ct, b, e.boundary)) {
            ZEM_LOG_ERROR(ZEM_FACTORY_SOURCE,
                          "header_mail_handler: \"boundary=\" entry not matched in:\"" << ct << "\"");
            return std::make_shared<do_nothing_handler>();
        }
        const byte_string boundary = b[3].matched ? b[3].str() : b[5].matched ? b[5].str() : b[6].str();
        if (!boundary.empty() && depth < max_multipart_depth) {
            ZEM_LOG(3, "body_handlers_factory: Create MULTIPART_BODY_HANDLER. (boundary=" << boundary << ")\n");
            *kind = handler_kind::multipart;
            return std::make_shared<multipart_body_handler>(parent, boundary, summary, depth,
                                                            static_cast<zombie_state*>(zombie));
        }
        // Nested past any sensible depth (or an empty boundary): the host
        // rules on the whole part as one object.
    } else if (m[5].matched && !disposed) {
        ZEM_LOG(3, "body_handlers_factory: Create TEXT_BODY_HANDLER. ("
                       << "content-type=" << ct << "encoding=" << te << "[" << code << "])\n");
        if (m[14].matched) {
            *kind = handler_kind::checked;
            return std::make_shared<attachment_handler>(code, parent, "mail.html", summary, entry_type::html_body);
        }
        return std::make_shared<text_handler>(code, parent);
    } else if (!(m[6].matched || m[7].matched || m[8].matched || m[9].matched || disposed)) {
        ZEM_LOG(3, "body_handlers_factory: Create DO_NOTHING_BODY_HANDLER(!!!). ("
                       << "content-type=" << ct << "encoding=" << te << "[" << code << "])\n");
        return std::make_shared<do_nothing_handler>();
    }
    const byte_string name = file_name_of(section);
    ZEM_LOG(3, "body_handlers_factory: Create ATTACHMENT_BODY_HANDLER. (filename=" << name << ",encoding=" << te << "["
                                                                                   << code << "])\n");
    *kind = handler_kind::checked;
    return std::make_shared<attachment_handler>(code, parent, name, summary, entry_type::attachment);
}
}  // namespace

// ------------------------------------------------------------- mail_filter

mail_filter::mail_filter(i_connection_feedback* feedback, const mail_handler_hooks& hooks)
    : m_pattach_checker(std::make_shared<mail_attach_checker>()),
      m_ptext_checker(std::make_shared<do_nothing_handler>()),
      m_phtml_checker(hooks.html ? hooks.html(feedback) : nullptr) {
    m_cache.reserve(300);
}

bool mail_filter::update(byte_string& data, unsigned* released, mail_info_summary* summary) {
    m_pmi_summary = summary;
    std::size_t keep = released ? std::min<std::size_t>(*released, data.size()) : 0;
    byte_string rest;
    if (!m_header_done) {
        std::size_t i = keep;
        bool done = false;
        while (i < data.size()) {
            const void* lf = std::memchr(data.data() + i, '\n', data.size() - i);
            const std::size_t upto =
                lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - data.data()) + 1 : data.size();
            m_cache.append(data, i, upto - i);
            i = upto;
            if (lf) {
                const std::size_t n = m_cache.size();
                // The empty line: "\r\n\r\n" or "\n\n", or a header that is
                // empty from the start.
                if (m_cache == "\r\n" || m_cache == "\n" || (n >= 2 && m_cache[n - 2] == '\n') ||
                    (n >= 3 && m_cache.compare(n - 3, 3, "\n\r\n") == 0)) {
                    done = true;
                    break;
                }
            }
            if (m_cache.size() >= max_header_bytes) {
                ZEM_LOG_ERROR(ZEM_MAIL_SOURCE,
                              "mail_filter: header longer than " << max_header_bytes << " bytes, read as complete");
                done = true;
                break;
            }
        }
        if (!done) {
            data.resize(keep);
            if (released) *released = static_cast<unsigned>(data.size());
            return true;
        }
        m_header_done = true;
        m_body_handler = analize_cached_header_and_select_body_handler();
        rest.assign(data, i, byte_string::npos);
        data.resize(keep);
        if (!m_body_handler) {
            ZEM_LOG_ERROR(ZEM_MAIL_SOURCE, "Body handler not created.");
            data += m_cache;
            data += rest;
            m_cache.clear();
            if (released) *released = static_cast<unsigned>(data.size());
            return false;
        }
        m_pending_header.swap(m_cache);
        m_cache.clear();
    } else {
        if (!m_body_handler) return false;
        if (keep == 0) {
            rest.swap(data);
        } else {
            rest.assign(data, keep, byte_string::npos);
            data.resize(keep);
        }
    }
    unsigned r = 0;
    const bool ok = m_body_handler->update(rest, &r, m_pmi_summary);
    if (!rest.empty() && !m_pending_header.empty()) {
        data += m_pending_header;
        m_pending_header.clear();
    }
    if (data.empty())
        data.swap(rest);
    else
        data += rest;
    if (released) *released = static_cast<unsigned>(data.size());
    return ok;
}

std::int32_t mail_filter::stop(byte_string& data) {
    if (!m_header_done) {
        data += m_cache;
    } else if (!m_body_handler) {
        // Stepped aside: everything went on already.
    } else if (!m_pending_header.empty()) {
        byte_string rest;
        const std::int32_t decision = m_body_handler->stop(rest);
        switch (decision) {
            case mail_action_leave:
                break;
            case mail_action_replace:
                if (m_pmi_summary) rewrite_header_for_name(m_pending_header, m_pmi_summary->replacement_name);
                break;
            case mail_action_cut_whole_section:
                // Only a body past the held bound ends this way: the header
                // goes on with an empty body.
                rest.clear();
                break;
            default:
                ZEM_LOG_ERROR(ZEM_MAIL_SOURCE, "mail_filter::stop: Unknown decision" << decision);
                break;
        }
        data += m_pending_header;
        data += rest;
    } else {
        m_body_handler->stop(data);
    }
    reset_message();
    return mail_action_leave;
}

void mail_filter::reset_message() {
    m_header_done = false;
    m_from.clear();
    m_to.clear();
    m_cc.clear();
    m_subject.clear();
    m_section.clear();
    m_cache.clear();
    m_pending_header.clear();
    m_pmi_summary = nullptr;
}

std::int32_t mail_filter::check_html(byte_string& data, bool* stopped, mail_info_summary*) {
    if (!m_phtml_checker || !m_pmi_summary) {
        ZEM_LOG_ERROR(ZEM_MAIL_SOURCE, "mail_filter::check_html: m_phtml_checker or m_pmi_summary is NULL.");
        return mail_action_leave;
    }
    return m_phtml_checker->stop_and_check(data, stopped, m_pmi_summary);
}

std::int32_t mail_filter::check_attach(byte_string& data, bool* stopped, mail_info_summary*) {
    if (!m_pattach_checker || !m_pmi_summary) {
        ZEM_LOG_ERROR(ZEM_MAIL_SOURCE, "mail_filter::check_attach: m_pattach_checker or m_pmi_summary is NULL.");
        return mail_action_leave;
    }
    return m_pattach_checker->stop_and_check(data, stopped, m_pmi_summary);
}

std::int32_t mail_filter::check_text(byte_string& data, bool* stopped, mail_info_summary*) {
    if (!m_ptext_checker || !m_pmi_summary) {
        ZEM_LOG_ERROR(ZEM_MAIL_SOURCE, "mail_filter::check_text: m_ptext_checker or m_pmi_summary is NULL.");
        return mail_action_leave;
    }
    return m_ptext_checker->stop_and_check(data, stopped, m_pmi_summary);
}

std::shared_ptr<i_mail_handler> mail_filter::analize_cached_header_and_select_body_handler() {
    const byte_string& h = m_cache;
    scan_header_fields(h, [&](const header_field& f) {
        byte_string value = h.substr(f.value_begin, f.value_end - f.value_begin);
        if (field_is(h, f, "From"))
            m_from.swap(value);
        else if (field_is(h, f, "To"))
            m_to.swap(value);
        else if (field_is(h, f, "Cc"))
            m_cc.swap(value);
        else if (field_is(h, f, "Subject"))
            m_subject.swap(value);
        else if (field_is(h, f, "Content-Type"))
            m_section.content_type.swap(value);
        else if (field_is(h, f, "Content-Transfer-Encoding"))
            m_section.content_transfer_encoding.swap(value);
        else {
            if (field_is(h, f, "Content-Disposition")) m_section.disposition_for_name = value;
            m_section.others.emplace_back(h.substr(f.name_begin, f.name_end - f.name_begin), std::move(value));
        }
    });
    decode_and_fill_well_known_fields();
    if (m_pmi_summary) zem_io_commands::http_notify_mail_message_info(m_pmi_summary->feedback, *m_pmi_summary);
    try {
        return body_handlers_factory(m_section, this, m_pmi_summary);
    } catch (const std::exception& ex) {
        ZEM_LOG_ERROR(ZEM_MAIL_SOURCE,
                      "!!!EXCEPRION RAISED!!! in mail_filter::analize_cached_header_and_select_body_handler: "
                          << ex.what() << "\r\n BUFFER:" << h);
    }
    return nullptr;
}

void mail_filter::decode_and_fill_well_known_fields() {
    if (!m_pmi_summary) {
        ZEM_LOG_ERROR(ZEM_MAIL_SOURCE, "mail_filter::decode_and_fill_well_known_fields(): m_pmi_summary is NOT SET!");
        return;
    }
    m_pmi_summary->from = decode_header_text(m_from);
    m_pmi_summary->to = decode_header_text(m_to);
    m_pmi_summary->cc = decode_header_text(m_cc);
    m_pmi_summary->subject = decode_header_text(m_subject);
}

}  // namespace mail
