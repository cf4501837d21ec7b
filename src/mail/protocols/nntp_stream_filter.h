#pragma once
// Follows the server side of a news (NNTP) session and runs every article the
// server sends for ARTICLE (reply 220) through the mail filter, dot-stuffing
// removed on the way in and restored on the way out. The session is
// recognised from the greeting and the client's first command, both watched
// on copies so that nothing is delayed before then. Client data passes
// unchanged.
#include <cstdint>
#include <memory>

#include "core/interfaces.h"
#include "mail/mail_filter.h"
#include "mail/mime_coders.h"

enum class nntp_state {
    detecting,
    not_nntp,
    replies,
    article,
    multi_line,  // the lines of another multi-line reply (overview, lists)
    error,
};

class nntp_stream_filter final : public i_stream_filter {
public:
    // Longest greeting, reply line and first command we follow.
    static constexpr std::size_t max_reply_line = 512;
    // Longest line of an article or a multi-line reply.
    static constexpr std::size_t max_text_line = 64 * 1024;

    explicit nntp_stream_filter(i_connection_feedback* feedback,
                                const mail::mail_handler_hooks& hooks = mail::mail_handler_hooks());

    void stop_in(byte_string& data) override;
    bool update_in(byte_string& data) override;
    bool update_out(byte_string& data) override;

    nntp_state state() const { return m_state; }

private:
    void server_line();
    void reply_line();
    void article_line();
    void end_article();
    // Gives back what the mail filter holds of an unfinished article.
    void abandon_article();
    void flush_article();
    void watch_first_command();
    void count_listgroup(const byte_string& data);
    void reset_article();

    i_connection_feedback* m_feedback;
    nntp_state m_state = nntp_state::detecting;
    bool m_greeting_seen = false;
    byte_string m_line;         // the server line being read
    byte_string m_client_line;  // the first command, while detecting
    byte_string m_output;
    mail::mail_dots_coder m_dots;
    std::shared_ptr<mail::mail_filter> m_mail;
    mail::mail_info_summary m_summary;
    std::uint64_t m_article_bytes = 0;
    std::uint32_t m_last_tick = 0;
    // LISTGROUP commands sent whose 211 reply (multi-line, unlike GROUP's)
    // has not come yet; and where the client is in its current line.
    unsigned m_listgroup_pending = 0;
    byte_string m_command_start;
    bool m_client_at_line_start = true;
};
