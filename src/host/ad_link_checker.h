#pragma once
// The advertisement-link question of the qualifiers. The process-wide keyword
// matcher that answers it sits above this layer (it asks the host through the
// commands here), so it is reached through this interface, which the module
// fills before it builds a filter point. Without one no link is an
// advertisement.
#include "core/strings.h"

namespace zem_io_commands {

class i_ad_link_checker {
public:
    // true = the link is an advertisement; keyword receives the matched word.
    virtual bool is_ad_link(const byte_string& url, byte_string& keyword) = 0;
    virtual bool is_ad_link(const wide_string& url, byte_string& keyword) = 0;

protected:
    ~i_ad_link_checker() = default;
};

// The checker lives for the rest of the process; null removes it.
void set_ad_link_checker(i_ad_link_checker* checker);
i_ad_link_checker* ad_link_checker();

}  // namespace zem_io_commands
