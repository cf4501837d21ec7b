#pragma once
// The HTTP protocol filter of one connection: recognises HTTP from the
// client's first chunk, cuts both byte streams into messages, pairs each
// response with the request it answers, edits and blocks requests by policy,
// routes response bodies through a chain of content handlers and keeps their
// framing valid (Content-Length rewritten, chunked bodies re-chunked).
//
// Buffers are consumed through read offsets and compacted once per call, and
// partial lines and header blocks are scanned on from where the last call
// stopped, so the cost stays linear in the bytes seen. Whatever happens, the
// filter gives back every byte it holds before it steps aside.
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

#include "core/interfaces.h"
#include "core/serial_loop.h"
#include "core/strings.h"
#include "host/permission_qualifier.h"
#include "http/http_handler_factory.h"
#include "http/http_message.h"
#include "http/http_message_reader.h"

// The largest filtered length-delimited body held back at once. Past it the
// body is streamed: unchanged-length content passes unfiltered with a
// corrected Content-Length, decoded content is re-framed as chunked (HTTP/1.1
// clients) or close-delimited (HTTP/1.0 clients).
constexpr std::size_t http_max_held_body = std::size_t(16) << 20;

enum http_state : int {
    http_state_initial = 0,
    http_state_start_line = 1,
    http_state_header = 2,
    http_state_body = 3,
    http_state_not_http = 4,
    http_state_path_through = 5,
    http_state_error = 6,
    // The client asked to switch protocols: its next bytes are held until
    // the server says whether it switched (101) or not.
    http_state_upgrade_wait = 7,
};

enum http_body_transfer : int {
    http_body_transfer_chunked = 0,
    http_body_transfer_content_length = 1,
    http_body_transfer_connection_close = 3,
    http_body_transfer_multipart = 4,
    http_body_transfer_undefined = 5,
};

struct query_info {
    int method = 0;
    byte_string uri;
    byte_string method_name;
    byte_string request_line;
    byte_string reply;
    bool blocked = false;
    bool close_after = false;
    int major = 1;
    int version = 0;
    http_msg::http_header_info header;
    int header_length = 0;
    std::uint64_t request_id = 0;
};

struct reply_info {
    byte_string reason;
    http_msg::http_header_info header;
    int content_kind = 3;
    int major = 0;
    int minor = 0;
    int status = 0;
    byte_string charset;
    int charset_kind = 0;
};

