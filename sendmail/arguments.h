// What a caller's arguments may put into the envelope and the headers. A sender, a full name
// or a recipient with a control character would write lines of its own into the SMTP session
// or the spool file (another recipient, a header, the end of the headers): such a call is
// refused whole, before anything is read, sent or spooled.
#pragma once

#include "sendmail/options.h"

#include <string>

namespace sendmail {

// kExitOk, or kExitUsage with `error` naming the argument and why: a control character in
// -f/-r, -F or a recipient argument, or a sender or recipient that is no RFC 5321 mailbox (a
// bare local name such as "root" is one). "-f <>" (no sender, as bounces have) is taken.
int CheckArguments(const Options& options, std::string& error);

// Why `address` (a recipient, from an argument or a header) is no RFC 5321 mailbox, or empty.
std::string AddressProblem(const std::string& address);

// The -F name as a From header's display name: a quoted string (quotes and backslashes
// escaped) when it is ASCII, else RFC 2047 encoded words (UTF-8, or unknown-8bit for bytes
// that are not UTF-8), each within 75 characters.
std::string DisplayName(const std::string& fullName);

} // namespace sendmail
