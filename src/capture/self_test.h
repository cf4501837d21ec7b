#pragma once
// The built-in self-test: two fixed checks of the HTML filter and the
// encoded-word coder, then the HTTP filter and the mail session filters run
// over sample folders of recorded connections (the packed piece lists the
// recorders write) and compared with the results kept beside them.
//
// Layout under the root:
//   test_http/in_slices/...            recordings fed to the HTTP filter
//   test_http/out_slices/...           what the filter hands on, same names
//   test_http/sub_in_file_slices/...   the bodies its file handler is given
//   test_http/sub_in_html_slices/...   the bodies its HTML handler is given
//   test_smtp/in_slices, test_pop3/in_slices, test_noise
//                                      traffic every mail filter but its own
//                                      must leave byte for byte and step away
#include <string>

#include "capture/pieces.h"
#include "http/http_handler_factory.h"
#include "mail/mail_filter.h"

class i_stream_filter;

namespace capture {

// The content handlers the filters under test get, as a filter point's
// chain gets them. The HTTP filter's policy is always allow-all, whatever
// the hooks say: the expected results hold whether or not a host is set.
struct self_test_hooks {
    http_handler_hooks http;
    mail::mail_handler_hooks mail;
};

// Runs every check over the sample folders under 'root', logging as it goes;
// true when all passed.
bool run_unit_test(const std::string& root, const self_test_hooks& hooks);

// ZEM_SELFTEST_DIR when set and not empty, else the folder the samples are
// installed to.
std::string self_test_root();

// One stream filter driven as the only filter of a filter point: each piece
// pushed whole into its direction, what came out for it taking its place,
// then stop_in and stop_out as a last in and a last out piece. Once the
// filter declines, the rest passes as it is. 'declined' tells whether it did.
piece_list run_single_filter(i_stream_filter& filter, const piece_list& pieces, bool& declined);

}  // namespace capture