class http_stream_filter final : public i_stream_filter,
                                 public serial_loop<http_stream_filter>,
                                 public http_body_owner {
public:
    explicit http_stream_filter(i_connection_feedback* feedback,
                                const http_handler_hooks& hooks = default_http_handler_hooks());
    ~http_stream_filter();
    http_stream_filter(const http_stream_filter&) = delete;
    http_stream_filter& operator=(const http_stream_filter&) = delete;

    void stop_in(byte_string& data) override;
    bool update_in(byte_string& data) override;
    void stop_out(byte_string& data) override;
    bool update_out(byte_string& data) override;
    bool reset_state() override;

    bool assign_html_filter(std::shared_ptr<i_sub_handler> handler);
    bool assign_file_filter(std::shared_ptr<i_sub_handler> handler);

    // http_body_owner
    std::shared_ptr<i_sub_handler> decoded_target() override;
    void set_handler_finished() override;
    byte_string current_host() const override;

    // The encoding sniffer in front of the content handler (the first handler
    // of an unencoded body, and the target of a decoder).
    bool sniff_update(byte_string& data);
    void sniff_stop(byte_string& data);
    // The content handler behind the sniffer hands back on failure (see
    // i_sub_handler::hands_back_on_failure).
    bool content_hands_back() const;

    int state_in() const { return m_state_in; }
    int state_out() const { return m_state_out; }
    const reply_info& current_reply() const { return m_reply_info; }
    host_permission_qualifier* qualifier() const { return m_qualifier.get(); }

private:
    friend class serial_loop<http_stream_filter>;

    // Client direction.
    bool recognise(const byte_string& chunk);
    bool handle_buff_out(byte_string& data);
    void handle_invoke_query_line();
    bool analize_cached_request_header_and_invoke_state(std::size_t end);
    void complete_request();
    void edit_request_header(byte_string& block);
    bool request_blocked();

    // Server direction.
    bool handle_buff_in(byte_string& data);
    void handle_invoke_reply_line();
    bool analize_cached_reply_header_and_invoke_state(std::size_t end);
    void prepare_response(byte_string& block, bool decode);
    bool is_multipart() const;
    bool untouchable_body() const;
    bool handle_retriving_reply_body(http_reader::read_event ev);
    bool handle_reply_measure(byte_string& piece, bool complete);
    void handle_chunked(byte_string& piece);
    void finish_chunked(const char* trailer, std::size_t size);
    bool feed_chain(byte_string& piece);
    void pull_decoder(byte_string& piece);
    void drop_rest_of_decoded_body();
    void deliver_decoded_part(byte_string& part);
    void stop_chain(byte_string& piece);
    void overflow_held_body(byte_string& piece);
    bool finish_length_body(byte_string& piece);
    void emit_chunk(byte_string& piece);
    void emit_body_piece(byte_string& piece);
    void body_flush(byte_string& data);
    void deliver_canned_replies();
    void finish_response(std::uint32_t status);
    void reset_response_side();
    void decide_encoding();
    void make_handlers();
    void end_upgrade_wait(bool switched);

    // Failure and hand-back.
    void fail();
    void log_reader_error(const http_reader::message_reader& r, const byte_string& buff, std::size_t pos);
    bool failed() const {
        return m_state_in == http_state_error || m_state_out == http_state_error || m_state_in == http_state_not_http ||
               m_state_out == http_state_not_http;
    }
    bool holds_out() const;
    bool holds_in() const;
    void drain_out(byte_string& data);
    void drain_in(byte_string& data);
    void notify_stop_pending();
    void remove_pending(std::uint64_t id);

    // Buffers with read offsets.
    std::size_t avail_out() const { return m_buff_out.size() - m_out_pos; }
    std::size_t avail_in() const { return m_buff_in.size() - m_in_pos; }
    void emit_out_bytes(std::size_t n);
    void emit_in_bytes(std::size_t n);
    byte_string take_in(std::size_t n);
    static void append_chunk(byte_string& buff, std::size_t& pos, byte_string& chunk);

    i_connection_feedback* m_feedback;
    http_handler_hooks m_hooks;
    std::shared_ptr<host_permission_qualifier> m_qualifier;

    http_state m_state_in = http_state_initial;
    http_state m_state_out = http_state_initial;
    http_reader::message_reader m_req{http_reader::direction::request};
    http_reader::message_reader m_resp{http_reader::direction::response};
    http_body_transfer m_body_reply_type = http_body_transfer_undefined;
    std::int64_t m_reply_content_length = 0;
    byte_string m_held_header;
    byte_string m_filtered_body;
    query_info m_query_info;
    std::list<query_info> m_query_queue;
    query_info m_answered_query;
    reply_info m_reply_info;
    std::list<std::uint64_t> m_pending_ids;
    std::uint64_t m_bytes_in = 0;
    std::uint32_t m_last_progress = 0;
    std::uint64_t m_current_id = 0;
    std::shared_ptr<i_sub_handler> m_encoding_handler;
    std::function<bool()> m_decoder_pending;
    bool m_decoder_chosen = false;
    bool m_decoded_sent = false;  // decoded text of this response has gone on
    i_sub_handler* m_content_handler = nullptr;
    bool m_handler_declined = false;
    bool m_handler_finished = false;
    bool m_need_more = false;
    // After the held-body bound: 0 not streaming, 1 re-chunked, 2 close-delimited.
    int m_stream_mode = 0;
    // The request line was taken off the buffer and its header is not complete.
    bool m_request_line_held = false;
    // The body of the request being read goes nowhere (the request is blocked).
    bool m_query_blocked = false;
    // The request being read asked to switch protocols.
    bool m_query_upgrade = false;
    // Client bytes went on unread while an upgrade was being answered.
    bool m_upgrade_passed = false;
    // This response's body passes as it came, framing included: it is not
    // ours to change (an unknown content coding, a range).
    bool m_raw_body = false;

    std::size_t m_out_pos = 0;
    std::size_t m_in_pos = 0;

    // Handlers of the body chain.
    std::shared_ptr<i_sub_handler> m_path_through;
    std::shared_ptr<i_sub_handler> m_file_handler;
    std::shared_ptr<i_sub_handler> m_nothing_handler;
    http_content_slot m_html_handler;
    http_content_slot m_wide_html_handler;
    http_content_slot m_script_handler;
    std::shared_ptr<i_sub_handler> m_gif_filter;
    std::shared_ptr<i_sub_handler> m_utf7_decoder;
    std::shared_ptr<i_sub_handler> m_swapper;
    std::shared_ptr<i_sub_handler> m_installed_html;
    std::shared_ptr<i_sub_handler> m_installed_file;
    i_sub_handler* m_html_target = nullptr;
    i_sub_handler* m_wide_target = nullptr;
    i_sub_handler* m_other_target = nullptr;
    bool m_sniff_done = true;
    byte_string m_sniff_buffer;
};
