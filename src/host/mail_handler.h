#pragma once
// The handler interface shared by the mail message filter, its body handlers
// and the checkers they consult. It sits beside the message summary so that
// the HTML filter can offer a mail checker without knowing the mail filter.
#include <cstdint>

#include "core/strings.h"
#include "host/mail_commands.h"
#include "host/permissions.h"

namespace mail {

class i_mail_handler {
public:
    virtual ~i_mail_handler() = default;
    // 'data' is rewritten to what may go on now; the first *released bytes
    // are already final. On return *released covers the whole of 'data'.
    virtual bool update(byte_string& data, unsigned* released, mail_info_summary* summary) = 0;
    // End of the content: 'data' receives what is still held; the result is
    // the decision on the content (mail_action_*).
    virtual std::int32_t stop(byte_string& data) = 0;
    // Checks a whole content at once, rewriting it in place.
    virtual std::int32_t stop_and_check(byte_string& data, bool* stopped, mail_info_summary* summary) {
        if (stopped) *stopped = true;
        unsigned released = 0;
        update(data, &released, summary);
        return stop(data);
    }
};

class do_nothing_handler : public i_mail_handler {
public:
    bool update(byte_string& data, unsigned* released, mail_info_summary*) override {
        if (released) *released = static_cast<unsigned>(data.size());
        return true;
    }
    std::int32_t stop(byte_string&) override { return mail_action_leave; }
    std::int32_t stop_and_check(byte_string&, bool* stopped, mail_info_summary*) override {
        if (stopped) *stopped = false;
        return mail_action_leave;
    }
};

}  // namespace mail
