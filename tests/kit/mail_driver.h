#pragma once
// One message through a mail filter with a scripted host verdict, cut into
// pieces chosen by the input: shared by the mail tests and the fuzz target.
#include <cstdint>
#include <string>

namespace kit {

// Input layout: byte 0 picks the host's verdict on every attachment (its
// value mod 3: leave, cut, replace with a short body and a new name), bytes
// 1 and 2 seed the piece sizes, the rest is the message. The message runs
// twice through one filter (a session of two messages). Returns an empty
// string when every check held: nothing thrown, and with "leave" each run
// gives back the message byte for byte.
std::string run_mail_message(const std::string& input);

}  // namespace kit
