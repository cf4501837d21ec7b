#pragma once
// Follows the server side of an IMAP session and runs every whole message a
// FETCH response carries as a literal through the mail filter. The FETCH line
// is held with its literal, its length rewritten when filtering changed the
// message; while a message is held, a call that would release nothing gives
// the client an untagged keep-alive line instead. Client data passes
// unchanged; it is only watched for the commands after which the server's
// bytes can no longer be read (STARTTLS, COMPRESS).
#include <cstdint>
#include <memory>

#include "core/interfaces.h"
#include "mail/mail_filter.h"

enum class imap_state {
    imap_state_greeting,
    imap_state_line_start,
    imap_state_tagged,
    imap_state_untagged,
    imap_state_continuation,
    imap_state_caching,
    imap_state_skipping,
    imap_state_error,
};

class imap_stream_filter final : public i_stream_filter {
public:
    // Longest greeting, and longest server line between literals, we follow.
    static constexpr std::size_t max_greeting = 1024;
    static constexpr std::size_t max_line = 64 * 1024;
    // A message announced larger than this is passed on unfiltered rather
    // than held whole.
    static constexpr std::uint64_t max_cached_literal = 64ull * 1024 * 1024;
    // Room taken at once for an announced message (address space only until
    // the bytes come).
    static constexpr std::uint64_t max_literal_reserve = max_cached_literal;
    static const char keep_alive_line[];

    explicit imap_stream_filter(i_connection_feedback* feedback,
                                const mail::mail_handler_hooks& hooks = mail::mail_handler_hooks());

    void stop_in(byte_string& data) override;
    bool update_in(byte_string& data) override;
    bool update_out(byte_string& data) override;
    bool reset_state() override;

    imap_state state() const { return m_state; }

private:
    // Consumes bytes of 'data' from 'pos' in the current state.
    void step(const byte_string& data, std::size_t& pos);
    void line_start_byte(char c);
    void end_of_line();
    // Looks for "{n}" closing the held line; true when a literal follows.
    bool literal_at_end(std::uint64_t& size, std::size_t& digits_at, std::size_t& digits_len) const;
    bool cacheable_item(std::size_t brace_at) const;
    bool valid_untagged() const;
    bool is_fetch_line() const;
    // 'tail': how many bytes of the current chunk follow the message.
    void finish_message(std::size_t tail);
    void release_line();
    void fail(const char* why);
    void watch_client_line();

    i_connection_feedback* m_feedback;
    mail::mail_handler_hooks m_hooks;
    imap_state m_state = imap_state::imap_state_greeting;
    // Where the bytes after a literal continue: the rest of the same response.
    imap_state m_after_literal = imap_state::imap_state_line_start;
    bool m_continued = false;  // the held line follows a literal of its response
    bool m_fetch_response = false;
    std::uint64_t m_literal_remaining = 0;
    std::uint64_t m_message_id = 0;
    std::uint64_t m_cached_bytes = 0;
    std::uint32_t m_last_tick = 0;
    byte_string m_line;
    std::size_t m_length_at = 0, m_length_len = 0;
    byte_string m_output;
    byte_string m_cache;
    std::shared_ptr<mail::mail_filter> m_mail;
    // The client's current command line (its start only) and the tag of a
    // command that ends readable traffic once the server accepts it.
    byte_string m_client_line;
    bool m_client_line_long = false;
    byte_string m_upgrade_tag;
    bool m_upgrade_tls = false;  // the tag is a STARTTLS (else COMPRESS)
};
